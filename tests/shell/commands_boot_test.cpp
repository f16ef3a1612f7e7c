// The boot image commands round-tripping a diskette-sized boot image through
// an image, their messages, the copy of a floppy, help links, "Save
// changes?" before an opened image is dropped, and drag and drop.

#include "command_helpers.h"

#include "commands.h"
#include "user_guide.h"

#include "capture/floppy.h"
#include "capture/unread_sectors.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <filesystem>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using namespace test_commands;

constexpr std::size_t kFloppyBytes = 1474560;

class BootCommandsTest : public testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        fs::create_directories(source_ + "/docs");
        test::WriteWholeFile(source_ + "/readme.txt", std::string("read me\n"));
        test::WriteWholeFile(source_ + "/docs/notes.txt", test::RandomBytes(4000, 4));
        test::RunGenisoimage(source_, image_, "-J -r");
        test::WriteWholeFile(bootFile_, test::RandomBytes(kFloppyBytes, 5));
        frame_.show();
        QApplication::processEvents();
    }

    CTarvelinView& List() { return *frame_.GetRightPane(); }

    void SaveAndWait()
    {
        frame_.RunCommand(ID_FILE_SAVEISO);
        ASSERT_TRUE(List().IsSaving());
        ASSERT_TRUE(WaitIdle(List()));
    }

    test::TempDir dir_;
    std::string source_ = dir_ / "source";
    std::string image_ = dir_ / "source.iso";
    std::string bootFile_ = dir_ / "floppy.img";
    ScriptedPrompt prompt_;
    ScriptedServices services_;
    CMainFrame frame_;
};

TEST_F(BootCommandsTest, ABootImageLoadedSavedAndReopenedSavesBackTheSameBytesAndCanBeDeleted)
{
    ASSERT_TRUE(List().OpenImage(image_));
    EXPECT_FALSE(List().Bootable());
    // Loaded twice into the root: the folder holds the file once.
    services_.SetChoices({bootFile_, bootFile_});
    frame_.RunCommand(ID_BOOT_LOAD);
    frame_.RunCommand(ID_BOOT_LOAD);
    ASSERT_EQ(services_.FileDialogs().size(), std::size_t{2});
    EXPECT_EQ(services_.FileDialogs()[0].filter, "(*.image)|*.image |(*.*)|*.*|All files (*)|*||");
    EXPECT_FALSE(services_.FileDialogs()[0].save);
    std::vector<std::string> names = RowNames(List());
    EXPECT_EQ(std::count(names.begin(), names.end(), "floppy.img"), 1);
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;
    SaveAndWait();
    EXPECT_TRUE(prompt_.asked.empty()) << prompt_.asked.front().text;

    ASSERT_TRUE(List().OpenImage(image_));
    EXPECT_TRUE(List().Bootable());
    names = RowNames(List());
    EXPECT_EQ(std::count(names.begin(), names.end(), "floppy.img"), 1);
    // Saved over a file that is there, which it replaces; into a folder that
    // is not, which says why and makes nothing.
    const std::string saved = dir_ / "saved.image";
    test::WriteWholeFile(saved, std::string("an older file"));
    services_.SetChoices({saved});
    frame_.RunCommand(ID_BOOT_SAVE);
    EXPECT_TRUE(services_.FileDialogs().back().save);
    EXPECT_EQ(test::ReadWholeFile(saved), test::ReadWholeFile(bootFile_));
    services_.SetChoices({dir_ / "missing/saved.image"});
    frame_.RunCommand(ID_BOOT_SAVE);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_NE(prompt_.asked[0].text.find("could not be written"), std::string::npos) << prompt_.asked[0].text;
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    prompt_.asked.clear();
    if (test::ToolAvailable("isoinfo")) {
        const std::string info = test::RunForOutput("isoinfo -d -i " + test::ShellQuote(image_));
        EXPECT_NE(info.find("El Torito"), std::string::npos) << info;
    }

    frame_.RunCommand(ID_BOOT_DELETE);
    EXPECT_TRUE(prompt_.asked.empty());
    SaveAndWait();
    ASSERT_TRUE(List().OpenImage(image_));
    EXPECT_FALSE(List().Bootable());
}

TEST_F(BootCommandsTest, WithoutABootableImageTheCommandsSayWhyWithTheirOwnCaptions)
{
    // Composing: nothing is open.
    frame_.RunCommand(ID_BOOT_SAVE);
    frame_.RunCommand(ID_BOOT_DELETE);
    services_.SetChoices({bootFile_});
    prompt_.answers["Couldn't Load"] = platform::PromptAnswer::No;
    frame_.RunCommand(ID_BOOT_LOAD);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{3});
    EXPECT_EQ(prompt_.asked[0].text, "You should open ISO first");
    EXPECT_EQ(prompt_.asked[0].caption, "Warning Information");
    EXPECT_EQ(prompt_.asked[1].text, "You should open ISO first");
    EXPECT_EQ(prompt_.asked[1].caption, "Warning Infor");
    EXPECT_EQ(prompt_.asked[2].text, "Couldn't Load Bootable Infomation");
    EXPECT_EQ(prompt_.asked[2].caption, "Warning MessageBox");
    EXPECT_EQ(prompt_.asked[2].buttons, platform::PromptButtons::YesNo);
    EXPECT_TRUE(List().ComposeRoot().children.empty());

    // An image without a boot record.
    prompt_.asked.clear();
    ASSERT_TRUE(List().OpenImage(image_));
    frame_.RunCommand(ID_BOOT_SAVE);
    frame_.RunCommand(ID_BOOT_DELETE);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{2});
    for (const Asked& asked : prompt_.asked) {
        EXPECT_EQ(asked.text, "The Image File is not bootable File");
        EXPECT_EQ(asked.caption, "Warning Information");
    }
    EXPECT_TRUE(services_.FileDialogs().size() == 1);
}

TEST_F(BootCommandsTest, AFloppyIsCopiedIntoTheChosenFile)
{
    const std::string target = dir_ / "made.image";
    List().SetFloppyDevice(bootFile_);
    services_.SetChoices({target});
    frame_.RunCommand(ID_BOOT_FROMFLOPPY);
    EXPECT_EQ(services_.FileDialogs().back().defaultSuffix.toStdString(), "image");
    EXPECT_TRUE(services_.FileDialogs().back().save);
    ASSERT_TRUE(WaitFor([this] { return !List().IsMakingBootImage(); }));
    EXPECT_EQ(test::ReadWholeFile(target), test::ReadWholeFile(bootFile_));
    EXPECT_TRUE(prompt_.asked.empty());

    // Two sectors cannot be read; all bad sectors are ignored and the image
    // is made with them zero, which the user is told.
    static constexpr auto badSectors = [](std::uint32_t index) { return index == 30 || index == 31; };
    const FloppyReadFault before = SetFloppyReadFault(badSectors);
    prompt_.answers["Read error"] = platform::PromptAnswer::Ignore;
    services_.SetChoices({target});
    frame_.RunCommand(ID_BOOT_FROMFLOPPY);
    ASSERT_TRUE(WaitFor([this] { return !List().IsMakingBootImage(); }));
    SetFloppyReadFault(before);
    ASSERT_FALSE(prompt_.asked.empty());
    EXPECT_EQ(prompt_.asked.back().text, capture::DescribeUnreadSectors({30, 31}));
    std::vector<std::uint8_t> expected = test::ReadWholeFile(bootFile_);
    std::fill(expected.begin() + 30 * 512, expected.begin() + 32 * 512, 0);
    EXPECT_EQ(test::ReadWholeFile(target), expected);
    prompt_.asked.clear();

    // No device to read: the maker says so and holds nothing.
    List().SetFloppyDevice(dir_ / "no-such-device");
    services_.SetChoices({dir_ / "other.image"});
    frame_.RunCommand(ID_BOOT_FROMFLOPPY);
    EXPECT_FALSE(List().IsMakingBootImage());
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_TRUE(prompt_.asked[0].text.starts_with("Can not open floppy!")) << prompt_.asked[0].text;
}

TEST_F(BootCommandsTest, HelpFindsTheGuideBesideTheProgramAndSaysWhenItIsMissing)
{
    // Installed (bin/ beside share/doc/tarvelin/guide) or in the build tree
    // (guide/ beside the program); neither in another folder.
    const std::string bin = dir_ / "prefix/bin";
    const std::string installed = dir_ / "prefix/share/doc/tarvelin/guide/index.html";
    const std::string built = dir_ / "build/guide/index.html";
    fs::create_directories(bin);
    fs::create_directories(fs::path(installed).parent_path());
    fs::create_directories(fs::path(built).parent_path());
    test::WriteWholeFile(installed, std::string("<html></html>"));
    test::WriteWholeFile(built, std::string("<html></html>"));
    EXPECT_EQ(UserGuideAt(QString::fromStdString(bin)).toStdString(), installed);
    EXPECT_EQ(UserGuideAt(QString::fromStdString(dir_ / "build")).toStdString(), built);
    EXPECT_TRUE(UserGuideAt(QString::fromStdString(dir_ / "prefix")).isEmpty());

    // This test program has no guide beside it: each Help command says where
    // it was looked for, and nothing is opened.
    QString lookedFor;
    ASSERT_TRUE(UserGuide(&lookedFor).isEmpty());
    for (int id : {ID_HELP_CONTENTS, ID_HELP_HOMEPAGE, ID_HELP_SUPPORT}) {
        prompt_.asked.clear();
        frame_.RunCommand(id);
        ASSERT_EQ(prompt_.asked.size(), std::size_t{1}) << id;
        EXPECT_EQ(prompt_.asked[0].text, "The help file " + lookedFor.toStdString() + " was not found.") << id;
    }
    EXPECT_TRUE(services_.Opened().empty());
}

TEST_F(BootCommandsTest, UnsavedEditsAreAskedAboutBeforeNewOpenAndClose)
{
    ASSERT_TRUE(List().OpenImage(image_));
    const auto edit = [this] {
        SelectNamed(List(), {"readme.txt"});
        frame_.RunCommand(ID_ACTIONS_DELETE);
        ASSERT_TRUE(List().Modified());
    };
    edit();
    // Cancel: nothing happens.
    prompt_.answers["Save changes?"] = platform::PromptAnswer::Cancel;
    frame_.RunCommand(ID_FILE_NEWISO);
    ASSERT_EQ(prompt_.asked.size(), std::size_t{1});
    EXPECT_EQ(prompt_.asked[0].text, "Save changes?");
    EXPECT_EQ(prompt_.asked[0].buttons, platform::PromptButtons::YesNoCancel);
    EXPECT_FALSE(List().ImageRoot().children.empty());
    EXPECT_FALSE(frame_.close());
    EXPECT_TRUE(frame_.isVisible());

    // No: the edit is dropped, the image file keeps its entry.
    prompt_.answers["Save changes?"] = platform::PromptAnswer::No;
    frame_.RunCommand(ID_FILE_NEWISO);
    EXPECT_TRUE(List().ImageRoot().children.empty());
    ASSERT_TRUE(List().OpenImage(image_));
    EXPECT_GE(RowNamed(List(), "readme.txt"), 0);

    // Yes on Open: the save ends first, then the file dialog comes.
    edit();
    prompt_.answers["Save changes?"] = platform::PromptAnswer::Yes;
    services_.SetChoices({image_});
    frame_.RunCommand(ID_FILE_OPENISO);
    EXPECT_TRUE(services_.FileDialogs().empty());
    ASSERT_TRUE(WaitFor([this] { return !services_.FileDialogs().empty() && !List().IsBusy(); }));
    EXPECT_EQ(RowNamed(List(), "readme.txt"), -1);
    EXPECT_FALSE(List().Modified());

    // Yes on closing the window: it closes once the save has ended.
    SelectNamed(List(), {"docs"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_FALSE(frame_.close());
    EXPECT_TRUE(List().IsSaving());
    ASSERT_TRUE(WaitFor([this] { return !frame_.isVisible(); }));
    ASSERT_TRUE(List().OpenImage(image_));
    EXPECT_EQ(RowNames(List()).size(), std::size_t{0});
}

void Drop(QWidget* target, const QList<QUrl>& urls)
{
    QMimeData data;
    data.setUrls(urls);
    const QPointF at(10, 10);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
}

TEST_F(BootCommandsTest, FilesDroppedOnTheListAreAddedAndRowsDraggedOutAreFilesOnDisk)
{
    // Composing: a file and a folder dropped become records.
    QWidget* viewport = List().DetailsView()->viewport();
    Drop(viewport, {QUrl::fromLocalFile(QString::fromStdString(bootFile_)),
                    QUrl::fromLocalFile(QString::fromStdString(source_ + "/docs"))});
    EXPECT_EQ(List().ComposeRoot().children.size(), std::size_t{2});
    EXPECT_GE(RowNamed(List(), "docs"), 0);
    EXPECT_GE(RowNamed(List(), "floppy.img"), 0);

    // An opened image: the dropped file goes into it, bound to its entry.
    ASSERT_TRUE(List().OpenImage(image_));
    Drop(viewport, {QUrl::fromLocalFile(QString::fromStdString(bootFile_))});
    EXPECT_TRUE(List().Modified());
    const int row = RowNamed(List(), "floppy.img");
    ASSERT_GE(row, 0);
    EXPECT_TRUE(List().NodeMap().contains(List().Model().RecordAt(row)));

    // Rows dragged out carry file URLs of the extracted entries.
    QModelIndexList rows{List().Model().index(row, 0), List().Model().index(RowNamed(List(), "docs"), 0)};
    std::unique_ptr<QMimeData> dragged(List().Model().mimeData(rows));
    ASSERT_NE(dragged, nullptr);
    ASSERT_EQ(dragged->urls().size(), 2);
    std::vector<std::string> files;
    for (const QUrl& url : dragged->urls()) {
        files.push_back(url.toLocalFile().toStdString());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(fs::path(files[1]).filename(), "floppy.img");
    EXPECT_EQ(test::ReadWholeFile(files[1]), test::ReadWholeFile(bootFile_));
    EXPECT_EQ(test::ReadWholeFile(files[0] + "/notes.txt"), test::ReadWholeFile(source_ + "/docs/notes.txt"));
    fs::remove_all(fs::path(files[0]).parent_path());
    EXPECT_TRUE(prompt_.asked.empty());
}

} // namespace
} // namespace tarvelin::shell
