// The main window's commands end to end on real images, checked with bsdtar, isoinfo and 7-Zip: compose and build,
// Extract and View, edits saved and reopened, boot images and floppies, "Save changes?", running saves and builds
// refusing what would release them, drag and drop, and the failures' messages.

#include "shell_fixtures.h"

#include "properties_dlg.h"

#include "user_guide.h"

#include "capture/floppy.h"
#include "capture/unread_sectors.h"
#include "core/image_file.h"
#include "platform/directory.h"
#include "support/fixtures.h"

#include <QCloseEvent>
#include <QDateTimeEdit>
#include <QDropEvent>
#include <QInputDialog>
#include <QLabel>
#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using namespace fixture;
using platform::PromptAnswer;
using Names = std::set<std::string>;

constexpr std::size_t kFloppyBytes = 1474560;
const std::string kFloppyFilter = "(*.image)|*.image |(*.*)|*.*|All files (*)|*||";

Names BsdtarNames(const std::string& image)
{
    const std::vector<std::string> paths = test::BsdtarPaths(image);
    return {paths.begin(), paths.end()};
}

// bsdtar lists each of the paths and unpacks each file of them with the bytes of its source.
void ExpectUnpacked(const std::string& image, const std::string& into, const Names& listed,
                    const std::vector<std::pair<std::string, std::string>>& files)
{
    const Names paths = BsdtarNames(image);
    for (const std::string& path : listed) {
        EXPECT_TRUE(paths.contains(path)) << path;
    }
    fs::create_directories(into);
    ASSERT_EQ(test::RunCommand("bsdtar -xf " + test::ShellQuote(image) + " -C " + test::ShellQuote(into)).exitCode, 0);
    for (const auto& [path, source] : files) {
        EXPECT_EQ(test::ReadWholeFile(into + "/" + path), test::ReadWholeFile(source)) << path;
    }
}

// A main window beside an image made by genisoimage and a diskette-sized boot image.
class CommandsTest : public FrameTest {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        WriteTree(source_, {{"big.bin", Text(test::RandomBytes(3 * 1024 * 1024 + 123, 1))},
                            {"small.txt", "small file\n"},
                            {"other.txt", "other file\n"},
                            {"docs/readme.txt", Text(test::RandomBytes(5000, 2))},
                            {"docs/inner/deep.dat", Text(test::RandomBytes(70000, 3))}});
        test::RunGenisoimage(source_, image_, "-J -r");
        test::WriteWholeFile(bootFile_, test::RandomBytes(kFloppyBytes, 5));
        FrameTest::SetUp();
    }
    void Open() { ASSERT_TRUE(List().OpenImage(image_)); }
    void Run(const std::vector<int>& ids)
    {
        for (const int id : ids) {
            frame_.RunCommand(id);
        }
    }
    void Delete(const std::vector<std::string>& names)
    {
        Select(names);
        frame_.RunCommand(ID_ACTIONS_DELETE);
    }
    void SaveAndWait()
    {
        frame_.RunCommand(ID_FILE_SAVEISO);
        ASSERT_TRUE(List().IsSaving());
        ASSERT_TRUE(WaitIdle(List()));
    }
    std::string Source(const std::string& path) { return source_ + "/" + path; }
    std::string SizeShown() { return frame_.SizeLabel()->text().toStdString(); }
    std::string source_ = dir_ / "source";
    std::string image_ = dir_ / "source.iso";
    std::string bootFile_ = dir_ / "floppy.img";
};

TEST_F(CommandsTest, AComposedImageIsBuiltOnSaveAndOpensByItselfWithTheSizeShownAsItGoes)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    EXPECT_EQ(SizeShown(), "");
    const std::string readme = dir_ / "README";
    test::WriteWholeFile(readme, std::string("read me\n"));
    const std::string output = dir_ / "new.iso";
    // Add Files takes many files at once, with or without an extension.
    services_.Choose({Source("docs"), source_, Source("small.txt") + "\n" + readme, dir_ / "no/such/new.iso", output});
    Run({ID_ACTIONS_ADDDIRECTORY, ID_ACTIONS_ADDDIRECTORY, ID_ACTIONS_ADDFILES});
    const Names top{"docs", "source", "small.txt", "README"};
    EXPECT_EQ(RowNameSet(List()), top);
    // The folders' contents are records too, files before folders.
    const EntryRecord& docs = *List().ComposeRoot().children[0];
    ASSERT_EQ(docs.children.size(), std::size_t{2});
    EXPECT_EQ(docs.children[0]->name, "readme.txt");
    EXPECT_EQ(docs.children[1]->name, "inner");
    EXPECT_EQ(Tree().topLevelItem(0)->childCount(), 2);
    const std::uint64_t estimate = List().Controller().ContentSize();
    EXPECT_EQ(SizeShown(), "About " + SizeText(estimate));
    EXPECT_EQ(frame_.windowTitle().toStdString(), "Tarvelin");
    // An output that cannot be created: the build says why and does not start.
    frame_.RunCommand(ID_FILE_SAVEISO);
    EXPECT_GT(prompt_.TakeOne("Create ISO Failed!\n").text.size(), std::string("Create ISO Failed!\n\n").size());
    EXPECT_FALSE(List().IsBuilding());
    frame_.RunCommand(ID_FILE_SAVEISO);
    EXPECT_TRUE(services_.calls.back().spec.save);
    EXPECT_TRUE(List().IsBuilding());
    EXPECT_TRUE(List().Progress().Dialog().IsVisible());
    ASSERT_TRUE(WaitIdle(List()));
    EXPECT_FALSE(List().Progress().Dialog().IsVisible());
    EXPECT_EQ(List().Progress().Dialog().ShownPercent(), "100%");
    // The new image is open, listing its root; the estimate was near it.
    EXPECT_TRUE(List().ImageMode());
    EXPECT_EQ(List().ImagePath(), output);
    EXPECT_EQ(RowNameSet(List()), top);
    const auto built = static_cast<std::uint64_t>(fs::file_size(output));
    EXPECT_LE(std::max(built, estimate) - std::min(built, estimate), std::uint64_t{64} * 1024) << built;
    EXPECT_EQ(SizeShown(), "Image: " + SizeText(built));
    prompt_.ExpectNone();
    ExpectUnpacked(output, dir_ / "unpacked",
                   {"docs/", "docs/readme.txt", "docs/inner/deep.dat", "source/big.bin", "source/docs/inner/deep.dat",
                    "small.txt", "README"},
                   {{"source/big.bin", Source("big.bin")}, {"docs/inner/deep.dat", Source("docs/inner/deep.dat")}});
}

TEST_F(CommandsTest, ABuildOfAFileGoneSinceItWasChosenSaysCreateIsoFailedWithTheReason)
{
    const std::string output = dir_ / "new.iso";
    services_.Choose({Source("small.txt"), output});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    fs::remove(Source("small.txt"));
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(WaitIdle(List()));
    const Asked failed = prompt_.TakeOne("Create ISO Failed!\n");
    EXPECT_TRUE(Has(failed.text, Source("small.txt")));
    EXPECT_EQ(failed.caption, "Tarvelin");
    EXPECT_FALSE(List().Progress().Dialog().IsVisible());
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(List().ImageMode());
}

TEST_F(CommandsTest, ExtractAndViewWriteTheImagesBytesAndFailuresAreReportedLeavingNoShortFile)
{
    Open();
    const std::string destination = dir_ / "out";
    fs::create_directories(destination);
    Select({"big.bin", "docs"});
    RunExtract(frame_, "");
    EXPECT_TRUE(services_.opened.empty());
    RunExtract(frame_, destination);
    prompt_.ExpectNone();
    for (const char* path : {"big.bin", "docs/readme.txt", "docs/inner/deep.dat"}) {
        EXPECT_EQ(test::ReadWholeFile(destination + "/" + path), test::ReadWholeFile(Source(path))) << path;
    }
    // The destination is shown once per row.
    EXPECT_EQ(services_.opened, (std::vector<std::string>{destination, destination}));
    services_.opened.clear();
    Select({"small.txt", "docs"});
    frame_.RunCommand(ID_ACTIONS_VIEW);
    const std::string viewed = (fs::path(List().TemporaryFolder().toStdString()) / "small.txt").string();
    EXPECT_EQ(services_.opened, std::vector<std::string>{viewed});
    EXPECT_EQ(test::ReadWholeFile(viewed), test::ReadWholeFile(Source("small.txt")));
    EXPECT_EQ(prompt_.TakeOne("Cann't open a Directory").caption, "Error Message");
    // A double-click on a file row opens it as View does.
    services_.opened.clear();
    fs::remove(viewed);
    DoubleClick("small.txt");
    EXPECT_EQ(services_.opened, std::vector<std::string>{viewed});
    EXPECT_TRUE(fs::exists(viewed));
    // Without a program for the item, each way of opening it says so, with the file and the reason.
    services_.openFailure = OpenError::NoAssociation;
    const std::vector<std::pair<std::string, std::function<void()>>> openers{
        {viewed, [&] { frame_.RunCommand(ID_ACTIONS_VIEW); }},
        {viewed, [&] { DoubleClick("small.txt"); }},
        {destination, [&] { RunExtract(frame_, destination); }},
    };
    for (const auto& [item, open] : openers) {
        Select({"small.txt"});
        fs::remove(destination + "/small.txt");
        fs::remove(viewed);
        open();
        EXPECT_EQ(prompt_.TakeTexts(), std::vector<std::string>{"No program could open " + item +
                                                               "\nThere is no application associated\n"
                                                               "with the given filename extension."});
    }
    services_.openFailure.reset();
    services_.opened.clear();
    // The destination cannot be made: a file is in its way.
    const std::string blocker = dir_ / "blocker";
    test::WriteWholeFile(blocker, std::string("x"));
    RunExtract(frame_, blocker + "/out");
    EXPECT_EQ(prompt_.TakeOne("Create File Failure").caption, "Wrong Info");
    // The image loses its tail after it was opened: the big file cannot be read in full.
    fs::resize_file(image_, fs::file_size(image_) - 2 * 1024 * 1024);
    const std::string cut = dir_ / "cut";
    Select({"big.bin"});
    RunExtract(frame_, cut);
    EXPECT_TRUE(Has(prompt_.TakeOne("Not everything could be extracted:").text, "big.bin"));
    EXPECT_FALSE(fs::exists(cut + "/big.bin"));
    // The command stops at the failing row; nothing was shown either time.
    EXPECT_TRUE(services_.opened.empty());
}

TEST_F(FrameTest, AnEntryWhoseDateCannotBeSetIsExtractedWithAWarningAndTheCommandGoesOn)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TARVELIN_REQUIRE_TOOL("chattr");
    const std::string source = dir_ / "source";
    WriteTree(source, {{"empty/", ""}, {"file.txt", "file\n"}});
    const std::string image = dir_ / "dated.iso";
    test::RunGenisoimage(source, image, "-J -r");
    // The folder is at the destination already and may not be changed: it takes no date and no mode.
    const std::string destination = dir_ / "out";
    const std::string locked = destination + "/empty";
    fs::create_directories(locked);
    if (test::RunCommand("chattr +i " + test::ShellQuote(locked)).exitCode != 0) {
        GTEST_SKIP() << "this file system or this user cannot make a folder immutable";
    }
    const std::shared_ptr<void> unlock(nullptr, [&locked](void*) {
        test::RunCommand("chattr -i " + test::ShellQuote(locked));
    });
    ASSERT_TRUE(List().OpenImage(image));
    Select({"empty", "file.txt"});
    RunExtract(frame_, destination);
    const Asked warning = prompt_.TakeOne("Everything was extracted, but not every name, date or permission could be kept:");
    EXPECT_TRUE(Has(warning.text, locked));
    EXPECT_EQ(warning.icon, platform::PromptIcon::Warning);
    // The rows after it are extracted and the destination is shown for each.
    EXPECT_EQ(Text(test::ReadWholeFile(destination + "/file.txt")), "file\n");
    EXPECT_EQ(services_.opened, (std::vector<std::string>{destination, destination}));
}

TEST_F(CommandsTest, WhatViewLeftInTheTemporaryFolderGoesWithTheWindow)
{
    auto window = std::make_unique<CMainFrame>();
    CTarvelinView& list = *window->GetRightPane();
    ASSERT_TRUE(list.OpenImage(image_));
    SelectNamed(list, {"small.txt", "big.bin"});
    window->RunCommand(ID_ACTIONS_VIEW);
    const std::string folder = list.TemporaryFolder().toStdString();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(test::ReadWholeFile(folder + "/small.txt"), test::ReadWholeFile(Source("small.txt")));
    EXPECT_TRUE(fs::exists(folder + "/big.bin"));
    window.reset();
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(CommandsTest, DeleteAndAddAreSavedIntoTheImageAndAddedEntriesWorkBeforeTheSave)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    Open();
    Delete({"small.txt", "other.txt"});
    EXPECT_EQ(RowNameSet(List()), (Names{"big.bin", "docs"}));
    EXPECT_TRUE(List().Modified());
    // Into a folder of the image: a file, a folder, and a file of a name the folder holds, which replaces it.
    const std::string extra = dir_ / "extra";
    WriteTree(extra, {{"added.txt", Text(test::RandomBytes(3000, 9))},
                      {"sub/nested.bin", Text(test::RandomBytes(9000, 10))},
                      {"readme.txt", "the new readme, not the one of the image\n"}});
    DoubleClick("docs");
    ASSERT_EQ(List().CurrentFolder()->name, "docs");
    services_.Choose({extra + "/added.txt", extra + "/sub", extra + "/readme.txt"});
    Run({ID_ACTIONS_ADDFILES, ID_ACTIONS_ADDDIRECTORY, ID_ACTIONS_ADDFILES});
    EXPECT_EQ(RowNames(List()).size(), std::size_t{4});
    EXPECT_EQ(RowNameSet(List()), (Names{"readme.txt", "inner", "added.txt", "sub"}));
    prompt_.ExpectNone();
    // Before the save, the added entries are the ones viewed and extracted.
    for (const char* name : {"added.txt", "readme.txt"}) {
        services_.opened.clear();
        Select({name});
        frame_.RunCommand(ID_ACTIONS_VIEW);
        ASSERT_EQ(services_.opened.size(), std::size_t{1});
        EXPECT_EQ(test::ReadWholeFile(services_.opened[0]), test::ReadWholeFile(extra + "/" + name));
        fs::remove(services_.opened[0]);
    }
    const std::string early = dir_ / "early";
    fs::create_directories(early);
    Select({"sub"});
    RunExtract(frame_, early);
    EXPECT_EQ(test::ReadWholeFile(early + "/sub/nested.bin"), test::ReadWholeFile(extra + "/sub/nested.bin"));
    // Into the folder just added, and an added file deleted again.
    test::WriteWholeFile(dir_ / "later.txt", std::string("added into an added folder\n"));
    test::WriteWholeFile(dir_ / "gone.txt", std::string("added and deleted\n"));
    DoubleClick("sub");
    ASSERT_EQ(List().CurrentFolder()->name, "sub");
    services_.Choose({dir_ / "later.txt", dir_ / "gone.txt"});
    Run({ID_ACTIONS_ADDFILES, ID_ACTIONS_ADDFILES});
    Delete({"gone.txt"});
    EXPECT_EQ(RowNameSet(List()), (Names{"nested.bin", "later.txt"}));
    SaveAndWait();
    EXPECT_FALSE(List().Modified());
    prompt_.ExpectNone();
    Open();
    EXPECT_EQ(RowNameSet(List()), (Names{"big.bin", "docs"}));
    const Names paths = BsdtarNames(image_);
    for (const char* removed : {"small.txt", "other.txt", "docs/sub/gone.txt"}) {
        EXPECT_FALSE(paths.contains(removed)) << removed;
    }
    ExpectUnpacked(image_, dir_ / "unpacked",
                   {"docs/added.txt", "docs/sub/nested.bin", "docs/sub/later.txt", "docs/inner/deep.dat", "big.bin"},
                   {{"docs/sub/nested.bin", extra + "/sub/nested.bin"},
                    {"docs/readme.txt", extra + "/readme.txt"},
                    {"big.bin", Source("big.bin")}});
}

TEST_F(CommandsTest, SaveAsWritesANewFileAndOpensItAndTheTitleFollows)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    Open();
    EXPECT_EQ(frame_.windowTitle().toStdString(), "source.iso - Tarvelin");
    EXPECT_TRUE(SizeShown().starts_with("Image: "));
    // Nothing to save yet.
    frame_.RunCommand(ID_FILE_SAVEISO);
    EXPECT_FALSE(List().IsSaving());
    EXPECT_TRUE(services_.calls.empty());
    const auto before = test::ReadWholeFile(image_);
    const std::string target = dir_ / "saved as.iso";
    Delete({"small.txt"});
    EXPECT_EQ(frame_.windowTitle().toStdString(), "source.iso* - Tarvelin");
    // Each kind of edit goes into the copy.
    const auto row = [this](const std::string& name) { return List().Model().RecordAt(RowNamed(List(), name)); };
    ASSERT_TRUE(List().Controller().Rename(row("other.txt"), "renamed.txt"));
    test::WriteWholeFile(dir_ / "added.txt", std::string("added\n"));
    ASSERT_NE(List().AddEntry(dir_ / "added.txt", row("docs")), nullptr);
    // A missing folder and the opened image itself are refused; nothing is written and the edits stay pending.
    for (const std::string& refused : {dir_ / "missing/copy.iso", image_}) {
        SCOPED_TRACE(refused);
        services_.Choose({refused});
        frame_.RunCommand(ID_FILE_SAVEISOAS);
        EXPECT_EQ(prompt_.TakeTexts().size(), std::size_t{1});
        EXPECT_FALSE(List().IsSaving());
        EXPECT_FALSE(fs::exists(dir_ / "missing"));
        EXPECT_EQ(test::ReadWholeFile(image_), before);
        EXPECT_TRUE(List().Modified());
        EXPECT_EQ(List().ImagePath(), image_);
    }
    services_.Choose({target});
    frame_.RunCommand(ID_FILE_SAVEISOAS);
    ASSERT_EQ(services_.calls.size(), std::size_t{3});
    EXPECT_TRUE(services_.calls.back().spec.save);
    // Until its save ends, the copy is not under the target's name.
    EXPECT_FALSE(fs::exists(target));
    ASSERT_TRUE(WaitIdle(List()));
    prompt_.ExpectNone();
    EXPECT_EQ(test::ReadWholeFile(image_), before);
    EXPECT_EQ(List().ImagePath(), target);
    EXPECT_FALSE(List().Modified());
    EXPECT_EQ(frame_.windowTitle().toStdString(), "saved as.iso - Tarvelin");
    EXPECT_EQ(RowNameSet(List()), (Names{"big.bin", "docs", "renamed.txt"}));
    EXPECT_EQ(IsoinfoPaths(target, "-J -f"),
              (std::vector<std::string>{"/big.bin", "/docs", "/docs/added.txt", "/docs/inner", "/docs/inner/deep.dat",
                                        "/docs/readme.txt", "/renamed.txt"}));
    // The size shown is the new file's; no temporary is left beside it.
    EXPECT_EQ(SizeShown(), "Image: " + SizeText(static_cast<std::uint64_t>(fs::file_size(target))));
    Names files;
    for (const auto& entry : fs::directory_iterator(dir_.Path())) {
        files.insert(entry.path().filename().string());
    }
    EXPECT_EQ(files, (Names{"source", "source.iso", "floppy.img", "added.txt", "saved as.iso"}));
}

TEST_F(CommandsTest, SaveAsOfAnImageOpenedThroughACueSheetGivesABinWithItsSheetThatPeersRead)
{
    TARVELIN_REQUIRE_TOOL("bchunk");
    TARVELIN_REQUIRE_TOOL("bsdtar");
    // A mixed-mode disc: the data track, then an audio track of 150 sectors (00:02:00) in the same file.
    const std::string bin = dir_ / "disc.bin";
    test::MakeRawBin(image_, bin, test::RawForm::Mode1);
    const std::uint64_t dataSectors = fs::file_size(bin) / 2352;
    const std::vector<std::uint8_t> audio = test::RandomBytes(150 * 2352, 7);
    std::vector<std::uint8_t> disc = test::ReadWholeFile(bin);
    disc.insert(disc.end(), audio.begin(), audio.end());
    test::WriteWholeFile(bin, disc);
    const auto msf = [](std::uint64_t sector) {
        char text[16];
        std::snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(sector / 4500),
                      static_cast<unsigned>(sector / 75 % 60), static_cast<unsigned>(sector % 75));
        return std::string(text);
    };
    const std::string cue = dir_ / "disc.cue";
    test::WriteWholeFile(cue, "FILE \"disc.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
                              "  TRACK 02 AUDIO\r\n    INDEX 01 " + msf(dataSectors) + "\r\n");
    ASSERT_TRUE(List().OpenImage(cue));
    Delete({"small.txt"});
    const std::string target = dir_ / "copy.bin";
    services_.Choose({target});
    frame_.RunCommand(ID_FILE_SAVEISOAS);
    ASSERT_TRUE(WaitIdle(List()));
    prompt_.ExpectNone();
    // The copy opens again through its own sheet, and bchunk reads the pair.
    const std::string sheet = dir_ / "copy.cue";
    ASSERT_TRUE(fs::exists(sheet));
    EXPECT_EQ(List().ImagePath(), sheet);
    EXPECT_EQ(RowNameSet(List()), (Names{"big.bin", "docs", "other.txt"}));
    ASSERT_TRUE(test::Succeeded(
        test::RunCommand("cd " + test::ShellQuote(dir_.Path()) + " && bchunk copy.bin copy.cue track")));
    const Names unpacked = BsdtarNames(dir_ / "track01.iso");
    EXPECT_TRUE(unpacked.contains("big.bin"));
    EXPECT_FALSE(unpacked.contains("small.txt"));
    // The audio track came along, where the sheet says it is.
    EXPECT_TRUE(test::ReadWholeFile(dir_ / "track02.cdr") == audio);
}

TEST_F(CommandsTest, RenameNewFolderAndDeleteHaveTheirKeysAndTheListsContextMenu)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const std::pair<int, QKeySequence> keys[]{{ID_ACTIONS_DELETE, QKeySequence(Qt::Key_Delete)},
                                              {ID_EDIT_RENAME, QKeySequence(Qt::Key_F2)},
                                              {ID_EDIT_NEWFOLDER, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N)}};
    for (const auto& [id, key] : keys) {
        ASSERT_NE(frame_.CommandAction(id), nullptr) << id;
        EXPECT_EQ(frame_.CommandAction(id)->shortcut(), key) << id;
        EXPECT_EQ(std::ranges::count(ListContextMenuLayout(), id), 1) << id;
    }
    // Through the dialogs, which start from the entry's name: a new folder, a file and a folder renamed.
    Open();
    const auto answer = [](const char* offered, const char* given) {
        WhenDialogShows<QInputDialog>([offered, given](QInputDialog& dialog) {
            if (offered != nullptr) {
                EXPECT_EQ(dialog.textValue().toStdString(), offered);
            }
            dialog.setTextValue(QString::fromLatin1(given));
            dialog.accept();
        });
    };
    answer(nullptr, "made");
    frame_.RunCommand(ID_EDIT_NEWFOLDER);
    for (const auto& [from, to] : {std::pair{"small.txt", "tiny.txt"}, std::pair{"docs", "papers"}}) {
        Select({from});
        answer(from, to);
        frame_.RunCommand(ID_EDIT_RENAME);
    }
    EXPECT_EQ(RowNameSet(List()), (Names{"big.bin", "papers", "made", "other.txt", "tiny.txt"}));
    EXPECT_EQ(Tree().topLevelItem(0)->childCount(), 2);
    SaveAndWait();
    prompt_.ExpectNone();
    const std::vector<std::string> expected{"/big.bin",      "/made",         "/other.txt",
                                            "/papers",       "/papers/inner", "/papers/inner/deep.dat",
                                            "/papers/readme.txt", "/tiny.txt"};
    EXPECT_EQ(IsoinfoPaths(image_, "-J -f"), expected);
    EXPECT_EQ(IsoinfoPaths(image_, "-R -f"), expected);
    // The ISO 9660 names follow too, as that tree spells them.
    const std::string plain = test::RunForOutput("isoinfo -l -i " + test::ShellQuote(image_));
    EXPECT_TRUE(Has(plain, "TINY.TXT"));
    EXPECT_TRUE(Has(plain, "Directory listing of /PAPERS/INNER/"));
    EXPECT_FALSE(Has(plain, "SMALL.TXT"));
}

std::atomic<int> imageWrites{0};
std::atomic<int> failingWrite{0};

bool CountingWriteHook()
{
    return ++imageWrites != failingWrite.load();
}

TEST_F(CommandsTest, CompactSavesTheEditsAndACompactionThatStopsShortSaysSoAndNotThatItCompacted)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    frame_.RunCommand(ID_FILE_COMPACT);
    prompt_.TakeOne("Compact Image works on an opened image");
    const std::string pristine = dir_ / "pristine.iso";
    fs::copy_file(image_, pristine);
    // First the writes of a whole compaction are counted; then its last one, in the pass that compacts after the
    // edits were saved, fails.
    int writes = 0;
    for (const bool failLast : {false, true}) {
        SCOPED_TRACE(failLast);
        fs::copy_file(pristine, image_, fs::copy_options::overwrite_existing);
        Open();
        Delete({"other.txt", "small.txt"});
        imageWrites = 0;
        failingWrite = failLast ? writes : 0;
        SetImageWriteFaultHook(&CountingWriteHook);
        frame_.RunCommand(ID_FILE_COMPACT);
        const bool idle = WaitIdle(List());
        SetImageWriteFaultHook(nullptr);
        ASSERT_TRUE(idle);
        writes = imageWrites;
        EXPECT_FALSE(List().Modified());
        const std::vector<Asked> told = std::exchange(prompt_.asked, {});
        List().ClearCurrentMode(); // the image is free for other programs
        EXPECT_EQ(BsdtarNames(image_),
                  (Names{"big.bin", "docs/", "docs/inner/", "docs/inner/deep.dat", "docs/readme.txt"}));
        if (!failLast) {
            ASSERT_EQ(told.size(), std::size_t{1});
            EXPECT_TRUE(told[0].text.starts_with("The image has been compacted: ")) << told[0].text;
            // genisoimage's padding is kept at the end; nothing else is free.
            EXPECT_TRUE(Has(test::RunForOutput(test::ShellQuote(TARVELIN_CLI_PATH) + " info " + image_),
                            "free space:      150 sectors (0.3 MiB) in 1 pieces"));
            continue;
        }
        ASSERT_EQ(told.size(), std::size_t{2});
        EXPECT_TRUE(told[0].text.starts_with("The image was saved, with these notes:\nerror: the edits are saved, "
                                             "but compacting stopped short"))
            << told[0].text;
        EXPECT_TRUE(told[1].text.starts_with("The image has been compacted only part of the way: ")) << told[1].text;
        EXPECT_EQ(told[1].icon, platform::PromptIcon::Warning);
    }
}

// The Properties dialog shows the image's texts and dates (to the hundredth of a second the descriptor holds) and
// saves what is typed, upper-cased in the primary descriptor. A date set back to the earliest the field offers shows
// "not specified" and leaves the date to the save: the modification date becomes the save's moment. Shown again before
// the save, the dialog has what was typed.
TEST_F(CommandsTest, PropertiesShowsTheImagesTextsAndDatesAndSavesWhatIsTyped)
{
    const auto read = [this] { return iso::ReadVolumeProperties(test::ReadFileRange(image_, 16 * 2048, 2048), false); };
    const iso::VolumeProperties before = read();
    ASSERT_TRUE(before.creationDate && before.modificationDate);
    Open();
    iso::VolumeProperties shown;
    QString modifiedText;
    WhenDialogShows<CPropertiesDlg>([&](CPropertiesDlg& dialog) {
        shown = dialog.Properties();
        dialog.VolumeLabelEdit()->setText("New_Label");
        dialog.PublisherEdit()->setText("Someone");
        dialog.ModifiedEdit()->setDateTime(dialog.ModifiedEdit()->minimumDateTime());
        modifiedText = dialog.ModifiedEdit()->text();
        dialog.accept();
    });
    frame_.RunCommand(ID_FILE_PROPERTIES);
    EXPECT_TRUE(shown == before);
    EXPECT_EQ(modifiedText, "not specified");
    // Shown again before the save: what was typed, the dates as they were.
    WhenDialogShows<CPropertiesDlg>([&](CPropertiesDlg& dialog) {
        shown = dialog.Properties();
        dialog.reject();
    });
    frame_.RunCommand(ID_FILE_PROPERTIES);
    EXPECT_EQ(std::tuple(shown.volumeIdentifier, shown.publisherIdentifier, shown.creationDate, shown.modificationDate),
              std::tuple(std::string("New_Label"), std::string("Someone"), before.creationDate,
                         before.modificationDate));
    SaveAndWait();
    const iso::VolumeProperties after = read();
    EXPECT_EQ(std::tuple(after.volumeIdentifier, after.publisherIdentifier, after.dataPreparerIdentifier,
                         after.applicationIdentifier, after.creationDate),
              std::tuple(std::string("NEW_LABEL"), std::string("SOMEONE"), before.dataPreparerIdentifier,
                         before.applicationIdentifier, before.creationDate));
    EXPECT_GE(after.modificationDate.value_or(0), *before.modificationDate);
}

TEST_F(CommandsTest, WhileASaveRunsCommandsOnTheImageAreRefusedAndClosingWaitsForIt)
{
    Open();
    Delete({"small.txt"});
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(List().IsSaving());
    // The save's end has not been handed to the GUI thread yet: every command below, and closing, meet it.
    for (const int id : std::initializer_list<int>{ID_ACTIONS_DELETE, ID_FILE_NEWISO, ID_FILE_OPENISO,
                                                 ID_ACTIONS_ADDFILES, ID_BOOT_LOAD, 0}) {
        SCOPED_TRACE(id);
        if (id == 0) {
            EXPECT_FALSE(frame_.close());
            EXPECT_TRUE(frame_.isVisible());
        } else {
            frame_.RunCommand(id);
        }
        prompt_.TakeOne("The image is being saved.");
    }
    EXPECT_TRUE(services_.calls.empty());
    EXPECT_FALSE(List().ImageRoot().children.empty());
    ASSERT_TRUE(WaitFor([this] { return !frame_.isVisible(); }));
    EXPECT_FALSE(List().Modified());
}

TEST_F(CommandsTest, ABootImageLoadedSavedAndReopenedSavesBackTheSameBytesAndCanBeDeleted)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    // Composing, nothing is open, and then an image without a boot record: each command says why with its caption.
    services_.Choose({bootFile_});
    prompt_.answers["Couldn't Load"] = PromptAnswer::No;
    Run({ID_BOOT_SAVE, ID_BOOT_DELETE, ID_BOOT_LOAD});
    EXPECT_TRUE(List().ComposeRoot().children.empty());
    Open();
    EXPECT_FALSE(List().Bootable());
    Run({ID_BOOT_SAVE, ID_BOOT_DELETE});
    const std::pair<std::string, std::string> told[]{{"You should open ISO first", "Warning Information"},
                                                     {"You should open ISO first", "Warning Infor"},
                                                     {"Couldn't Load Bootable Infomation", "Warning MessageBox"},
                                                     {"The Image File is not bootable File", "Warning Information"},
                                                     {"The Image File is not bootable File", "Warning Information"}};
    ASSERT_EQ(prompt_.asked.size(), std::size(told));
    for (std::size_t i = 0; i < std::size(told); ++i) {
        EXPECT_EQ(prompt_.asked[i].text, told[i].first);
        EXPECT_EQ(prompt_.asked[i].caption, told[i].second);
    }
    EXPECT_EQ(prompt_.asked[2].buttons, platform::PromptButtons::YesNo);
    EXPECT_EQ(services_.calls.size(), std::size_t{1});
    prompt_.asked.clear();
    // Loaded twice into the root: the folder holds the file once.
    services_.calls.clear();
    services_.Choose({bootFile_, bootFile_});
    Run({ID_BOOT_LOAD, ID_BOOT_LOAD});
    ASSERT_EQ(services_.calls.size(), std::size_t{2});
    EXPECT_EQ(services_.calls[0].filter, kFloppyFilter);
    EXPECT_FALSE(services_.calls[0].spec.save);
    EXPECT_EQ(std::ranges::count(RowNames(List()), "floppy.img"), 1);
    SaveAndWait();
    prompt_.ExpectNone();
    Open();
    EXPECT_TRUE(List().Bootable());
    EXPECT_EQ(std::ranges::count(RowNames(List()), "floppy.img"), 1);
    EXPECT_TRUE(Has(test::RunForOutput("isoinfo -d -i " + test::ShellQuote(image_)), "El Torito"));
    // Saved over a file, which it replaces; into a missing folder, which says why and makes nothing.
    const std::string saved = dir_ / "saved.image";
    test::WriteWholeFile(saved, std::string("an older file"));
    services_.Choose({saved, dir_ / "missing/saved.image"});
    frame_.RunCommand(ID_BOOT_SAVE);
    EXPECT_TRUE(services_.calls.back().spec.save);
    EXPECT_EQ(test::ReadWholeFile(saved), test::ReadWholeFile(bootFile_));
    frame_.RunCommand(ID_BOOT_SAVE);
    EXPECT_TRUE(Has(prompt_.TakeOne("").text, "could not be written"));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    frame_.RunCommand(ID_BOOT_DELETE);
    prompt_.ExpectNone();
    SaveAndWait();
    Open();
    EXPECT_FALSE(List().Bootable());
    // A boot image loaded and not saved yet can be deleted again, also once its file's row is gone (the save would
    // otherwise fail for the want of it).
    services_.Choose({bootFile_});
    frame_.RunCommand(ID_BOOT_LOAD);
    Delete({"floppy.img"});
    frame_.RunCommand(ID_BOOT_DELETE);
    prompt_.ExpectNone();
    SaveAndWait();
    prompt_.ExpectNone();
    Open();
    EXPECT_FALSE(List().Bootable());
    EXPECT_EQ(RowNamed(List(), "floppy.img"), -1);
    // An image whose boot catalog is a file of its tree: Delete Bootable takes the file along, and its row.
    TARVELIN_REQUIRE_TOOL("xorriso");
    const std::string peer = dir_ / "peer.iso";
    WriteTree(dir_ / "peer", {{"boot/b.img", Text(test::RandomBytes(4 * 2048, 12))}});
    test::RunXorrisoMkisofs(dir_ / "peer", peer, "-r -b boot/b.img -no-emul-boot -boot-load-size 4 -c boot.catalog");
    ASSERT_TRUE(List().OpenImage(peer));
    ASSERT_GE(RowNamed(List(), "boot.catalog"), 0);
    frame_.RunCommand(ID_BOOT_DELETE);
    EXPECT_EQ(RowNameSet(List()), Names{"boot"});
    SaveAndWait();
    EXPECT_EQ(IsoinfoPaths(peer, "-R -f"), (std::vector<std::string>{"/boot", "/boot/b.img"}));
}

TEST_F(CommandsTest, AFloppyIsCopiedIntoTheChosenFile)
{
    const std::string target = dir_ / "made.image";
    List().SetFloppyDevice(bootFile_);
    services_.Choose({target});
    frame_.RunCommand(ID_BOOT_FROMFLOPPY);
    EXPECT_EQ(services_.calls.back().spec.defaultSuffix.toStdString(), "image");
    EXPECT_TRUE(services_.calls.back().spec.save);
    ASSERT_TRUE(WaitFor([this] { return !List().IsMakingBootImage(); }));
    EXPECT_EQ(test::ReadWholeFile(target), test::ReadWholeFile(bootFile_));
    prompt_.ExpectNone();
    // Two sectors cannot be read and are ignored: the user is told which.
    static constexpr auto badSectors = [](std::uint32_t index) { return index == 30 || index == 31; };
    const FloppyReadFault before = SetFloppyReadFault(badSectors);
    prompt_.answers["Read error"] = PromptAnswer::Ignore;
    services_.Choose({target});
    frame_.RunCommand(ID_BOOT_FROMFLOPPY);
    ASSERT_TRUE(WaitFor([this] { return !List().IsMakingBootImage(); }));
    SetFloppyReadFault(before);
    ASSERT_FALSE(prompt_.asked.empty());
    EXPECT_EQ(prompt_.asked.back().text, capture::DescribeUnreadSectors({30, 31}));
    prompt_.asked.clear();
    // No device to read: the maker says so and holds nothing.
    List().SetFloppyDevice(dir_ / "no-such-device");
    services_.Choose({dir_ / "other.image"});
    frame_.RunCommand(ID_BOOT_FROMFLOPPY);
    EXPECT_FALSE(List().IsMakingBootImage());
    prompt_.TakeOne("Can not open floppy!");
}

TEST_F(FrameTest, HelpFindsTheGuideBesideTheProgramAndSaysWhenItIsMissing)
{
    // Installed (bin/ beside share/doc/tarvelin/guide) or in the build tree (guide/ beside the program).
    const std::string installed = "prefix/share/doc/tarvelin/guide/index.html";
    const std::string built = "build/guide/index.html";
    WriteTree(dir_.Path(), {{"prefix/bin/", ""}, {installed, "<html></html>"}, {built, "<html></html>"}});
    EXPECT_EQ(UserGuideAt(QString::fromStdString(dir_ / "prefix/bin")).toStdString(), dir_ / installed);
    EXPECT_EQ(UserGuideAt(QString::fromStdString(dir_ / "build")).toStdString(), dir_ / built);
    EXPECT_TRUE(UserGuideAt(QString::fromStdString(dir_ / "prefix")).isEmpty());
    // This test program has no guide: each Help command says where it looked, and nothing is opened.
    QString lookedFor;
    ASSERT_TRUE(UserGuide(&lookedFor).isEmpty());
    for (int id : {ID_HELP_CONTENTS, ID_HELP_HOMEPAGE, ID_HELP_SUPPORT}) {
        frame_.RunCommand(id);
        EXPECT_EQ(prompt_.TakeTexts(),
                  std::vector<std::string>{"The help file " + lookedFor.toStdString() + " was not found."});
    }
    EXPECT_TRUE(services_.opened.empty());
}

TEST_F(CommandsTest, UnsavedEditsAreAskedAboutBeforeNewOpenAndClose)
{
    TARVELIN_REQUIRE_TOOL("bsdtar");
    // Composing: a changed composition is asked about as an image's edits are. Cancel keeps it.
    services_.Choose({Source("small.txt")});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    ASSERT_TRUE(List().Modified());
    prompt_.answers["Save changes?"] = PromptAnswer::Cancel;
    frame_.RunCommand(ID_FILE_NEWISO);
    frame_.RunCommand(ID_FILE_OPENISO);
    EXPECT_FALSE(frame_.close());
    EXPECT_EQ(prompt_.TakeTexts(), std::vector<std::string>(3, "Save changes?"));
    EXPECT_EQ(services_.calls.size(), std::size_t{1});
    EXPECT_EQ(List().ComposeRoot().children.size(), std::size_t{1});
    // Yes on New: the composition is built, then dropped for an empty one (the new image is not opened).
    const std::string composed = dir_ / "composed.iso";
    prompt_.answers["Save changes?"] = PromptAnswer::Yes;
    services_.Choose({composed});
    frame_.RunCommand(ID_FILE_NEWISO);
    EXPECT_TRUE(List().IsBuilding());
    ASSERT_TRUE(WaitIdle(List()));
    EXPECT_TRUE(BsdtarNames(composed).contains("small.txt"));
    EXPECT_FALSE(List().ImageMode());
    EXPECT_TRUE(List().ComposeRoot().children.empty());
    EXPECT_FALSE(List().Modified());
    EXPECT_EQ(prompt_.TakeTexts(), std::vector<std::string>{"Save changes?"});
    // No on Open: the composition is dropped unbuilt and the image opens.
    services_.Choose({Source("other.txt"), image_});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    prompt_.answers["Save changes?"] = PromptAnswer::No;
    frame_.RunCommand(ID_FILE_OPENISO);
    EXPECT_EQ(prompt_.TakeTexts(), std::vector<std::string>{"Save changes?"});
    EXPECT_TRUE(List().ImageMode());
    EXPECT_FALSE(List().Modified());
    services_.calls.clear();
    Open();
    Delete({"small.txt"});
    ASSERT_TRUE(List().Modified());
    // Cancel: nothing happens.
    prompt_.answers["Save changes?"] = PromptAnswer::Cancel;
    frame_.RunCommand(ID_FILE_NEWISO);
    EXPECT_EQ(prompt_.TakeOne("Save changes?").buttons, platform::PromptButtons::YesNoCancel);
    EXPECT_FALSE(List().ImageRoot().children.empty());
    // A second close request while the question is up (sent as the window system sends one: close() would be swallowed
    // while the window is closing) waits for the first answer, asking nothing more.
    bool secondAccepted = true;
    prompt_.onAsk = [this, &secondAccepted] {
        if (prompt_.asked.size() == 1) {
            QCloseEvent again;
            QCoreApplication::sendEvent(&frame_, &again);
            secondAccepted = again.isAccepted();
        }
    };
    EXPECT_FALSE(frame_.close());
    prompt_.onAsk = nullptr;
    EXPECT_EQ(prompt_.TakeTexts(), std::vector<std::string>{"Save changes?"});
    EXPECT_FALSE(secondAccepted);
    EXPECT_TRUE(frame_.isVisible());
    EXPECT_TRUE(List().Modified());
    // No: the edit is dropped, the image file keeps its entry.
    prompt_.answers["Save changes?"] = PromptAnswer::No;
    frame_.RunCommand(ID_FILE_NEWISO);
    EXPECT_TRUE(List().ImageRoot().children.empty());
    Open();
    EXPECT_GE(RowNamed(List(), "small.txt"), 0);
    // Yes on Open: the save ends first, then the file dialog comes.
    Delete({"small.txt"});
    prompt_.answers["Save changes?"] = PromptAnswer::Yes;
    services_.Choose({image_});
    frame_.RunCommand(ID_FILE_OPENISO);
    EXPECT_TRUE(services_.calls.empty());
    ASSERT_TRUE(WaitFor([this] { return !services_.calls.empty() && !List().IsBusy(); }));
    EXPECT_EQ(RowNamed(List(), "small.txt"), -1);
    EXPECT_FALSE(List().Modified());
    // Yes on closing the window: it closes once the save has ended.
    Delete({"docs"});
    EXPECT_FALSE(frame_.close());
    EXPECT_TRUE(List().IsSaving());
    ASSERT_TRUE(WaitFor([this] { return !frame_.isVisible(); }));
    Open();
    EXPECT_EQ(RowNameSet(List()), (Names{"big.bin", "other.txt"}));
}

void Drop(QWidget* target, const std::vector<std::string>& paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& path : paths) {
        urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path)));
    }
    data.setUrls(urls);
    const QPointF at(10, 10);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
}

// The files a drag of the named rows hands out, by name.
std::map<std::string, std::string> Dragged(CTarvelinView& list, const std::vector<std::string>& names)
{
    QModelIndexList rows;
    for (const std::string& name : names) {
        rows.push_back(list.Model().index(RowNamed(list, name), 0));
    }
    const std::unique_ptr<QMimeData> data(list.Model().mimeData(rows));
    std::map<std::string, std::string> files;
    for (const QUrl& url : data != nullptr ? data->urls() : QList<QUrl>{}) {
        files.emplace(fs::path(url.toLocalFile().toStdString()).filename().string(), url.toLocalFile().toStdString());
    }
    return files;
}

TEST_F(CommandsTest, FilesDroppedOnTheListAreAddedAndRowsDraggedOutAreFilesOnDisk)
{
    const std::vector<std::uint8_t> deep = test::ReadWholeFile(Source("docs/inner/deep.dat"));
    QWidget* viewport = List().DetailsView()->viewport();
    Drop(viewport, {bootFile_, Source("docs")});
    EXPECT_EQ(RowNameSet(List()), (Names{"docs", "floppy.img"}));
    // Rows dragged out while composing are what the composition arranges: a renamed file under its new name.
    ASSERT_TRUE(List().Controller().Rename(List().Model().RecordAt(RowNamed(List(), "floppy.img")), "boot.img"));
    std::map<std::string, std::string> handed = Dragged(List(), {"boot.img", "docs"});
    ASSERT_EQ(handed.size(), std::size_t{2});
    EXPECT_EQ(test::ReadWholeFile(handed["boot.img"]), test::ReadWholeFile(bootFile_));
    EXPECT_EQ(test::ReadWholeFile(handed["docs"] + "/inner/deep.dat"), deep);
    EXPECT_TRUE(fs::exists(bootFile_));
    // An opened image: the dropped file goes into it, bound to its entry; rows dragged out are the extracted entries.
    Open();
    Drop(viewport, {bootFile_});
    EXPECT_TRUE(List().Modified());
    ASSERT_GE(RowNamed(List(), "floppy.img"), 0);
    EXPECT_TRUE(List().NodeMap().contains(List().Model().RecordAt(RowNamed(List(), "floppy.img"))));
    handed = Dragged(List(), {"floppy.img", "docs"});
    ASSERT_EQ(handed.size(), std::size_t{2});
    EXPECT_EQ(test::ReadWholeFile(handed["floppy.img"]), test::ReadWholeFile(bootFile_));
    EXPECT_EQ(test::ReadWholeFile(handed["docs"] + "/inner/deep.dat"), deep);
    prompt_.ExpectNone();
}

TEST_F(FrameTest, LongNamesBackslashesAndUdfAreKeptWholeFromRecordToImage)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    TARVELIN_REQUIRE_TOOL("7z");
    QAction* udf = frame_.CommandAction(ID_FILE_BUILDUDF);
    ASSERT_NE(udf, nullptr);
    EXPECT_FALSE(udf->isChecked());
    frame_.RunCommand(ID_FILE_BUILDUDF);
    EXPECT_TRUE(udf->isChecked());
    EXPECT_TRUE(List().BuildsUdf());
    // 150 characters: more than the records of old could hold.
    const std::string longName = std::string(146, 'n') + ".txt";
    const std::string folder = dir_ / "back\\slash";
    WriteTree(folder, {{longName, Text(test::RandomBytes(1000, 6))}, {"a\\b.txt", "backslash in the name\n"}});
    const std::string file = dir_ / "Grüße.txt";
    test::WriteWholeFile(file, std::string("in both trees\n"));
    const std::string image = dir_ / "long.iso";
    services_.Choose({folder, file, image});
    frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY);
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    ASSERT_EQ(List().ComposeRoot().children.size(), std::size_t{2});
    const EntryRecord& record = *List().ComposeRoot().children[0];
    EXPECT_EQ(record.name, "back\\slash");
    EXPECT_EQ(record.path, folder);
    ASSERT_EQ(record.children.size(), std::size_t{2});
    EXPECT_EQ((Names{record.children[0]->name, record.children[1]->name}), (Names{longName, "a\\b.txt"}));
    // A double-click on a file of a composition opens the file itself.
    DoubleClick("back\\slash");
    DoubleClick("a\\b.txt");
    EXPECT_EQ(services_.opened, std::vector<std::string>{folder + "/a\\b.txt"});
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(WaitIdle(List()));
    prompt_.ExpectNone();
    // Rock Ridge keeps the names whole (isoinfo lists them as they are; bsdtar would escape the backslashes); Joliet
    // has '_' for the backslash; 7-Zip reads the UDF tree.
    const std::vector<std::string> rock = IsoinfoPaths(image, "-R -f");
    EXPECT_EQ(std::ranges::count(rock, "/back\\slash/a\\b.txt"), 1);
    EXPECT_EQ(std::ranges::count(rock, "/back\\slash/" + longName), 1);
    EXPECT_EQ(std::ranges::count(IsoinfoPaths(image, "-J -f"), "/back_slash/a_b.txt"), 1);
    const std::string listing = test::RunForOutput("7z l -slt " + test::ShellQuote(image));
    EXPECT_TRUE(Has(listing, "Type = Udf"));
    EXPECT_TRUE(Has(listing, "Path = Grüße.txt"));
    frame_.RunCommand(ID_FILE_BUILDUDF);
    EXPECT_FALSE(udf->isChecked());
    EXPECT_FALSE(List().BuildsUdf());
}

TEST_F(FrameTest, ARunningBuildIsNotReleasedByCommandsAndClosingAsksToStopIt)
{
    const std::string big = dir_ / "big.bin";
    test::WriteWholeFile(big, test::RandomBytes(4 * 1024 * 1024, 7));
    const std::string output = dir_ / "new.iso";
    services_.Choose({big, output});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(List().IsBuilding());
    // The build's end has not been handed to the GUI thread yet. An edit now would be in neither the new image nor the
    // list once the image is opened.
    for (int id : {ID_FILE_NEWISO, ID_FILE_OPENISO, ID_FILE_SAVEISO, ID_ACTIONS_ADDFILES, ID_ACTIONS_DELETE}) {
        SCOPED_TRACE(id);
        frame_.RunCommand(id);
        prompt_.TakeOne("A new image is being built.");
    }
    EXPECT_EQ(List().ComposeRoot().children.size(), std::size_t{1});
    const std::string stop = "A new image is being built. Stop";
    prompt_.answers[stop] = PromptAnswer::No;
    EXPECT_FALSE(frame_.close());
    EXPECT_TRUE(List().IsBuilding());
    EXPECT_EQ(prompt_.TakeOne(stop).buttons, platform::PromptButtons::YesNo);
    prompt_.answers[stop] = PromptAnswer::Yes;
    EXPECT_TRUE(frame_.close());
    EXPECT_FALSE(List().IsBuilding());
    // Stopped or complete, the image is not opened; a stopped build leaves no partial file.
    QApplication::processEvents();
    EXPECT_FALSE(List().ImageMode());
    if (fs::exists(output)) {
        EXPECT_EQ(fs::file_size(output) % 2048, 0u);
        EXPECT_GT(fs::file_size(output), 4u * 1024 * 1024);
    }
}

TEST_F(FrameTest, ExtractCopiesFromDiskWithoutOverwritingViewOpensAndDeleteDropsRecords)
{
    const std::string folder = dir_ / "folder";
    const std::string file = dir_ / "three.txt";
    WriteTree(dir_.Path(), {{"folder/one.txt", "one\n"},
                            {"folder/empty.txt", ""},
                            {"folder/sub/two.bin", Text(test::RandomBytes(3000, 8))},
                            {"three.txt", "three\n"},
                            {"out/folder/one.txt", "kept\n"}}); // already at the destination: kept
    // A pipe is left out as the build leaves it out, and refused when added by itself. It is held open here so that
    // a copy reading it would make an empty file rather than wait.
    const std::string pipe = folder + "/pipe";
    ASSERT_TRUE(platform::MakeFifo(pipe, 0644));
    const int held = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(held, 0);
    services_.Choose({folder, file, pipe});
    frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY);
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    prompt_.TakeOne("'" + pipe + "' cannot be added: it is not a file or a folder");
    const std::string destination = dir_ / "out";
    Select({"folder", "three.txt"});
    RunExtract(frame_, destination);
    prompt_.ExpectNone();
    EXPECT_EQ(Text(test::ReadWholeFile(destination + "/folder/one.txt")), "kept\n");
    EXPECT_EQ(test::ReadWholeFile(destination + "/folder/sub/two.bin"), test::ReadWholeFile(folder + "/sub/two.bin"));
    EXPECT_EQ(test::ReadWholeFile(destination + "/three.txt"), test::ReadWholeFile(file));
    EXPECT_EQ(services_.opened, (std::vector<std::string>{destination, destination}));
    services_.opened.clear();
    // The composition's names and folders, not the disk's: a file renamed, a folder deleted, a folder made with a
    // file added into it; the empty file the build takes from the folder comes along.
    DoubleClick("folder");
    const auto row = [this](const std::string& name) { return List().Model().RecordAt(RowNamed(List(), name)); };
    ASSERT_TRUE(List().Controller().Rename(row("one.txt"), "first.txt"));
    Select({"sub"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EntryRecord* made = List().Controller().MakeFolder(List().CurrentFolder(), "made");
    ASSERT_NE(made, nullptr);
    ASSERT_NE(List().AddEntry(file, made), nullptr);
    List().ShowFolder(&List().ComposeRoot());
    const std::string arranged = dir_ / "arranged";
    Select({"folder"});
    RunExtract(frame_, arranged);
    prompt_.ExpectNone();
    std::set<std::string> copied;
    for (const auto& entry : fs::recursive_directory_iterator(arranged)) {
        copied.insert(entry.path().lexically_relative(arranged).string());
    }
    EXPECT_EQ(copied, (Names{"folder", "folder/first.txt", "folder/empty.txt", "folder/made", "folder/made/three.txt"}));
    EXPECT_EQ(Text(test::ReadWholeFile(arranged + "/folder/first.txt")), "one\n");
    EXPECT_EQ(test::ReadWholeFile(arranged + "/folder/made/three.txt"), test::ReadWholeFile(file));
    EXPECT_EQ(fs::file_size(arranged + "/folder/empty.txt"), 0u);
    ::close(held);
    // View opens the renamed file under its new name, a copy as the image would hold it.
    services_.opened.clear();
    DoubleClick("folder");
    Select({"first.txt"});
    frame_.RunCommand(ID_ACTIONS_VIEW);
    ASSERT_EQ(services_.opened.size(), std::size_t{1});
    EXPECT_EQ(fs::path(services_.opened[0]).filename(), "first.txt");
    EXPECT_EQ(Text(test::ReadWholeFile(services_.opened[0])), "one\n");
    List().ShowFolder(&List().ComposeRoot());
    prompt_.ExpectNone();
    Select({"folder"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_EQ(RowNames(List()), std::vector<std::string>{"three.txt"});
    EXPECT_EQ(Tree().topLevelItem(0)->childCount(), 0);
    // With the last record gone no size is shown.
    Select({"three.txt"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_EQ(frame_.SizeLabel()->text().toStdString(), "");
}

} // namespace
} // namespace tarvelin::shell
