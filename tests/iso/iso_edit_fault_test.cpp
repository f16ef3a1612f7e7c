// A save that fails or dies at its k-th write (every k; a sample for kills) leaves the image byte for
// byte as it was but in its free sectors, and the next save works: on a hybrid image (partition
// tables rewritten), one whose hole the save fills, one whose UDF bridge the save lays out anew, and
// a Nero image whose chunk chain the save moves behind the grown track.

#include "core/image_file.h"
#include "core/image_journal.h"
#include "core/iso_sector.h"
#include "iso/volume_space.h"
#include "iso/hybrid_test_support.h"
#include "iso/iso_edit_test_support.h"
#include "iso/udf.h"
#include "support/nrg_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;

std::atomic<int> writesSeen{0};
std::atomic<int> faultAt{0};
std::atomic<bool> exitAtFault{false};

bool CountingHook()
{
    const int write = ++writesSeen;
    if (write != faultAt.load()) {
        return true;
    }
    if (exitAtFault.load()) {
        ::_exit(0); // a crash: nothing is cleaned up
    }
    return false;
}

class HookScope {
public:
    HookScope(int at, bool exitThere)
    {
        writesSeen = 0;
        faultAt = at;
        exitAtFault = exitThere;
        SetImageWriteFaultHook(&CountingHook);
    }
    ~HookScope() { SetImageWriteFaultHook(nullptr); }
    HookScope(const HookScope&) = delete;
    HookScope& operator=(const HookScope&) = delete;
};

// What `look` finds in an image file opened as sectors.
template <class Look>
auto OpenedAsSectors(const std::string& image, Look look)
{
    IIsoSector* sector = Sector1();
    EXPECT_TRUE(sector != nullptr && sector->Open(image.c_str()));
    auto found = look(*sector);
    DestroyComponent(sector);
    return found;
}

// Runs fn in a child process and gives its exit status (_exit(3) after fn: it ran to its end).
template <class Fn>
int InChild(Fn fn)
{
    const pid_t child = ::fork();
    if (child == 0) {
        fn();
        ::_exit(3);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    return WEXITSTATUS(status);
}

enum class Kind { Hybrid, Holed, Udf, Nero };

class SaveFaults : public ::testing::TestWithParam<Kind> {
protected:
    bool Holed() const { return GetParam() == Kind::Holed; }
    bool Udf() const { return GetParam() == Kind::Udf; }
    bool Nero() const { return GetParam() == Kind::Nero; }
    // Where sector 0 lies in the file.
    std::uint64_t Base() const { return Nero() ? test::kNeroPregapBytes : 0; }

    test::TempDir dir;
    std::string original = dir / "original.iso";
    std::string image = dir / "work.iso";
    std::vector<std::uint8_t> originalBytes;
    iso::SectorSet free;
    test::TreeContents oldTree;
    std::map<std::string, std::vector<std::uint8_t>> newTree;

    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        fs::create_directories(dir / "src/sub");
        test::WriteWholeFile(dir / "src/a.bin", test::RandomBytes(30000, 1));
        test::WriteWholeFile(dir / "src/sub/b.bin", test::RandomBytes(9000, 2));
        if (Holed()) {
            // A hole between a.bin and sub/b.bin that big.bin fits into.
            test::WriteWholeFile(dir / "src/gap.bin", test::RandomBytes(900000, 4));
        }
        test::RunGenisoimage(dir / "src", original, Udf() ? "-J -R -udf" : "-J -R");
        if (Nero()) {
            fs::rename(original, dir / "plain.iso");
            test::WrapIsoAsNero(dir / "plain.iso", original);
        } else if (Holed()) {
            test::EditHandle edit;
            ASSERT_TRUE(test::OpenTree(edit.get(), original));
            ASSERT_TRUE(edit->DeleteNode(edit->GetRoot(), test::FindNode(edit.get(), "gap.bin")));
            ASSERT_EQ(test::SaveAndWait(edit.get()).finalValue, kSaveDone);
        } else if (!Udf()) {
            // An MBR and a GPT over the whole image: their writes are among those that fail.
            const auto blocks = static_cast<std::uint32_t>(fs::file_size(original) / 512);
            test::CraftedGpt gpt;
            gpt.alternate = blocks - 1;
            gpt.lastUsable = blocks - 64;
            gpt.entries = {{0, blocks - 65}};
            test::WriteSystemArea(original, test::CraftSystemArea({{0x00, 0, blocks, {}, {}}}, gpt));
        }
        originalBytes = test::ReadWholeFile(original);
        free = OpenedAsSectors(original, [](IIsoSector& sector) { return iso::ScanVolumeSpace(sector).Free(); });
        oldTree = test::ReadImageTree(original);
        fs::create_directories(dir / "add/wide");
        for (int i = 0; i < 60; ++i) {
            test::WriteWholeFile(dir / ("add/wide/a rather long file name number " + std::to_string(i)),
                                 test::RandomBytes(700, 10 + i));
        }
        test::WriteWholeFile(dir / "add/big.bin", test::RandomBytes(600000, 3));
        newTree = test::WithoutDates(oldTree);
        newTree.erase("sub/b.bin");
        newTree["big.bin"] = test::ReadWholeFile(dir / "add/big.bin");
        newTree["wide/"] = {};
        for (const auto& [path, bytes] : test::FolderContents(dir / "add/wide")) {
            newTree["wide/" + path] = bytes;
        }
    }

    // The edits every run makes: folders that grow over files that must move, new data, a deletion.
    void Edit(IIsoEdit* edit)
    {
        ASSERT_TRUE(test::OpenTree(edit, image));
        ASSERT_NE(edit->AddDirectoryTree((dir / "add/wide").c_str(), edit->GetRoot()), nullptr);
        ASSERT_NE(edit->AddFile((dir / "add/big.bin").c_str(), edit->GetRoot()), nullptr);
        edit->DeleteNode(test::FindNode(edit, "sub"), test::FindNode(edit, "sub/b.bin"));
    }

    void Restart() { fs::copy_file(original, image, fs::copy_options::overwrite_existing); }

    // Writes a whole save makes, and what it made.
    int WritesOfASave()
    {
        Restart();
        const HookScope counting(0, false);
        {
            test::EditHandle edit;
            Edit(edit.get());
            EXPECT_EQ(test::SaveAndWait(edit.get()).finalValue, kSaveDone);
            EXPECT_TRUE(test::SameContents(test::SessionContents(edit.get()), newTree));
        }
        const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
        if (Udf()) {
            // The UDF side lists the edited tree.
            const std::optional<iso::udf::Volume> volume = OpenedAsSectors(image, [](IIsoSector& sector) {
                const auto read = [&sector](std::uint32_t n, std::uint8_t* into) { return sector.ReadSector(n, into); };
                std::string problem;
                return iso::udf::ReadVolume(read, sector.GetSectorCount(), &problem);
            });
            EXPECT_TRUE(volume && volume->report.Total() == 0);
            const auto files = std::count_if(newTree.begin(), newTree.end(),
                                             [](const auto& entry) { return !entry.first.ends_with('/'); });
            EXPECT_EQ(volume ? static_cast<std::ptrdiff_t>(volume->fileCount) : -1, files);
        } else if (Nero()) {
            // The chain follows the grown track, which ends where the lead-out says.
            const test::NeroTrackEnd end = test::ReadNeroTrackEnd(image);
            EXPECT_TRUE(end.found);
            EXPECT_GT(bytes.size(), originalBytes.size());
            EXPECT_EQ(end.trackEnd, end.chainStart);
            EXPECT_EQ(Base() + std::uint64_t(end.leadOut) * 2048, end.chainStart);
        } else if (Holed()) {
            // The new data went into the hole.
            EXPECT_LE(bytes.size(), originalBytes.size());
        } else {
            // The partition tables were among the writes: the MBR's partition covers the grown image.
            EXPECT_EQ(std::uint64_t{test::ReadMbrEntry(bytes, 0).blocks} * 512, bytes.size());
        }
        return writesSeen.load();
    }

    // A save of the edits that ends the process at write k.
    void KilledAt(int k)
    {
        test::EditHandle edit;
        Edit(edit.get());
        const HookScope dying(k, true);
        test::SaveAndWait(edit.get());
    }

    // The image is as it was but in its free sectors.
    bool AsItWas()
    {
        std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
        if (bytes.size() != originalBytes.size()) {
            return false;
        }
        for (const iso::SectorRun& run : free.Runs()) {
            const auto first = static_cast<std::ptrdiff_t>(Base() + std::uint64_t{run.first} * 2048);
            const auto end =
                static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(Base() + run.End() * 2048, bytes.size()));
            std::copy(originalBytes.begin() + first, originalBytes.begin() + end, bytes.begin() + first);
        }
        return bytes == originalBytes;
    }
};

TEST_P(SaveFaults, AWriteThatFailsAnywhereLeavesTheImageAsItWas)
{
    const int writes = WritesOfASave();
    ASSERT_GT(writes, 3);
    for (int k = 1; k <= writes; ++k) {
        SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(writes) + " fails");
        Restart();
        test::EditHandle edit;
        Edit(edit.get());
        test::SaveOutcome saved;
        {
            const HookScope failing(k, false);
            // Both forms of the save, the blocking one on odd writes.
            saved = k % 2 == 0 ? test::SaveAndWait(edit.get()) : test::SaveBlocking(edit.get());
        }
        ASSERT_EQ(saved.finalValue, kSaveFailed);
        EXPECT_NE(saved.error.find("write fault injected"), std::string::npos) << saved.error;
        EXPECT_TRUE(AsItWas());
        EXPECT_FALSE(fs::exists(ImageJournal::UndoPathFor(image)));
        // The session's tree again describes the image; a second try works.
        if (k == 1 || k == writes / 2 || k == writes) {
            const test::SaveOutcome retried = test::SaveBlocking(edit.get());
            ASSERT_EQ(retried.finalValue, kSaveDone) << retried.error;
            EXPECT_TRUE(test::SameContents(test::SessionContents(edit.get()), newTree));
        }
    }
}

TEST_P(SaveFaults, AProcessKilledAtAnyWriteIsRolledBackByTheNextOpen)
{
    const int writes = WritesOfASave();
    ASSERT_GT(writes, 3);
    // The first writes (journal, data), middle and last ones (metadata), one past the end (completes).
    std::vector<int> points{1, 2, 3, writes / 3, writes / 2, (2 * writes) / 3, writes - 1, writes, writes + 1};
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    for (const int k : points) {
        SCOPED_TRACE("killed at write " + std::to_string(k) + " of " + std::to_string(writes));
        Restart();
        const bool completed = InChild([&] { KilledAt(k); }) == 3;
        EXPECT_EQ(completed, k > writes);
        const bool journalLeft = fs::exists(ImageJournal::UndoPathFor(image));
        EXPECT_EQ(journalLeft, !completed);

        {
            test::EditHandle reopened;
            ASSERT_TRUE(reopened->Open(image.c_str())) << reopened->GetLastError();
            EXPECT_EQ(reopened->WasRecovered(), journalLeft);
        }
        EXPECT_FALSE(fs::exists(ImageJournal::UndoPathFor(image)));
        if (completed) {
            EXPECT_TRUE(test::SameContents(test::WithoutDates(test::ReadImageTree(image)), newTree));
        } else {
            EXPECT_TRUE(AsItWas());
            EXPECT_EQ(test::ReadImageTree(image), oldTree);
        }
    }
}

TEST_P(SaveFaults, AnImageWithAnUndoFileItCannotApplyDoesNotOpen)
{
    Restart();
    InChild([&] { KilledAt(4); });
    ASSERT_TRUE(fs::exists(ImageJournal::UndoPathFor(image)));
    // Opened where it can only be read, the image cannot be put back.
    IImageFile* file = RwFile1();
    ASSERT_NE(file, nullptr);
    fs::permissions(image, fs::perms::owner_read);
    const bool opened = ::geteuid() != 0 ? file->Open(image.c_str()) : false;
    if (::geteuid() != 0) {
        EXPECT_FALSE(opened);
        EXPECT_NE(std::string(file->GetLastError()).find("interrupted save"), std::string::npos);
    }
    fs::permissions(image, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(file->Open(image.c_str())) << file->GetLastError();
    EXPECT_TRUE(file->WasRecovered());
    DestroyComponent(file);
    EXPECT_TRUE(AsItWas());
}

// A compaction moves files in saves of its own after the one that writes the edits: a write failing in one of those
// leaves the edits saved, which the save reports as done with an error notice saying why it stopped; a write failing
// in the first leaves the image as it was.
// Only the holed image has files to move down; in the Nero image a failing write of the chunk chain behind the new
// end leaves the edits saved and the image at its length, which a warning says.
class CompactionFaults : public SaveFaults {};

TEST_P(CompactionFaults, ACompactionThatFailsAfterItsFirstSaveKeepsTheEditsAndSaysSo)
{
    Restart();
    int writes = 0;
    {
        const HookScope counting(0, false);
        test::EditHandle edit;
        Edit(edit.get());
        edit->CompactNextSave();
        ASSERT_EQ(test::SaveBlocking(edit.get()).finalValue, kSaveDone);
        writes = writesSeen.load();
    }
    int stoppedShort = 0;
    int keptLength = 0;
    for (int k = 1; k <= writes; ++k) {
        SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(writes) + " fails");
        Restart();
        test::SaveOutcome saved;
        std::string notice; // the error notice the save left, if any
        {
            test::EditHandle edit;
            Edit(edit.get());
            edit->CompactNextSave();
            {
                const HookScope failing(k, false);
                saved = test::SaveBlocking(edit.get());
            }
            for (std::uint32_t i = 0; i < edit->GetNoticeCount(); ++i) {
                bool isError = false;
                const char* text = edit->GetNotice(i, &isError);
                notice += isError ? text : "";
                keptLength += !isError && std::string(text).find("keeps its length: cannot write") != std::string::npos;
            }
        }
        EXPECT_FALSE(fs::exists(ImageJournal::UndoPathFor(image)));
        if (saved.finalValue == kSaveFailed) {
            EXPECT_TRUE(AsItWas());
            EXPECT_EQ(notice, "");
            continue;
        }
        ASSERT_EQ(saved.finalValue, kSaveDone);
        EXPECT_TRUE(test::SameContents(test::WithoutDates(test::ReadImageTree(image)), newTree));
        if (!notice.empty()) {
            ++stoppedShort;
            EXPECT_NE(notice.find("compacting stopped short"), std::string::npos) << notice;
            EXPECT_NE(notice.find("write fault injected"), std::string::npos) << notice;
        }
    }
    EXPECT_GT(stoppedShort, 0);
    EXPECT_EQ(keptLength > 0, Nero());
}

INSTANTIATE_TEST_SUITE_P(HybridHoledUdfAndNero, SaveFaults,
                         ::testing::Values(Kind::Hybrid, Kind::Holed, Kind::Udf, Kind::Nero), [](const auto& test) {
                             return test.param == Kind::Holed ? "Holed"
                                 : test.param == Kind::Udf    ? "Udf"
                                 : test.param == Kind::Nero   ? "Nero"
                                                              : "Hybrid";
                         });
INSTANTIATE_TEST_SUITE_P(HoledAndNero, CompactionFaults, ::testing::Values(Kind::Holed, Kind::Nero));

} // namespace
} // namespace tarvelin
