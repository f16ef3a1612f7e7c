// The controller of the file list without any widget: a scripted host answers its questions. Properties saved into an
// image made by genisoimage and read back with isoinfo, names refused, a composition built as arranged, and the UDF
// tree of bridge images and of UDF alone.

#include "shell_fixtures.h"

#include "image_controller.h"
#include "record_model.h"

#include "edit/iso_edit.h"
#include "iso/iso_edit_test_support.h"
#include "support/fixtures.h"
#include "writer/build_test_support.h"
#include "writer/iso_build.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using fixture::IsoinfoPaths;
using fixture::WriteTree;

class ScriptedHost final : public IImageControllerHost {
public:
    platform::PromptAnswer Ask(const std::string& text, const std::string&, platform::PromptButtons,
                               platform::PromptIcon) override
    {
        told.push_back(text);
        return platform::PromptAnswer::Ok;
    }
    QString ChooseFile(const FileDialogSpec&) override { return {}; }
    QStringList ChooseFiles(const FileDialogSpec&) override { return {}; }
    QString ChooseFolder(const QString&) override { return {}; }
    // Cancelled.
    std::optional<std::string> AskName(const std::string&, const std::string&, const std::string&) override
    {
        return std::nullopt;
    }
    bool EditProperties(iso::VolumeProperties& properties) override
    {
        shown = properties;
        if (newProperties) {
            properties = *newProperties;
        }
        return newProperties.has_value();
    }
    void ListFolder(EntryRecord*) override {}
    void FoldersChanged(EntryRecord*) override {}
    void RevealFolder(EntryRecord*) override {}
    void ImageChanged() override {}
    void ContentsChanged() override {}
    std::optional<iso::VolumeProperties> newProperties;
    iso::VolumeProperties shown;
    std::vector<std::string> told;
};

EntryRecord* ChildNamed(EntryRecord& folder, const std::string& name)
{
    for (const auto& child : folder.children) {
        if (child->name == name) {
            return child.get();
        }
    }
    return nullptr;
}

class ImageControllerTest : public testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        TARVELIN_REQUIRE_TOOL("isoinfo");
        WriteTree(source_,
                  {{"small.txt", "small file\n"}, {"other.txt", "other file\n"}, {"docs/readme.txt", "readme\n"}});
        test::RunGenisoimage(source_, image_, "-J -r");
        ASSERT_TRUE(controller_.OpenImage(image_));
    }
    EntryRecord& Root() { return controller_.ImageRoot(); }
    test::TempDir dir_;
    std::string source_ = dir_ / "source";
    std::string image_ = dir_ / "source.iso";
    ScriptedHost host_;
    CImageController controller_{host_};
};

TEST_F(ImageControllerTest, NamesAndFailedDeletesAreRefusedWithTheReasonAndPropertiesAreSavedIntoBothDescriptors)
{
    const struct {
        std::string name;
        std::string told;
    } cases[]{
        {"OTHER.TXT", "The folder already holds an entry named 'other.txt'."},
        {"a/b", "'a/b' cannot name an entry: a name has no '/' and is not '.' or '..'."},
        {"..", "'..' cannot name an entry: a name has no '/' and is not '.' or '..'."},
        {"", "An entry needs a name: the name given is empty."},
    };
    for (const auto& refused : cases) {
        host_.told.clear();
        EXPECT_FALSE(controller_.Rename(ChildNamed(Root(), "small.txt"), refused.name)) << refused.name;
        EXPECT_EQ(controller_.MakeFolder(&Root(), refused.name), nullptr) << refused.name;
        EXPECT_EQ(host_.told, (std::vector<std::string>{refused.told, refused.told})) << refused.name;
    }
    // A delete that fails for every row (a row the image holds no entry for) says so and changes nothing.
    host_.told.clear();
    EntryRecord* ghost = Root().Append(std::make_unique<EntryRecord>());
    ghost->name = "ghost.txt";
    controller_.DeleteRecords({ghost});
    ASSERT_EQ(host_.told.size(), std::size_t{1});
    EXPECT_TRUE(host_.told[0].starts_with("These entries could not be deleted:\n'ghost.txt'")) << host_.told[0];
    EXPECT_TRUE(Root().Remove(ghost));
    EXPECT_FALSE(controller_.Modified());
    // A cancelled name or properties dialog changes nothing; the dialog is shown what genisoimage wrote.
    EXPECT_FALSE(controller_.RenameRecord(ChildNamed(Root(), "small.txt")));
    EXPECT_NE(ChildNamed(Root(), "small.txt"), nullptr);
    EXPECT_FALSE(controller_.EditProperties());
    EXPECT_FALSE(controller_.Modified());
    EXPECT_EQ(host_.shown.volumeIdentifier, "CDROM");
    EXPECT_TRUE(host_.shown.creationDate.has_value());
    // A new label changes the label alone: every other text and date of both descriptors keeps its bytes, such as
    // genisoimage's Joliet application text, which is not the primary's, and the creation date's zone.
    const auto descriptorBytes = [&] { return test::ReadFileRange(image_, std::uint64_t{16} * 2048, 2 * 2048); };
    const std::vector<std::uint8_t> unlabelled = descriptorBytes();
    iso::VolumeProperties relabelled = host_.shown;
    relabelled.volumeIdentifier = "RELABELLED";
    host_.newProperties = relabelled;
    ASSERT_TRUE(controller_.EditProperties());
    ASSERT_EQ(test::SaveAndWait(controller_.Edit()).finalValue, kSaveDone);
    controller_.SaveFinished(true);
    const std::vector<std::uint8_t> labelled = descriptorBytes();
    std::vector<std::size_t> changed;
    for (std::size_t at = 0; at < unlabelled.size(); ++at) {
        const std::size_t offset = at % 2048;
        // The label; what every save sets: the volume size, the path tables, the root's record, the modification date.
        const bool savedAnyway = (offset >= 40 && offset < 72) || (offset >= 80 && offset < 88)
            || (offset >= 132 && offset < 190) || (offset >= 830 && offset < 847);
        if (unlabelled[at] != labelled[at] && !savedAnyway) {
            changed.push_back(at);
        }
    }
    EXPECT_EQ(changed, std::vector<std::size_t>{});
    EXPECT_NE(test::RunForOutput("isoinfo -d -i " + test::ShellQuote(image_)).find("Volume id: RELABELLED\n"),
              std::string::npos);
    const std::vector<std::uint8_t> before = test::ReadFileRange(image_, std::uint64_t{16} * 2048, 2048);
    // Created 2001-02-03 04:05:06 UTC, as a file time.
    const platform::FileTime created = (std::uint64_t{981173106} * 1000) * 10000 + 116444736000000000;
    iso::VolumeProperties chosen;
    chosen.volumeIdentifier = "New_Label";
    chosen.publisherIdentifier = "Tarvelin Publisher";
    chosen.dataPreparerIdentifier = "The Preparer";
    chosen.applicationIdentifier = "An Application";
    chosen.creationDate = created;
    host_.newProperties = chosen;
    ASSERT_TRUE(controller_.EditProperties());
    EXPECT_TRUE(controller_.Modified());
    ASSERT_EQ(test::SaveAndWait(controller_.Edit()).finalValue, kSaveDone);
    controller_.SaveFinished(true);
    const std::string info = test::RunForOutput("isoinfo -d -i " + test::ShellQuote(image_));
    for (const char* line : {"Volume id: NEW_LABEL\n", "Publisher id: TARVELIN PUBLISHER\n",
                             "Data preparer id: THE PREPARER\n", "Application id: AN APPLICATION\n"}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << info;
    }
    const std::vector<std::uint8_t> after = test::ReadFileRange(image_, std::uint64_t{16} * 2048, 2048);
    const iso::VolumeProperties primary = iso::ReadVolumeProperties(after, false);
    EXPECT_EQ(primary.creationDate, created);
    // The Joliet descriptor keeps the case.
    bool sawJoliet = false;
    for (std::uint32_t sector = 17; sector < 20; ++sector) {
        const std::vector<std::uint8_t> bytes = test::ReadFileRange(image_, std::uint64_t{sector} * 2048, 2048);
        if (bytes[0] == 2) {
            sawJoliet = true;
            const iso::VolumeProperties joliet = iso::ReadVolumeProperties(bytes, true);
            EXPECT_EQ(joliet.volumeIdentifier, "New_Label");
            EXPECT_EQ(joliet.publisherIdentifier, "Tarvelin Publisher");
            EXPECT_EQ(joliet.creationDate, created);
        }
    }
    EXPECT_TRUE(sawJoliet);
    // System, volume set, copyright, abstract and bibliographic fields and the expiration and effective dates are as
    // they were.
    for (const auto& [from, to] : {std::pair{8, 40}, std::pair{190, 318}, std::pair{702, 813}, std::pair{847, 881}}) {
        EXPECT_TRUE(std::equal(before.begin() + from, before.begin() + to, after.begin() + from)) << from;
    }
}

// What an open survived is told once it is open: a damaged tree and raw sectors whose checks failed, in one message;
// reading the same image again (another choice of names) tells nothing more, an extraction that reads damaged data
// does, and so does a CUE sheet that names no data track. A sound image tells nothing.
// Deleting the folder that holds the boot image's file tells that the boot record still loads its data; deleting any
// other entry tells nothing.
TEST(BootFileDeleteTest, DeletingTheBootImagesFolderTellsThatItsDataStays)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    test::TempDir dir;
    WriteTree(dir / "source", {{"a.txt", "a\n"}, {"boot/loader.bin", std::string(6000, 'L')}});
    const std::string image = dir / "boot.iso";
    test::RunGenisoimage(dir / "source", image, "-J -r -b boot/loader.bin -c boot.cat -no-emul-boot");
    ScriptedHost host;
    CImageController controller(host);
    ASSERT_TRUE(controller.OpenImage(image));
    EntryRecord& root = controller.ImageRoot();
    controller.ShowFolder(&root);
    host.told.clear();
    controller.DeleteRecords({ChildNamed(root, "a.txt")});
    EXPECT_TRUE(host.told.empty()) << host.told.front();
    controller.DeleteRecords({ChildNamed(root, "boot")});
    ASSERT_EQ(host.told.size(), std::size_t{1});
    EXPECT_TRUE(host.told[0].starts_with("'loader.bin' is the image's boot image: the boot record still loads it"))
        << host.told[0];

    // A folder added in place of the boot image's folder tells the same, as what came of the replacement.
    WriteTree(dir / "disk", {{"boot/new.txt", "new\n"}});
    const std::string copy = dir / "copy.iso";
    std::filesystem::copy_file(image, copy);
    CImageController again(host);
    ASSERT_TRUE(again.OpenImage(copy));
    again.ShowFolder(&again.ImageRoot());
    host.told.clear();
    ASSERT_NE(again.AddEntry(dir / "disk/boot", &again.ImageRoot()), nullptr);
    ASSERT_EQ(host.told.size(), std::size_t{1});
    EXPECT_EQ(host.told[0].substr(0, host.told[0].find('\n')),
              "'" + (dir / "disk/boot") + "' was added in place of the entry of its name:");
    EXPECT_NE(host.told[0].find("\n'loader.bin' is the image's boot image"), std::string::npos) << host.told[0];
}

TEST_F(ImageControllerTest, DamageIsToldOnceAtOpenAndByTheExtractionThatReadsIt)
{
    EXPECT_TRUE(host_.told.empty());
    std::vector<std::uint8_t> bytes = test::ReadWholeFile(image_);
    std::uint32_t root = 0;
    std::memcpy(&root, bytes.data() + 16 * 2048 + 158, 4); // the root's extent, little-endian half
    std::size_t record = std::size_t{root} * 2048;
    record += bytes[record];
    record += bytes[record];
    bytes[record + 32] = 200; // the third record's name runs past the record
    const std::string damaged = dir_ / "damaged.iso";
    test::WriteWholeFile(damaged, bytes);
    const std::string raw = dir_ / "damaged.bin";
    test::MakeRawBin(damaged, raw, test::RawForm::Mode1);
    const auto data = std::search(bytes.begin(), bytes.end(), std::begin("small file"), std::end("small file") - 1);
    const auto dataSector = static_cast<std::size_t>(data - bytes.begin()) / 2048;
    bytes = test::ReadWholeFile(raw);
    for (const std::size_t sector : {std::size_t{root}, dataSector}) {
        bytes[sector * 2352 + 16 + 2048] ^= 1; // the sector's error detection code
    }
    test::WriteWholeFile(raw, bytes);

    ASSERT_TRUE(controller_.OpenImage(raw));
    ASSERT_EQ(host_.told.size(), 1u);
    EXPECT_NE(host_.told[0].find("The tree of this image is damaged: 1 malformed records skipped."), std::string::npos)
        << host_.told[0];
    EXPECT_NE(host_.told[0].find("sector " + std::to_string(root) + " is damaged"), std::string::npos)
        << host_.told[0];
    controller_.ReloadWithChoice(TreeChoice::Iso, false);
    controller_.ReloadWithChoice(TreeChoice::Automatic, false);
    EXPECT_EQ(host_.told.size(), 1u);
    // A file whose data is damaged comes out as stored, and that is told too.
    EntryRecord* small = ChildNamed(Root(), "small.txt");
    ASSERT_NE(small, nullptr);
    EXPECT_TRUE(controller_.ExtractImageRecord(*small, dir_ / "out"));
    EXPECT_EQ(test::ReadWholeFile(dir_ / "out/small.txt").size(), 11u);
    ASSERT_EQ(host_.told.size(), 2u);
    EXPECT_EQ(host_.told[1].rfind("Everything was extracted, but 2 sectors are damaged, the first sector "
                                  + std::to_string(std::min<std::size_t>(root, dataSector)), 0),
              0u)
        << host_.told[1];
    // A sheet that calls the file an audio track opens it all the same, and says so.
    const std::string sheet = dir_ / "damaged.cue";
    test::WriteWholeFile(sheet, std::string("FILE \"damaged.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"));
    ASSERT_TRUE(controller_.OpenImage(sheet));
    ASSERT_EQ(host_.told.size(), 3u);
    EXPECT_NE(host_.told[2].find("The CUE sheet '" + sheet + "' names no data track"), std::string::npos)
        << host_.told[2];
}

// A file added over a name replaces what the image's rule on names says it replaces: with Rock Ridge the one of that
// exact name; without it that one too if there, else the first whose name differs in case alone (a Joliet tree's
// "readme" beside "README" is another file and stays). The records are those of the entries left.
TEST(ReplacingAddTest, TheRecordsLeftAreTheEntriesTheImageHolds)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TARVELIN_REQUIRE_TOOL("isoinfo");
    test::TempDir dir;
    WriteTree(dir.Path(), {{"tree/readme", "lower\n"}, {"tree/README", "upper\n"}, {"new/README", "new\n"}});
    for (const auto& [options, left] : {std::pair<std::string, std::vector<std::string>>{"-J", {"/README", "/readme"}},
                                        {"-J -r", {"/README", "/readme"}}}) {
        SCOPED_TRACE(options);
        const std::string image = dir / "case.iso";
        fs::remove(image);
        test::RunGenisoimage(dir / "tree", image, options);
        ScriptedHost host;
        CImageController controller(host);
        ASSERT_TRUE(controller.OpenImage(image));
        ASSERT_NE(controller.AddEntry(dir / "new/README", &controller.ImageRoot()), nullptr);
        std::vector<std::string> records;
        for (const auto& child : controller.ImageRoot().children) {
            records.push_back("/" + child->name);
        }
        std::sort(records.begin(), records.end());
        EXPECT_EQ(records, left);
        ASSERT_EQ(test::SaveAndWait(controller.Edit()).finalValue, kSaveDone);
        EXPECT_EQ(IsoinfoPaths(image, "-J -f"), left);
        EXPECT_TRUE(host.told.empty()) << host.told.front();
    }
}

// A composition is built as the user arranged it, not as its folders lie on disk: entries renamed, made, deleted from
// an added folder and added into one, with the properties chosen.
// A name the image cannot hold as given is saved converted (ISO 9660 alone) or cut (Joliet); after the save the rows
// show the names the image holds, as the image opened again does.
TEST(SavedNamesTest, TheRowsShowTheNamesTheSaveWrote)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    test::TempDir dir;
    WriteTree(dir.Path(), {{"tree/a.txt", "a\n"}});
    const std::string longName = std::string(70, 'n') + ".txt";
    const struct {
        std::string options, given, written, folder, folderWritten;
    } cases[]{
        {"", "read me.txt", "READ_ME.TXT", "new folder", "NEW_FOLD"},
        {"-J", longName, std::string(60, 'n') + ".txt", "new folder", "new folder"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.options);
        const std::string image = dir / "names.iso";
        fs::remove(image);
        test::RunGenisoimage(dir / "tree", image, row.options);
        ScriptedHost host;
        CImageController controller(host);
        ASSERT_TRUE(controller.OpenImage(image));
        ASSERT_EQ(controller.ImageRoot().children.size(), std::size_t{1});
        EntryRecord* file = controller.ImageRoot().children.front().get();
        ASSERT_TRUE(controller.Rename(file, row.given));
        EntryRecord* folder = controller.MakeFolder(&controller.ImageRoot(), row.folder);
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(file->name, row.given);
        ASSERT_EQ(test::SaveAndWait(controller.Edit()).finalValue, kSaveDone);
        controller.SaveFinished(true);
        EXPECT_EQ(file->name, row.written);
        EXPECT_EQ(file->path, row.written);
        EXPECT_EQ(folder->name, row.folderWritten);
        ASSERT_TRUE(controller.OpenImage(image));
        EXPECT_NE(ChildNamed(controller.ImageRoot(), row.written), nullptr);
        EXPECT_NE(ChildNamed(controller.ImageRoot(), row.folderWritten), nullptr);
    }
}

TEST(CompositionBuildTest, TheImageHoldsTheCompositionAsArranged)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    test::TempDir dir;
    const std::string tree = dir / "tree";
    WriteTree(dir.Path(), {{"tree/keep.txt", "kept\n"},
                           {"tree/drop.txt", "dropped\n"},
                           {"tree/sub/old.txt", "renamed inside\n"},
                           {"loose.txt", "added into a folder from disk\n"},
                           {"top.txt", "renamed at the top\n"}});
    ScriptedHost host;
    CImageController controller(host);
    EntryRecord& root = controller.ComposeRoot();
    EntryRecord* folder = controller.AddEntry(tree, &root);
    ASSERT_NE(folder, nullptr);
    EntryRecord* top = controller.AddEntry(dir / "top.txt", &root);
    ASSERT_NE(top, nullptr);
    EntryRecord* sub = ChildNamed(*folder, "sub");
    ASSERT_NE(sub, nullptr);
    ASSERT_NE(controller.AddEntry(dir / "loose.txt", sub), nullptr);
    ASSERT_TRUE(controller.Rename(ChildNamed(*sub, "old.txt"), "new.txt"));
    ASSERT_TRUE(controller.Rename(top, "first.txt"));
    EXPECT_FALSE(controller.Rename(top, "tree")) << "a name the folder already holds";
    EXPECT_FALSE(controller.Rename(top, std::string(256, 'n'))) << "a name longer than the image's edits take";
    EntryRecord* made = controller.MakeFolder(&root, "made");
    ASSERT_NE(made, nullptr);
    ASSERT_NE(controller.AddEntry(dir / "loose.txt", made), nullptr);
    controller.ShowFolder(folder);
    controller.DeleteRecords({ChildNamed(*folder, "drop.txt")});
    iso::VolumeProperties chosen;
    chosen.volumeIdentifier = "ARRANGED";
    chosen.publisherIdentifier = "Tarvelin tests";
    host.newProperties = chosen;
    ASSERT_TRUE(controller.EditProperties());
    const std::string image = dir / "arranged.iso";
    test::Held<IIsoBuild> builder(NEW_ISOBUILDNEW());
    ASSERT_TRUE(builder->SetOutput(image.c_str(), kBuildIsoAndJoliet));
    std::vector<std::string> failures;
    ASSERT_TRUE(controller.FillBuild(*builder.get(), failures)) << failures.front();
    test::ProgressLog log;
    log.destroyInCallback = builder.release();
    ASSERT_TRUE(log.destroyInCallback->StartBuild(&log, &test::ProgressLog::Callback));
    ASSERT_TRUE(log.Wait());
    ASSERT_EQ(log.Values().back(), kBuildDone) << log.errorAtEnd;
    const std::vector<std::string> expected{"/first.txt", "/made", "/made/loose.txt", "/tree", "/tree/keep.txt",
                                            "/tree/sub", "/tree/sub/loose.txt", "/tree/sub/new.txt"};
    EXPECT_EQ(IsoinfoPaths(image, "-R -f"), expected);
    EXPECT_EQ(IsoinfoPaths(image, "-J -f"), expected);
    const std::string descriptors = test::RunForOutput("isoinfo -d -i " + test::ShellQuote(image));
    EXPECT_NE(descriptors.find("Volume id: ARRANGED"), std::string::npos) << descriptors;
    EXPECT_NE(descriptors.find("Publisher id: TARVELIN TESTS"), std::string::npos) << descriptors;
    EXPECT_EQ(test::RunForOutput("isoinfo -R -x /tree/sub/new.txt -i " + test::ShellQuote(image)), "renamed inside\n");
}

// The UDF tree of an image. Automatic keeps the ISO 9660 tree of a bridge image (ours and genisoimage's record each
// file once for both trees), the UDF Tree choice shows the UDF side read-only, and an image of UDF alone shows it
// whatever the choice.
TEST(UdfTreeTest, BridgeImagesKeepTheIsoTreeAndShowTheUdfTreeWhenChosen)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    TARVELIN_REQUIRE_TOOL("mkudffs");
    test::TempDir dir;
    const std::vector<std::uint8_t> inner = test::RandomBytes(5000, 7);
    WriteTree(dir / "source", {{"Long Folder Name/inner file.txt", fixture::Text(inner)}, {"top.txt", "top\n"}});
    const std::string source = test::ShellQuote(dir / "source");
    const struct {
        const char* image;
        std::string make;
        bool isoTree;
    } cases[]{
        {"ours.iso", test::ShellQuote(TARVELIN_CLI_PATH) + " build " + test::ShellQuote(dir / "ours.iso") + " "
                         + test::ShellQuote(dir / "source/Long Folder Name") + " " + test::ShellQuote(dir / "source/top.txt")
                         + " --udf",
         true},
        {"genisoimage.iso", "genisoimage -quiet -udf -J -R -o " + test::ShellQuote(dir / "genisoimage.iso") + " " + source,
         true},
        {"alone.img", "mkudffs --blocksize=2048 --media-type=hd " + test::ShellQuote(dir / "alone.img") + " 3000", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const test::CommandResult made = test::RunCommand(c.make);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        ScriptedHost host;
        CImageController controller(host);
        EntryRecord& root = controller.ImageRoot();
        ASSERT_TRUE(controller.OpenImage(dir / c.image)) << (host.told.empty() ? "" : host.told.back());
        EXPECT_TRUE(controller.HasUdfTree());
        EXPECT_EQ(controller.ShowsUdfTree(), !c.isoTree);
        EXPECT_EQ(controller.Edit() != nullptr, c.isoTree);
        if (!c.isoTree) {
            EXPECT_TRUE(root.children.empty());
            EXPECT_EQ(controller.MakeFolder(&root, "made"), nullptr);
            ASSERT_EQ(host.told.size(), std::size_t{1});
            EXPECT_NE(host.told[0].find("UDF file system alone"), std::string::npos) << host.told[0];
            continue;
        }
        // The ISO 9660 tree, bound to the facade for editing.
        ASSERT_FALSE(root.children.empty());
        EXPECT_NE(controller.NodeOf(root.children.front().get()), nullptr);
        controller.ReloadWithChoice(TreeChoice::Udf, false);
        ASSERT_TRUE(controller.ShowsUdfTree());
        EXPECT_EQ(controller.NodeOf(root.children.front().get()), nullptr);
        EntryRecord* folder = ChildNamed(root, "Long Folder Name");
        ASSERT_NE(folder, nullptr);
        ASSERT_NE(ChildNamed(root, "top.txt"), nullptr);
        EntryRecord* file = ChildNamed(*folder, "inner file.txt");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->size, inner.size());
        const std::string out = dir / (std::string("out-") + c.image);
        ASSERT_TRUE(controller.ExtractImageRecord(*folder, out));
        EXPECT_EQ(test::ReadWholeFile(out + "/Long Folder Name/inner file.txt"), inner);
        // Every edit is refused, saying how to edit instead.
        controller.ShowFolder(folder);
        EXPECT_FALSE(controller.Rename(file, "renamed.txt"));
        EXPECT_EQ(controller.MakeFolder(folder, "made"), nullptr);
        controller.DeleteRecords({file});
        EXPECT_FALSE(controller.EditProperties());
        EXPECT_EQ(controller.AddEntry(dir / "source/top.txt", folder), nullptr);
        ASSERT_EQ(host.told.size(), std::size_t{5});
        for (const std::string& told : host.told) {
            EXPECT_EQ(told, host.told[0]);
        }
        EXPECT_NE(host.told[0].find("The UDF tree is read-only here"), std::string::npos) << host.told[0];
        EXPECT_NE(host.told[0].find("View menu"), std::string::npos) << host.told[0];
        EXPECT_EQ(ChildNamed(*folder, "inner file.txt"), file);
        EXPECT_FALSE(controller.Modified());
        // Back in the ISO 9660 tree, the folder shown is kept by its name.
        controller.ReloadWithChoice(TreeChoice::Automatic, false);
        EXPECT_FALSE(controller.ShowsUdfTree());
        ASSERT_NE(controller.CurrentFolder(), &root);
        EXPECT_NE(controller.NodeOf(controller.CurrentFolder()), nullptr);
    }
}

// A file of 4 GiB or more is in the UDF tree only of the images our build makes: Automatic shows that tree, whose
// listing and extraction hold the whole file.
TEST(UdfTreeTest, FilesInTheUdfTreeOnlyAreShownByDefaultAndExtractedWhole)
{
    test::TempDir dir;
    TARVELIN_REQUIRE(fs::space(dir.Path()).available > (std::uint64_t{10} << 30),
                     "10 GB of free space in " + dir.Path());
    const std::uint64_t size = (std::uint64_t{9} << 29) + 1234; // 4.5 GiB and a bit
    const std::vector<std::uint8_t> first = test::RandomBytes(1 << 20, 41);
    const std::vector<std::uint8_t> last = test::RandomBytes(1 << 20, 42);
    fs::create_directories(dir / "src");
    test::WriteSparseFile(dir / "src/huge.bin", first, size - last.size());
    {
        std::ofstream file(dir / "src/huge.bin", std::ios::binary | std::ios::app);
        file.write(reinterpret_cast<const char*>(last.data()), static_cast<std::streamsize>(last.size()));
        ASSERT_TRUE(file.good());
    }
    test::WriteWholeFile(dir / "src/small.txt", std::string("beside it\n"));
    const std::string image = dir / "big.iso";
    const test::CommandResult built = test::RunCommand(test::ShellQuote(TARVELIN_CLI_PATH) + " build "
                                                       + test::ShellQuote(image) + " " + test::ShellQuote(dir / "src")
                                                       + " --udf");
    ASSERT_EQ(built.exitCode, 0) << built.output;
    fs::remove(dir / "src/huge.bin");
    ScriptedHost host;
    CImageController controller(host);
    ASSERT_TRUE(controller.OpenImage(image));
    EXPECT_EQ(controller.ChosenTree(), TreeChoice::Automatic);
    EXPECT_TRUE(controller.ShowsUdfTree());
    EntryRecord* folder = ChildNamed(controller.ImageRoot(), "src");
    ASSERT_NE(folder, nullptr);
    EntryRecord* huge = ChildNamed(*folder, "huge.bin");
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(huge->size, size);
    EXPECT_EQ(RecordListModel::CellText(*huge, RecordListModel::SizeColumn), "4.5 GB");
    EXPECT_FALSE(controller.RenameRecord(huge));
    ASSERT_EQ(host.told.size(), std::size_t{1});
    EXPECT_NE(host.told[0].find("read-only"), std::string::npos) << host.told[0];
    const std::string out = dir / "out";
    ASSERT_TRUE(controller.ExtractImageRecord(*huge, out)) << (host.told.empty() ? "" : host.told.back());
    ASSERT_EQ(fs::file_size(out + "/huge.bin"), size);
    EXPECT_EQ(test::ReadFileRange(out + "/huge.bin", 0, first.size()), first);
    EXPECT_EQ(test::ReadFileRange(out + "/huge.bin", size - last.size(), last.size()), last);
    EXPECT_EQ(test::ReadFileRange(out + "/huge.bin", std::uint64_t{4} << 30, 4096), std::vector<std::uint8_t>(4096, 0));
    fs::remove(out + "/huge.bin");
    // The ISO 9660 tree holds the small file alone.
    controller.ReloadWithChoice(TreeChoice::Joliet, false);
    EXPECT_FALSE(controller.ShowsUdfTree());
    folder = ChildNamed(controller.ImageRoot(), "src");
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(ChildNamed(*folder, "huge.bin"), nullptr);
    EXPECT_NE(ChildNamed(*folder, "small.txt"), nullptr);
}

} // namespace
} // namespace tarvelin::shell
