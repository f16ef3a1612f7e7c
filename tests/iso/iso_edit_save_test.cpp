// Saving in place: raw images of genisoimage and of our build edited every way the facade allows, checked with
// 7-Zip, bsdtar and xorriso and read back by the engine; edge cases of saves.

#include "core/iso_sector.h"
#include "iso/iso9660.h"
#include "iso/iso_edit_test_support.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

enum class Maker { Genisoimage, OwnBuild };

struct ImageKind {
    const char* name;
    Maker maker;
    std::optional<test::RawForm> raw;
};

// The user data of every 2352-byte sector; the sectors must be those the reference encoder makes of it.
std::vector<std::uint8_t> PlainFromRaw(const std::vector<std::uint8_t>& raw, test::RawForm form)
{
    std::vector<std::uint8_t> plain;
    for (std::size_t at = form == test::RawForm::Mode1 ? 16 : 24; at + 2048 <= raw.size(); at += 2352) {
        plain.insert(plain.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                     raw.begin() + static_cast<std::ptrdiff_t>(at + 2048));
    }
    EXPECT_TRUE(test::EncodeRawImage(plain, form) == raw) << "raw sectors not encoded as the reference encoder does";
    return plain;
}

void RequirePeers()
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "7z", "bsdtar", "xorriso");
}

class SaveEditedImage : public ::testing::TestWithParam<ImageKind> {
protected:
    test::TempDir dir;
    std::string source = dir / "src";
    std::string image;

    void SetUp() override
    {
        RequirePeers();
        fs::create_directories(source + "/sub/deeper");
        test::WriteWholeFile(source + "/a.txt", std::string("the first a\n"));
        test::WriteWholeFile(source + "/Mixed Case.txt", std::string("mixed\n"));
        test::WriteWholeFile(source + "/empty.dat", std::vector<std::uint8_t>{});
        test::WriteWholeFile(source + "/sub/b.bin", test::RandomBytes(70000, 2));
        test::WriteWholeFile(source + "/sub/deeper/c.bin", test::RandomBytes(5000, 3));
        test::WriteWholeFile(source + "/sub/deeper/d.bin", test::RandomBytes(2048, 4));

        const std::string iso = dir / "made.iso";
        if (GetParam().maker == Maker::Genisoimage) {
            test::RunGenisoimage(source, iso, "-J -R");
        } else {
            std::string command = ShellQuote(TARVELIN_CLI_PATH) + " build " + ShellQuote(iso);
            for (const char* item : {"a.txt", "Mixed Case.txt", "empty.dat", "sub"}) {
                command += " " + ShellQuote(source + "/" + item);
            }
            ASSERT_TRUE(test::Succeeded(test::RunCommand(command)));
        }
        image = iso;
        if (GetParam().raw) {
            image = dir / "made.bin";
            test::MakeRawBin(iso, image, *GetParam().raw);
        }

        fs::create_directories(dir / "add/many/nested/again");
        test::WriteWholeFile(dir / "add/new.bin", test::RandomBytes(300000, 5));
        test::WriteWholeFile(dir / "add/a.txt", std::string("the second a, longer than the first\n"));
        for (int i = 0; i < 90; ++i) {
            test::WriteWholeFile(dir / ("add/many/a file with a long name to grow the folder " + std::to_string(i)),
                                 test::RandomBytes(100 + i * 37, 100 + i));
        }
        test::WriteWholeFile(dir / "add/many/nested/inner.bin", test::RandomBytes(9000, 6));
        test::WriteWholeFile(dir / "add/many/nested/again/last.txt", std::string("last\n"));
    }

    std::string PlainImage()
    {
        if (!GetParam().raw) {
            return image;
        }
        const std::string plain = dir / "check.iso";
        test::WriteWholeFile(plain, PlainFromRaw(test::ReadWholeFile(image), *GetParam().raw));
        return plain;
    }
};

TEST_P(SaveEditedImage, EveryEditReachesTheImageAndEveryOtherFileKeepsItsBytesAndDate)
{
    const test::TreeContents before = test::ReadImageTree(image);
    ASSERT_EQ(before.count("sub/deeper/c.bin"), 1u);

    auto edit = std::make_unique<test::EditHandle>();
    ASSERT_TRUE(test::OpenTree(edit->get(), image));
    DirNode* root = (*edit)->GetRoot();
    std::uint32_t extentBefore = 0;
    ASSERT_TRUE((*edit)->GetItemExtent(test::FindNode(edit->get(), "sub/b.bin"), extentBefore));

    ASSERT_NE((*edit)->AddFile((dir / "add/new.bin").c_str(), root), nullptr) << (*edit)->GetLastError();
    EXPECT_FALSE((*edit)->WasReplaced());
    ASSERT_NE((*edit)->AddFile((dir / "add/a.txt").c_str(), root), nullptr);
    EXPECT_TRUE((*edit)->WasReplaced());
    ASSERT_NE(test::FindNode(edit->get(), "sub"), nullptr);
    EXPECT_TRUE((*edit)->DeleteNode(test::FindNode(edit->get(), "sub/deeper"), test::FindNode(edit->get(), "sub/deeper/c.bin")));
    DirNode* made = (*edit)->NewDirectory("made", root);
    ASSERT_NE(made, nullptr) << (*edit)->GetLastError();
    ASSERT_NE((*edit)->AddDirectoryTree((dir / "add/many").c_str(), made), nullptr) << (*edit)->GetLastError();
    ASSERT_TRUE((*edit)->Rename("renamed.txt", test::FindNode(edit->get(), "Mixed Case.txt")));

    const test::SaveOutcome saved = test::SaveAndWait(edit->get());
    ASSERT_EQ(saved.finalValue, kSaveDone) << saved.error;
    ASSERT_FALSE(saved.progress.empty());
    for (std::size_t i = 0; i < saved.progress.size(); ++i) {
        EXPECT_GE(saved.progress[i], 0);
        EXPECT_LE(saved.progress[i], 99);
        if (i > 0) {
            EXPECT_GE(saved.progress[i], saved.progress[i - 1]);
        }
    }
    EXPECT_FALSE(fs::exists(image + ".tarvelin-undo"));
    // The folders outgrew their room in front of the data: they went elsewhere, and the data stayed.
    std::uint32_t extentAfter = 0;
    ASSERT_TRUE((*edit)->GetItemExtent(test::FindNode(edit->get(), "sub/b.bin"), extentAfter));
    EXPECT_EQ(extentAfter, extentBefore);

    std::map<std::string, std::vector<std::uint8_t>> expected = test::FolderContents(source);
    expected.erase("sub/deeper/c.bin");
    expected["renamed.txt"] = expected["Mixed Case.txt"];
    expected.erase("Mixed Case.txt");
    expected["a.txt"] = test::ReadWholeFile(dir / "add/a.txt");
    expected["new.bin"] = test::ReadWholeFile(dir / "add/new.bin");
    expected["made/"] = {};
    for (const auto& [path, bytes] : test::FolderContents(dir / "add/many")) {
        expected["made/many/" + path] = bytes;
    }
    expected["made/many/"] = {};

    // The session's tree describes the image it saved; so does a fresh open (after the session).
    EXPECT_TRUE(test::SameContents(test::SessionContents(edit->get()), expected));
    edit.reset();
    const test::TreeContents after = test::ReadImageTree(image);
    EXPECT_TRUE(test::SameContents(test::WithoutDates(after), expected));
    // Entries that stayed keep their dates exactly.
    for (const char* kept : {"sub/", "sub/b.bin", "sub/deeper/", "sub/deeper/d.bin", "empty.dat"}) {
        ASSERT_EQ(after.count(kept), 1u) << kept;
        EXPECT_EQ(after.at(kept).date, before.at(kept).date) << kept;
        EXPECT_NE(after.at(kept).date, 0) << kept;
    }
    EXPECT_EQ(after.at("renamed.txt").date, before.at("Mixed Case.txt").date);

    test::ExpectPeersSee(PlainImage(), expected);

    // The volume covers the whole file, and a session saves more than once.
    test::EditHandle again;
    ASSERT_TRUE(again->Open(image.c_str()));
    std::vector<std::uint8_t> primary(2048);
    ASSERT_TRUE(again->ReadSector(16, primary.data()));
    EXPECT_EQ(iso::ReadLe32(primary, 80), again->GetSector()->GetSectorCount());
    again->LoadTree();
    for (const char* name : {"later.txt", "later2.txt"}) {
        test::WriteWholeFile(dir / name, std::string("added later as ") + name);
        ASSERT_NE(again->AddFile((dir / name).c_str(), test::FindNode(again.get(), "sub")), nullptr);
        const test::SaveOutcome next = test::SaveAndWait(again.get());
        ASSERT_EQ(next.finalValue, kSaveDone) << next.error;
        expected[std::string("sub/") + name] = test::ReadWholeFile(dir / name);
        EXPECT_TRUE(test::SameContents(test::SessionContents(again.get()), expected));
    }
}

INSTANTIATE_TEST_SUITE_P(Images, SaveEditedImage,
                         // Plain images are edited in place against the peers in tests/cli/fidelity_test.cpp.
                         ::testing::Values(ImageKind{"OwnBuildMode1Bin", Maker::OwnBuild, test::RawForm::Mode1},
                                           ImageKind{"GenisoimageMode2Bin", Maker::Genisoimage,
                                                     test::RawForm::Mode2Form1}),
                         [](const ::testing::TestParamInfo<ImageKind>& param) { return param.param.name; });

class SaveEdge : public ::testing::Test {
protected:
    test::TempDir dir;

    // A genisoimage image of files (path below src, text) made with options.
    std::string Made(const std::string& name, const std::map<std::string, std::string>& files, const char* options)
    {
        for (const auto& [path, text] : files) {
            fs::create_directories(fs::path(dir / ("src/" + path)).parent_path());
            test::WriteWholeFile(dir / ("src/" + path), text);
        }
        test::RunGenisoimage(dir / "src", dir / name, options);
        return dir / name;
    }
};

// Folders grown past the end of the data: what is appended starts behind them, not at the old end.
TEST_F(SaveEdge, ATinyImageWhoseFoldersOutgrowItsData)
{
    RequirePeers();
    const std::string image = Made("tiny.iso", {{"one.txt", "one\n"}}, "-J");
    fs::create_directories(dir / "add/wide");
    for (int i = 0; i < 300; ++i) {
        test::WriteWholeFile(dir / ("add/wide/entry number " + std::to_string(i) + " with a long name.txt"),
                             std::to_string(i) + "\n");
    }
    const auto sizeBefore = fs::file_size(image);

    test::EditHandle edit;
    ASSERT_TRUE(test::OpenTree(edit.get(), image));
    ASSERT_NE(edit->AddDirectoryTree((dir / "add/wide").c_str(), edit->GetRoot()), nullptr);
    const test::SaveOutcome saved = test::SaveAndWait(edit.get());
    ASSERT_EQ(saved.finalValue, kSaveDone) << saved.error;
    EXPECT_GT(fs::file_size(image), sizeBefore);

    auto expected = test::FolderContents(dir / "src");
    for (const auto& [path, bytes] : test::FolderContents(dir / "add/wide")) {
        expected["wide/" + path] = bytes;
    }
    expected["wide/"] = {};
    EXPECT_TRUE(test::SameContents(test::SessionContents(edit.get()), expected));
    test::ExpectPeersSee(image, expected);
}

// Files that changed length before the save keep their added length (cut or zero-padded), named with both lengths.
TEST_F(SaveEdge, AFileThatChangedLengthBeforeTheSaveKeepsItsAddedLengthAndIsNamed)
{
    RequirePeers();
    const std::string image = Made("a.iso", {{"a.txt", "a\n"}}, "-J -R");
    fs::create_directories(dir / "add");
    const std::vector<std::uint8_t> grown = test::RandomBytes(9000, 1);
    const std::vector<std::uint8_t> shrunk = test::RandomBytes(1000, 2);
    test::WriteWholeFile(dir / "add/grows.bin", test::RandomBytes(5000, 3));
    test::WriteWholeFile(dir / "add/shrinks.bin", test::RandomBytes(5000, 4));

    test::EditHandle edit;
    ASSERT_TRUE(test::OpenTree(edit.get(), image));
    ASSERT_NE(edit->AddDirectoryTree((dir / "add").c_str(), edit->GetRoot()), nullptr);
    bool isError = true;
    test::WriteWholeFile(dir / "add/grows.bin", grown);
    test::WriteWholeFile(dir / "add/shrinks.bin", shrunk);
    const test::SaveOutcome saved = test::SaveAndWait(edit.get());
    ASSERT_EQ(saved.finalValue, kSaveDone) << saved.error;
    std::set<std::string> notices;
    for (std::uint32_t i = 0; i < edit->GetNoticeCount(); ++i) {
        notices.insert(edit->GetNotice(i, &isError));
        EXPECT_FALSE(isError);
    }
    EXPECT_EQ(notices, (std::set<std::string>{
                           "'" + (dir / "add/grows.bin") + "' changed length since it was added (5000 bytes then, "
                           "9000 now): the image holds its first 5000 bytes in the space of 5000",
                           "'" + (dir / "add/shrinks.bin") + "' changed length since it was added (5000 bytes then, "
                           "1000 now): the image holds its first 1000 bytes in the space of 5000, the rest zeros"}));

    std::vector<std::uint8_t> padded = shrunk;
    padded.resize(5000, 0);
    const std::map<std::string, std::vector<std::uint8_t>> expected = {
        {"a.txt", test::ReadWholeFile(dir / "src/a.txt")},
        {"add/", {}},
        {"add/grows.bin", std::vector<std::uint8_t>(grown.begin(), grown.begin() + 5000)},
        {"add/shrinks.bin", padded},
    };
    test::ExpectPeersSee(image, expected);
}

TEST_F(SaveEdge, ASaveThatCannotStartSaysWhyAndNothingChanges)
{
    test::EditHandle edit;
    const test::SaveOutcome unopened = test::SaveAndWait(edit.get());
    EXPECT_EQ(unopened.finalValue, 0);
    EXPECT_NE(unopened.error, "");

    TARVELIN_REQUIRE_TOOL("genisoimage");
    const std::string image = Made("a.iso", {{"a.txt", "a\n"}}, "-J");
    const auto original = test::ReadWholeFile(image);
    ASSERT_TRUE(test::OpenTree(edit.get(), image));
    test::WriteWholeFile(dir / "gone.txt", std::string("soon gone\n"));
    ASSERT_NE(edit->AddFile((dir / "gone.txt").c_str(), edit->GetRoot()), nullptr);
    fs::remove(dir / "gone.txt");
    const test::SaveOutcome saved = test::SaveAndWait(edit.get());
    EXPECT_EQ(saved.finalValue, kSaveFailed);
    EXPECT_NE(saved.error.find("gone.txt"), std::string::npos) << saved.error;
    EXPECT_EQ(test::ReadWholeFile(image), original);
    EXPECT_FALSE(fs::exists(image + ".tarvelin-undo"));

    // A tree read for reading alone lacks what keeps unchanged records: no edits or saves until reread.
    IIsoEdit* reader = edit.get();
    ASSERT_TRUE(reader->Open(image.c_str()));
    reader->LoadTreeForReading();
    ASSERT_NE(test::FindNode(reader, "a.txt"), nullptr);
    EXPECT_EQ(reader->NewDirectory("NEW", reader->GetRoot()), nullptr);
    EXPECT_FALSE(reader->DeleteNode(reader->GetRoot(), test::FindNode(reader, "a.txt")));
    EXPECT_EQ(test::SaveAndWait(reader).finalValue, 0);
    reader->LoadTree();
    EXPECT_NE(reader->NewDirectory("NEW", reader->GetRoot()), nullptr);
    EXPECT_EQ(test::SaveAndWait(reader).finalValue, kSaveDone);
}

// The names of the root as a tree shows them.
std::set<std::string> RootNames(IIsoEdit* edit)
{
    std::set<std::string> names;
    for (DirNode* child = edit->GetFirstChild(edit->GetRoot()); child != nullptr; child = edit->GetNextSibling(child)) {
        ItemInfo info;
        EXPECT_TRUE(edit->GetItemInfo(child, info));
        names.insert(info.name);
    }
    return names;
}

// The identifiers isoinfo lists in the root of one tree (options pick it).
std::set<std::string> IsoinfoRoot(const std::string& image, const std::string& options)
{
    std::set<std::string> identifiers;
    const test::IsoinfoListing listing =
        test::ParseIsoinfoListing(test::RunForOutput("isoinfo " + options + " -l -i " + ShellQuote(image)));
    if (const auto root = listing.find("/"); root != listing.end()) {
        for (const test::IsoinfoEntry& entry : root->second) {
            identifiers.insert(entry.identifier);
        }
    }
    return identifiers;
}

// A name given that the image's names cannot hold is written converted or cut. After the save the session shows the
// name written, as a fresh open and isoinfo do; a later save writes every tree's names as the first did.
TEST_F(SaveEdge, ANameWrittenOtherwiseThanGivenIsShownAsWritten)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "isoinfo");
    enum class Edit { Rename, NewFolder, Add };
    const std::string longName = std::string(70, 'n') + ".txt";
    const std::string cutName = std::string(60, 'n') + ".txt"; // 64 Joliet characters, the extension kept
    const struct {
        const char* what;
        const char* options; // genisoimage's
        NameSource shown;
        Edit edit;
        std::string given;
        std::string written;
        // isoinfo options and an identifier its listing of the root holds after each save.
        std::vector<std::pair<std::string, std::string>> listed;
        // Made by xorriso, beside a file whose name it cuts to 65 Joliet units (64 and the extension's dot).
        bool xorriso = false;
    } cases[]{
        {"ISO 9660 alone, renamed", "", NameSource::Automatic, Edit::Rename, "read me.txt", "READ_ME.TXT",
         {{"", "READ_ME.TXT;1"}}},
        {"ISO 9660 alone, a new folder", "", NameSource::Automatic, Edit::NewFolder, "new folder", "NEW_FOLD",
         {{"", "NEW_FOLD"}}},
        // ISO 9660:1999 takes the name as it is, as genisoimage gives its own.
        {"ISO 9660:1999, added", "-input-charset iso8859-1 -iso-level 4", NameSource::Automatic, Edit::Add,
         "My new file.txt", "My new file.txt", {{"", "My new file.txt"}}},
        {"Joliet, renamed long", "-J", NameSource::Automatic, Edit::Rename, longName, cutName,
         {{"-J", cutName}, {"", "NNNNNNNN.TXT;1"}}},
        {"Joliet, added long", "-J", NameSource::Automatic, Edit::Add, longName, cutName, {{"-J", cutName}}},
        // xorriso writes Rock Ridge too: its Joliet names are the ones shown here.
        {"Joliet by xorriso, added long", "-J", NameSource::Joliet, Edit::Add, longName, cutName, {{"-J", cutName}},
         true},
        {"Rock Ridge, renamed", "-J -R", NameSource::Automatic, Edit::Rename, "read me.txt", "read me.txt",
         {{"-R", "read me.txt"}, {"-J", "read me.txt"}}},
        // The other trees keep the given name through later saves.
        {"ISO 9660 names shown", "-J -R", NameSource::Iso, Edit::Rename, "read me.txt", "READ_ME.TXT",
         {{"", "READ_ME.TXT;1"}, {"-R", "read me.txt"}, {"-J", "read me.txt"}}},
        // The Rock Ridge name of a file the image holds, which the tree does not show: the new file's differs.
        {"ISO 9660 names shown, added as a file's Rock Ridge name", "-J -R", NameSource::Iso, Edit::Add, "a.txt",
         "A_1.TXT", {{"", "A_1.TXT;1"}, {"-R", "a.txt~1"}, {"-J", "a~1.txt"}}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        fs::remove_all(dir / "src");
        fs::remove(dir / "names.iso");
        std::string image;
        if (row.xorriso) {
            TARVELIN_REQUIRE_TOOL("xorriso");
            fs::create_directories(dir / "src");
            test::WriteWholeFile(dir / "src/a.txt", std::string("a\n"));
            test::WriteWholeFile(dir / ("src/" + std::string(70, 'x') + ".txt"), std::string("x\n"));
            image = dir / "names.iso";
            test::RunXorrisoMkisofs(dir / "src", image, row.options);
        } else {
            image = Made("names.iso", {{"a.txt", "a\n"}}, row.options);
        }
        test::EditHandle edit;
        ASSERT_TRUE(edit->Open(image.c_str()));
        edit->SetNameSource(row.shown);
        edit->LoadTree();
        DirNode* root = edit->GetRoot();
        DirNode* node = nullptr;
        switch (row.edit) {
        case Edit::Rename:
            node = edit->GetFirstChild(root);
            ASSERT_TRUE(edit->Rename(row.given.c_str(), node)) << edit->GetLastError();
            break;
        case Edit::NewFolder: node = edit->NewDirectory(row.given.c_str(), root); break;
        case Edit::Add:
            test::WriteWholeFile(dir / row.given, std::string("added\n"));
            node = edit->AddFile((dir / row.given).c_str(), root);
            break;
        }
        ASSERT_NE(node, nullptr) << edit->GetLastError();
        for (const char* later : {"", "later"}) {
            if (*later != '\0') {
                ASSERT_NE(edit->NewDirectory(later, root), nullptr) << edit->GetLastError();
            }
            ASSERT_EQ(test::SaveAndWait(edit.get()).finalValue, kSaveDone);
            ItemInfo info;
            ASSERT_TRUE(edit->GetItemInfo(node, info));
            EXPECT_EQ(info.name, row.written);
            // The save says which name it wrote where the given one could not be kept.
            std::string notices;
            for (std::uint32_t i = 0; i < edit->GetNoticeCount(); ++i) {
                notices += std::string(edit->GetNotice(i, nullptr)) + "\n";
            }
            EXPECT_EQ(notices.find("'/" + row.given + "' is named '" + row.written + "' in the image: its names cannot"
                                   " hold the name as given\n") != std::string::npos,
                      row.given != row.written)
                << notices;
            // A copy, since the session holds the image open.
            const std::string copy = dir / "copy.iso";
            fs::copy_file(image, copy, fs::copy_options::overwrite_existing);
            test::EditHandle fresh;
            ASSERT_TRUE(fresh->Open(copy.c_str())) << fresh->GetLastError();
            fresh->SetNameSource(row.shown);
            fresh->LoadTree();
            EXPECT_EQ(RootNames(edit.get()), RootNames(fresh.get()));
            for (const auto& [options, identifier] : row.listed) {
                EXPECT_EQ(IsoinfoRoot(image, options).count(identifier), 1u) << "isoinfo " << options << " " << later;
            }
        }
    }
}

} // namespace
} // namespace tarvelin
