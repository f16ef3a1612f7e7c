// The folder tree and the file list over a real image made by genisoimage:
// opening, a second open, failures, double-click, sorting, Select All and
// the type names; and the View menu's choice of the names an image made by
// xorriso shows, checked against isoinfo's reading of each name set.

#include "command_helpers.h"
#include "commands.h"
#include "left_view.h"
#include "main_frame.h"
#include "recent_files.h"
#include "tarvelin_view.h"

#include "platform/prompt.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTreeView>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace tarvelin::shell {
namespace {

using test_commands::RowNames;
using test_commands::RowNamed;
using test_commands::ScriptedPrompt;
using test_commands::SelectNamed;
using test_commands::WaitIdle;

void WriteFile(const std::string& path, std::size_t size)
{
    test::WriteWholeFile(path, std::string(size, 'x'));
}

std::set<std::string> TreeFolders(const QTreeWidgetItem* item)
{
    std::set<std::string> names;
    for (int i = 0; i < item->childCount(); ++i) {
        names.insert(item->child(i)->text(0).toStdString());
    }
    return names;
}

class ViewsTest : public testing::Test {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        namespace fs = std::filesystem;
        const std::string first = dir_ / "first";
        fs::create_directories(first + "/docs/inner");
        fs::create_directories(first + "/music");
        WriteFile(first + "/big.dat", 100);
        WriteFile(first + "/mid.txt", 20);
        WriteFile(first + "/small.abc", 3);
        WriteFile(first + "/docs/readme.txt", 5);
        WriteFile(first + "/docs/notes.txt", 7);
        WriteFile(first + "/docs/inner/deep.bin", 9);
        test::MakeIsoWithGenisoimage(first, firstImage_);

        const std::string second = dir_ / "second";
        fs::create_directories(second + "/other");
        WriteFile(second + "/only.txt", 11);
        test::MakeIsoWithGenisoimage(second, secondImage_);

        frame_.show();
        QApplication::processEvents();
    }

    CTarvelinView& List() { return *frame_.GetRightPane(); }
    CLeftView& Tree() { return *frame_.GetLeftPane(); }

    test::TempDir dir_;
    std::string firstImage_ = dir_ / "first.iso";
    std::string secondImage_ = dir_ / "second.iso";
    CMainFrame frame_;
};

TEST_F(ViewsTest, AnOpenedImageListsItsRootFoldersInTheTreeAndItsRootEntriesAndASecondOpenReplacesIt)
{
    ScriptedPrompt prompt;
    ASSERT_TRUE(List().OpenImage(firstImage_));
    EXPECT_TRUE(prompt.asked.empty());
    EXPECT_TRUE(List().ImageMode());
    EXPECT_FALSE(List().Bootable());
    EXPECT_EQ(List().CurrentFolder(), &List().ImageRoot());

    const QTreeWidgetItem* root = Tree().topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(Tree().topLevelItemCount(), 1);
    EXPECT_EQ(root->text(0).toStdString(), "Tarvelin");
    EXPECT_EQ(TreeFolders(root), (std::set<std::string>{"docs", "music"}));

    // The first listing is by name, folders first, with the header's arrow
    // on the name column.
    EXPECT_EQ(RowNames(List()), (std::vector<std::string>{"docs", "music", "big.dat", "mid.txt", "small.abc"}));
    const QHeaderView* header = List().DetailsView()->header();
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), static_cast<int>(RecordListModel::FileNameColumn));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    EXPECT_EQ(RecordListModel::CellText(*List().Model().RecordAt(RowNamed(List(), "big.dat")), RecordListModel::SizeColumn),
              "100 bytes");
    // Every record is bound to its node, the root included.
    EXPECT_EQ(List().NodeMap().size(), std::size_t{1 + 5 + 3 + 1});
    EXPECT_EQ(RecentFileList::Paths().front().toStdString(), std::filesystem::absolute(firstImage_).string());

    // A second open replaces the first completely.
    ASSERT_TRUE(List().OpenImage(secondImage_));
    EXPECT_EQ(TreeFolders(Tree().topLevelItem(0)), std::set<std::string>{"other"});
    EXPECT_EQ(Tree().topLevelItemCount(), 1);
    EXPECT_EQ(test_commands::RowNameSet(List()), (std::set<std::string>{"only.txt", "other"}));
    EXPECT_EQ(List().ImageRoot().children.size(), std::size_t{2});
    EXPECT_EQ(List().NodeMap().size(), std::size_t{3});
}

TEST_F(ViewsTest, AnUnreadableFileSaysOpenErrorFileAndHoldsNoImage)
{
    ScriptedPrompt prompt;
    ASSERT_TRUE(List().OpenImage(firstImage_));
    const std::string garbage = dir_ / "garbage.iso";
    test::WriteWholeFile(garbage, test::RandomBytes(40000, 7));
    for (const std::string& path : {garbage, dir_ / "missing.iso"}) {
        prompt.asked.clear();
        EXPECT_FALSE(List().OpenImage(path)) << path;
        ASSERT_EQ(prompt.asked.size(), std::size_t{1}) << path;
        // The file and the engine's reason follow the message.
        const std::string start = "open error file!\n" + path + ": ";
        EXPECT_TRUE(prompt.asked[0].text.starts_with(start)) << prompt.asked[0].text;
        EXPECT_GT(prompt.asked[0].text.size(), start.size());
        // The records of the image that was open are gone; the mode stays.
        EXPECT_TRUE(List().ImageMode());
        EXPECT_TRUE(List().ImageRoot().children.empty());
        EXPECT_TRUE(List().NodeMap().empty());
        EXPECT_EQ(List().Model().rowCount(), 0);
        EXPECT_EQ(Tree().topLevelItem(0)->childCount(), 0);
    }
}

TEST_F(ViewsTest, DoubleClickOnAFolderRowOpensThatFolder)
{
    ScriptedPrompt prompt;
    ASSERT_TRUE(List().OpenImage(firstImage_));
    QTreeView* details = List().DetailsView();
    details->scrollToTop();
    QApplication::processEvents();
    const int row = RowNamed(List(), "docs");
    ASSERT_GE(row, 0);
    // The signal a double-click on the row's label gives.
    emit details->doubleClicked(List().Model().index(row, 0));
    QApplication::processEvents();
    ASSERT_NE(List().CurrentFolder(), nullptr);
    EXPECT_EQ(List().CurrentFolder()->name, "docs");
    EXPECT_EQ(test_commands::RowNameSet(List()), (std::set<std::string>{"readme.txt", "notes.txt", "inner"}));
    ASSERT_NE(Tree().currentItem(), nullptr);
    EXPECT_EQ(Tree().currentItem()->text(0).toStdString(), "docs");

    // Choosing the root in the tree lists the root again.
    Tree().setCurrentItem(Tree().topLevelItem(0));
    EXPECT_EQ(List().CurrentFolder(), &List().ImageRoot());
}

TEST_F(ViewsTest, HeaderClicksSortFoldersFirstAndReverseOnTheSameColumn)
{
    ScriptedPrompt prompt;
    ASSERT_TRUE(List().OpenImage(firstImage_));
    QHeaderView* header = List().DetailsView()->header();
    const auto clickColumn = [header](int column) {
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
        QApplication::processEvents();
    };
    // The list starts sorted by name; sizes sort by their byte count (3,
    // 20, 100), not by their text; folders stay first either way.
    const struct {
        int column;
        bool ascending;
        std::vector<std::string> names;
    } clicks[]{
        {RecordListModel::SizeColumn, true, {"docs", "music", "small.abc", "mid.txt", "big.dat"}},
        {RecordListModel::SizeColumn, false, {"docs", "music", "big.dat", "mid.txt", "small.abc"}},
        {RecordListModel::FileNameColumn, true, {"docs", "music", "big.dat", "mid.txt", "small.abc"}},
        {RecordListModel::FileNameColumn, false, {"music", "docs", "small.abc", "mid.txt", "big.dat"}},
    };
    for (const auto& click : clicks) {
        clickColumn(click.column);
        EXPECT_EQ(List().SortColumn(), click.column);
        EXPECT_EQ(List().SortAscending(), click.ascending);
        EXPECT_EQ(header->sortIndicatorOrder(), click.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
        EXPECT_EQ(RowNames(List()), click.names) << click.column << " " << click.ascending;
    }
    // Each row still stands for its own record.
    const int row = RowNamed(List(), "mid.txt");
    ASSERT_GE(row, 0);
    EXPECT_EQ(List().Model().RecordAt(row)->size, 20u);
}

TEST_F(ViewsTest, SelectAllFromTheTreePaneSelectsEveryRowOnceAndNewDropsTheImage)
{
    ScriptedPrompt prompt;
    ASSERT_TRUE(List().OpenImage(firstImage_));
    Tree().setFocus();
    frame_.RunCommand(ID_ACTIONS_SELECTALL);
    EXPECT_EQ(List().SelectedRows(), (std::vector<int>{0, 1, 2, 3, 4}));
    // Sorting keeps the selection on the same records.
    List().OnColumnClick(RecordListModel::FileNameColumn);
    EXPECT_EQ(List().SelectedRows().size(), std::size_t{5});

    // New drops the image and stays in image mode.
    frame_.RunCommand(ID_FILE_NEWISO);
    EXPECT_TRUE(List().ImageMode());
    EXPECT_TRUE(List().ImageRoot().children.empty());
    EXPECT_TRUE(List().NodeMap().empty());
    EXPECT_EQ(List().Model().rowCount(), 0);
    EXPECT_EQ(Tree().topLevelItem(0)->childCount(), 0);
}

// One name set of an image as isoinfo reads it: the root's names, the one
// folder of the root and the names in it; ISO 9660 versions cut off.
struct NameSet {
    std::set<std::string> root;
    std::string folder;
    std::set<std::string> inFolder;
};

NameSet IsoinfoNames(const std::string& image, const std::string& options)
{
    const test::IsoinfoListing listing =
        test::ParseIsoinfoListing(test::RunCommand("isoinfo " + options + " -l -i " + test::ShellQuote(image)).output);
    const auto plain = [](std::string identifier) { return identifier.substr(0, identifier.rfind(';')); };
    NameSet names;
    for (const test::IsoinfoEntry& entry : listing.at("/")) {
        names.root.insert(plain(entry.identifier));
        if ((entry.flags & 2) != 0) {
            names.folder = plain(entry.identifier);
        }
    }
    for (const test::IsoinfoEntry& entry : listing.at("/" + names.folder + "/")) {
        names.inFolder.insert(plain(entry.identifier));
    }
    return names;
}

std::set<std::string> RootNames(CTarvelinView& list)
{
    std::set<std::string> names;
    for (const auto& child : list.ImageRoot().children) {
        names.insert(child->name);
    }
    return names;
}

// An image with Rock Ridge and Joliet of a file whose name Joliet cuts, and
// a folder whose ISO 9660 name differs from its long one.
class NameChoiceTest : public testing::Test {
protected:
    static constexpr std::array kNameCommands{ID_VIEW_NAMES_AUTOMATIC, ID_VIEW_NAMES_ROCKRIDGE, ID_VIEW_NAMES_JOLIET,
                                              ID_VIEW_NAMES_ISO};

    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("xorriso");
        TARVELIN_REQUIRE_TOOL("isoinfo");
        TARVELIN_REQUIRE_TOOL("genisoimage");
        std::filesystem::create_directories(source_ + "/Sub Folder");
        WriteFile(source_ + "/" + kLongName, 3);
        WriteFile(source_ + "/Sub Folder/Inner Mixed Case.txt", 5);
        WriteFile(source_ + "/Sub Folder/Second Inner.txt", 6);
        test::RunXorrisoMkisofs(source_, image_, "-R -J");
    }

    std::vector<int> Checked(CMainFrame& frame) const
    {
        std::vector<int> checked;
        for (int id : kNameCommands) {
            if (frame.CommandAction(id)->isChecked()) {
                checked.push_back(id);
            }
        }
        return checked;
    }

    // The list shows the names of the set, the folder below the root being
    // shown.
    void ExpectShownInFolder(CMainFrame& frame, const NameSet& names)
    {
        CTarvelinView& list = *frame.GetRightPane();
        EXPECT_EQ(RootNames(list), names.root);
        ASSERT_NE(list.CurrentFolder(), nullptr);
        EXPECT_EQ(list.CurrentFolder()->name, names.folder);
        EXPECT_EQ(test_commands::RowNameSet(list), names.inFolder);
        ASSERT_NE(frame.GetLeftPane()->currentItem(), nullptr);
        EXPECT_EQ(frame.GetLeftPane()->currentItem()->text(0).toStdString(), names.folder);
    }

    static constexpr const char* kLongName = "Long Mixed Case Name For Rock Ridge That Joliet Has To Cut Short.txt";
    test::TempDir dir_;
    std::string source_ = dir_ / "source";
    std::string image_ = dir_ / "names.iso";
};

TEST_F(NameChoiceTest, EachChoiceReadsTheImageAgainWithItsNamesAndKeepsTheFolder)
{
    const NameSet rock = IsoinfoNames(image_, "-R");
    const NameSet joliet = IsoinfoNames(image_, "-J");
    const NameSet iso = IsoinfoNames(image_, "");
    // The image is what the choice is about: three different name sets,
    // the long name cut short in the Joliet one.
    ASSERT_TRUE(rock.root.contains(kLongName));
    ASSERT_FALSE(joliet.root.contains(kLongName));
    ASSERT_NE(iso.root, joliet.root);
    ASSERT_NE(iso.folder, rock.folder);

    ScriptedPrompt prompt;
    CMainFrame frame;
    frame.show();
    CTarvelinView& list = *frame.GetRightPane();
    // A composition has no name sets to choose from.
    for (int id : kNameCommands) {
        EXPECT_FALSE(frame.CommandAction(id)->isEnabled()) << id;
    }
    EXPECT_EQ(Checked(frame), std::vector<int>{ID_VIEW_NAMES_AUTOMATIC});

    ASSERT_TRUE(list.OpenImage(image_));
    for (int id : kNameCommands) {
        EXPECT_TRUE(frame.CommandAction(id)->isEnabled()) << id;
    }
    EXPECT_EQ(RootNames(list), rock.root);
    list.OnRowDoubleClicked(RowNamed(list, rock.folder));
    ExpectShownInFolder(frame, rock);

    const std::vector<std::pair<int, const NameSet*>> choices{{ID_VIEW_NAMES_JOLIET, &joliet},
                                                               {ID_VIEW_NAMES_ISO, &iso},
                                                               {ID_VIEW_NAMES_ROCKRIDGE, &rock},
                                                               {ID_VIEW_NAMES_AUTOMATIC, &rock}};
    for (const auto& [id, names] : choices) {
        SCOPED_TRACE(id);
        frame.RunCommand(id);
        EXPECT_EQ(Checked(frame), std::vector<int>{id});
        ExpectShownInFolder(frame, *names);
    }
    EXPECT_TRUE(prompt.asked.empty());

    // Later opens keep the choice. An image without Rock Ridge has no Rock
    // Ridge names to choose.
    frame.RunCommand(ID_VIEW_NAMES_ISO);
    const std::string jolietOnly = dir_ / "joliet-only.iso";
    test::RunGenisoimage(source_, jolietOnly, "-J");
    ASSERT_TRUE(list.OpenImage(jolietOnly));
    EXPECT_EQ(RootNames(list), IsoinfoNames(jolietOnly, "").root);
    EXPECT_EQ(Checked(frame), std::vector<int>{ID_VIEW_NAMES_ISO});
    EXPECT_FALSE(frame.CommandAction(ID_VIEW_NAMES_ROCKRIDGE)->isEnabled());
    EXPECT_TRUE(frame.CommandAction(ID_VIEW_NAMES_JOLIET)->isEnabled());
    EXPECT_FALSE(frame.CommandAction(ID_VIEW_NAMES_UDF)->isEnabled());

    // An image with a UDF file system offers its tree, with the long names.
    const std::string bridge = dir_ / "bridge.iso";
    test::RunGenisoimage(source_, bridge, "-udf");
    ASSERT_TRUE(list.OpenImage(bridge));
    ASSERT_TRUE(frame.CommandAction(ID_VIEW_NAMES_UDF)->isEnabled());
    frame.RunCommand(ID_VIEW_NAMES_UDF);
    EXPECT_TRUE(list.Controller().ShowsUdfTree());
    EXPECT_EQ(Checked(frame), std::vector<int>{});
    EXPECT_TRUE(frame.CommandAction(ID_VIEW_NAMES_UDF)->isChecked());
    EXPECT_EQ(RootNames(list), rock.root);
    EXPECT_TRUE(prompt.asked.empty());

    // New leaves no image to read again.
    frame.RunCommand(ID_FILE_NEWISO);
    for (int id : kNameCommands) {
        EXPECT_FALSE(frame.CommandAction(id)->isEnabled()) << id;
    }
    EXPECT_FALSE(frame.CommandAction(ID_VIEW_NAMES_UDF)->isEnabled());
}

TEST_F(NameChoiceTest, UnsavedEditsAreSavedDroppedOrKeptAsTheUserAnswersSaveChanges)
{
    const NameSet rock = IsoinfoNames(image_, "-R");
    const NameSet joliet = IsoinfoNames(image_, "-J");
    const std::string deleted = "Inner Mixed Case.txt";
    ASSERT_TRUE(rock.inFolder.contains(deleted));
    ASSERT_TRUE(joliet.inFolder.contains(deleted));
    struct Case {
        platform::PromptAnswer answer;
        bool switched;     // the Joliet names are shown
        bool deletedShown; // the deleted file is listed
        bool modified;
    };
    const std::vector<Case> cases{
        {platform::PromptAnswer::Cancel, false, false, true},
        {platform::PromptAnswer::No, true, true, false},
        {platform::PromptAnswer::Yes, true, false, false},
    };
    for (const Case& expected : cases) {
        SCOPED_TRACE(static_cast<int>(expected.answer));
        const std::string image = dir_ / "edited.iso";
        std::filesystem::copy_file(image_, image, std::filesystem::copy_options::overwrite_existing);
        ScriptedPrompt prompt;
        prompt.answers["Save changes?"] = expected.answer;
        CMainFrame frame;
        frame.show();
        CTarvelinView& list = *frame.GetRightPane();
        ASSERT_TRUE(list.OpenImage(image));
        list.OnRowDoubleClicked(RowNamed(list, rock.folder));
        SelectNamed(list, {deleted});
        frame.RunCommand(ID_ACTIONS_DELETE);
        ASSERT_TRUE(list.Modified());

        frame.RunCommand(ID_VIEW_NAMES_JOLIET);
        ASSERT_TRUE(WaitIdle(list));
        ASSERT_EQ(prompt.asked.size(), std::size_t{1});
        EXPECT_EQ(prompt.asked[0].text, "Save changes?");
        EXPECT_EQ(prompt.asked[0].buttons, platform::PromptButtons::YesNoCancel);
        const NameSet& shown = expected.switched ? joliet : rock;
        EXPECT_EQ(RootNames(list), shown.root);
        ASSERT_NE(list.CurrentFolder(), nullptr);
        EXPECT_EQ(list.CurrentFolder()->name, shown.folder);
        EXPECT_EQ(RowNamed(list, deleted) >= 0, expected.deletedShown);
        EXPECT_EQ(list.Modified(), expected.modified);
        EXPECT_EQ(Checked(frame),
                  std::vector<int>{expected.switched ? ID_VIEW_NAMES_JOLIET : ID_VIEW_NAMES_AUTOMATIC});
        // The image file holds what the answer says.
        EXPECT_EQ(IsoinfoNames(image, "-J").inFolder.contains(deleted), expected.answer != platform::PromptAnswer::Yes);
    }
}

TEST(TypeNames, UnknownExtensionsAndNamesWithoutADotFallBack)
{
    EXPECT_EQ(CTarvelinView::GetTypeName("/nowhere/at/all/report.abc"), "ABC File");
    EXPECT_EQ(CTarvelinView::GetTypeName("/nowhere/at/all/README"), "File");
    EXPECT_EQ(CTarvelinView::GetTypeName("/nowhere/dir.d/README"), "File");
}

TEST(RecentFiles, KeepsTheFourNewestNewestFirst)
{
    for (const char* name : {"/tmp/a.iso", "/tmp/b.iso", "/tmp/c.iso", "/tmp/d.iso", "/tmp/e.iso", "/tmp/c.iso"}) {
        RecentFileList::Add(QString::fromLatin1(name));
    }
    EXPECT_EQ(RecentFileList::Paths(),
              (QStringList{"/tmp/c.iso", "/tmp/e.iso", "/tmp/d.iso", "/tmp/b.iso"}));
}

TEST_F(ViewsTest, TheTreeKeepsItsOpenFoldersAndTheFolderShownAcrossDeleteAndAdd)
{
    ScriptedPrompt prompt;
    test_commands::ScriptedServices services;
    ASSERT_TRUE(List().OpenImage(firstImage_));
    const auto item = [this](const std::vector<std::string>& names) {
        QTreeWidgetItem* at = Tree().topLevelItem(0);
        for (const std::string& name : names) {
            QTreeWidgetItem* next = nullptr;
            for (int i = 0; at != nullptr && i < at->childCount(); ++i) {
                if (at->child(i)->text(0).toStdString() == name) {
                    next = at->child(i);
                }
            }
            at = next;
        }
        return at;
    };
    Tree().topLevelItem(0)->setExpanded(true);
    item({"docs"})->setExpanded(true);
    Tree().setCurrentItem(item({"docs", "inner"}));
    ASSERT_EQ(List().CurrentFolder()->name, "inner");

    const std::string added = dir_ / "added";
    std::filesystem::create_directories(added + "/below");
    WriteFile(added + "/below/file.txt", 4);
    services.SetChoices({added});
    const std::function<void()> steps[]{
        [&] {
            SelectNamed(List(), {"deep.bin"});
            frame_.RunCommand(ID_ACTIONS_DELETE);
        },
        [&] { frame_.RunCommand(ID_ACTIONS_ADDDIRECTORY); },
    };
    for (const auto& step : steps) {
        step();
        ASSERT_NE(item({"docs"}), nullptr);
        EXPECT_TRUE(Tree().topLevelItem(0)->isExpanded());
        EXPECT_TRUE(item({"docs"})->isExpanded());
        EXPECT_FALSE(item({"music"})->isExpanded());
        ASSERT_NE(Tree().currentItem(), nullptr);
        EXPECT_EQ(Tree().currentItem(), item({"docs", "inner"}));
        EXPECT_EQ(List().CurrentFolder()->name, "inner");
    }
    EXPECT_EQ(RowNames(List()), std::vector<std::string>{"added"});
    EXPECT_NE(item({"docs", "inner", "added", "below"}), nullptr);
    EXPECT_TRUE(prompt.asked.empty());
}

TEST_F(ViewsTest, TheStatusBarShowsTheCompositionsSizeAsEntriesComeAndGo)
{
    ScriptedPrompt prompt;
    test_commands::ScriptedServices services;
    EXPECT_EQ(frame_.SizeLabel()->text().toStdString(), "");
    const std::string big = dir_ / "big.bin";
    WriteFile(big, 3 * 1024 * 1024);
    services.SetChoices({big});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    // The file's 3 MB and the volume's own sectors, estimated.
    const std::uint64_t estimate = List().Controller().ContentSize();
    EXPECT_EQ(frame_.SizeLabel()->text().toStdString(), "About " + SizeText(estimate));
    EXPECT_EQ(frame_.windowTitle().toStdString(), "Tarvelin");
    SelectNamed(List(), {"big.bin"});
    frame_.RunCommand(ID_ACTIONS_DELETE);
    EXPECT_EQ(frame_.SizeLabel()->text().toStdString(), "");

    // The estimate is near what the build then writes.
    services.SetChoices({big, dir_ / "built.iso"});
    frame_.RunCommand(ID_ACTIONS_ADDFILES);
    frame_.RunCommand(ID_FILE_SAVEISO);
    ASSERT_TRUE(WaitIdle(List()));
    const auto built = static_cast<std::uint64_t>(std::filesystem::file_size(dir_ / "built.iso"));
    EXPECT_LE(std::max(built, estimate) - std::min(built, estimate), std::uint64_t{64} * 1024)
        << built << " " << estimate;
    EXPECT_EQ(frame_.SizeLabel()->text().toStdString(), "Image: " + SizeText(built));
    EXPECT_TRUE(prompt.asked.empty());
}

TEST_F(ViewsTest, OpenRecentListsTheImagesOpenedLastAndOpensTheOneChosen)
{
    ScriptedPrompt prompt;
    ASSERT_TRUE(List().OpenImage(firstImage_));
    ASSERT_TRUE(List().OpenImage(secondImage_));
    QMenu* recent = frame_.RecentMenu();
    ASSERT_NE(recent, nullptr);
    emit recent->aboutToShow();
    const QList<QAction*> items = recent->actions();
    ASSERT_GE(items.size(), 2);
    EXPECT_EQ(items[0]->text().toStdString(), "&1 " + std::filesystem::absolute(secondImage_).string());
    EXPECT_EQ(items[1]->text().toStdString(), "&2 " + std::filesystem::absolute(firstImage_).string());
    items[1]->trigger();
    EXPECT_EQ(TreeFolders(Tree().topLevelItem(0)), (std::set<std::string>{"docs", "music"}));
    EXPECT_EQ(frame_.windowTitle().toStdString(), "first.iso - Tarvelin");
    EXPECT_TRUE(prompt.asked.empty());
}

} // namespace
} // namespace tarvelin::shell
