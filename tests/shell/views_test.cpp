// The main window, its folder tree and its file list over real images made by genisoimage: opening, a second open,
// failures, double-click, sorting, Select All, the view modes, the splitter rule, the keys that run commands inside the
// window only, the recent files; and the View menu's choice of the names an image made by xorriso shows, checked
// against isoinfo's reading of each name set.

#include "shell_fixtures.h"

#include "recent_files.h"

#include "support/fixtures.h"
#include "support/iso_fixtures.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>

#include <array>
#include <memory>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;
using namespace fixture;

std::set<std::string> TreeFolders(const QTreeWidgetItem* item)
{
    std::set<std::string> names;
    for (int i = 0; i < item->childCount(); ++i) {
        names.insert(item->child(i)->text(0).toStdString());
    }
    return names;
}

// The ids of the commands whose menu items carry the mark.
std::vector<int> CheckedOf(CMainFrame& frame, const std::vector<int>& ids)
{
    std::vector<int> checked;
    std::copy_if(ids.begin(), ids.end(), std::back_inserter(checked),
                 [&frame](int id) { return frame.CommandAction(id)->isChecked(); });
    return checked;
}

// The view modes carry the radio mark, every resize gives the tree a quarter, and commands the list cannot carry out
// yet are dimmed.
TEST(MainFrame, ViewModesSplitterAndDimmedCommands)
{
    CMainFrame frame;
    CTarvelinView* list = frame.GetRightPane();
    const std::vector<int> modes{ID_VIEW_LARGEICON, ID_VIEW_SMALLICON, ID_VIEW_LIST, ID_VIEW_DETAILS};
    EXPECT_EQ(CheckedOf(frame, modes), std::vector<int>{ID_VIEW_DETAILS});
    EXPECT_EQ(list->ActiveItemView(), list->DetailsView());
    const std::pair<int, QAbstractItemView*> choices[]{
        {ID_VIEW_LIST, list->IconsView()}, {ID_VIEW_LARGEICON, list->IconsView()}, {ID_VIEW_DETAILS, list->DetailsView()}};
    for (const auto& [id, shown] : choices) {
        frame.RunCommand(id);
        EXPECT_EQ(CheckedOf(frame, modes), std::vector<int>{id});
        EXPECT_EQ(list->ViewMode(), id);
        EXPECT_EQ(list->ActiveItemView(), shown);
        if (id == ID_VIEW_LIST) {
            EXPECT_EQ(list->IconsView()->flow(), QListView::TopToBottom);
        } else if (id == ID_VIEW_LARGEICON) {
            EXPECT_EQ(list->IconsView()->viewMode(), QListView::IconMode);
        }
    }
    for (int id : {ID_FILE_NEWISO, ID_FILE_OPENISO, ID_ACTIONS_SELECTALL}) {
        EXPECT_TRUE(frame.CommandAction(id)->isEnabled()) << id;
    }
    // Every forwarded command is enabled exactly when the list has a handler for it.
    for (int id = kFirstForwardedCommand; id <= kLastForwardedCommand; ++id) {
        QAction* action = frame.CommandAction(id);
        if (action != nullptr && (id < ID_VIEW_LARGEICON || id > ID_VIEW_DETAILS)) {
            EXPECT_EQ(action->isEnabled(), list->HasHandler(id)) << id;
        }
    }
    EXPECT_FALSE(list->HasHandler(kFirstForwardedCommand));
    EXPECT_FALSE(list->HandleCommand(kFirstForwardedCommand));
    EXPECT_EQ(CTarvelinView::GetTypeName("/nowhere/at/all/report.abc"), "ABC File");
    EXPECT_EQ(CTarvelinView::GetTypeName("/nowhere/at/all/README"), "File");
    EXPECT_EQ(CTarvelinView::GetTypeName("/nowhere/dir.d/README"), "File");

    frame.show();
    QApplication::processEvents();
    const auto quarter = [&frame] { return std::max(50, frame.frameGeometry().width() / 4); };
    for (const QSize size : {QSize(600, 450), QSize(1000, 700), QSize(320, 240), QSize(150, 200), QSize(801, 500)}) {
        frame.resize(size);
        QApplication::processEvents();
        EXPECT_EQ(frame.Splitter()->sizes().at(0), quarter()) << size.width();
    }
    // A divider the user moved goes back at the next resize.
    frame.Splitter()->setSizes({400, 300});
    EXPECT_NE(frame.Splitter()->sizes().at(0), quarter());
    frame.resize(900, 500);
    QApplication::processEvents();
    EXPECT_EQ(frame.Splitter()->sizes().at(0), frame.frameGeometry().width() / 4);
}

// A shown, active main window over a real image with two root folders and three root files of sizes that read as bytes,
// KB and MB; a second image beside it.
class ViewsTest : public FrameTest {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        WriteTree(dir_ / "first", {{"big.dat", std::string(1'468'006, 'x')},
                                   {"mid.txt", std::string(1'536, 'x')},
                                   {"small.abc", "xxx"},
                                   {"docs/readme.txt", "xxxxx"},
                                   {"docs/notes.txt", "xxxxxxx"},
                                   {"docs/inner/deep.bin", "xxxxxxxxx"},
                                   {"music/", ""}});
        test::MakeIsoWithGenisoimage(dir_ / "first", firstImage_);
        WriteTree(dir_ / "second", {{"only.txt", "xxxxxxxxxxx"}, {"other/", ""}});
        test::MakeIsoWithGenisoimage(dir_ / "second", secondImage_);
        FrameTest::SetUp();
        frame_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
        ASSERT_TRUE(List().OpenImage(firstImage_));
    }
    // A key pressed with the focus where the user left it in the window.
    static void Press(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers)
    {
        QTest::keyClick(target, key, modifiers);
        QApplication::processEvents();
    }
    // In image mode, with no image's records anywhere.
    void ExpectNoImage()
    {
        EXPECT_TRUE(List().ImageMode());
        EXPECT_TRUE(List().ImageRoot().children.empty());
        EXPECT_TRUE(List().NodeMap().empty());
        EXPECT_EQ(List().Model().rowCount(), 0);
        EXPECT_EQ(Tree().topLevelItem(0)->childCount(), 0);
    }
    std::string firstImage_ = dir_ / "first.iso";
    std::string secondImage_ = dir_ / "second.iso";
};

TEST_F(ViewsTest, AnOpenedImageIsListedInTheTreeAndTheListASecondOpenReplacesItAndAFailedOneEmptiesBoth)
{
    EXPECT_TRUE(List().ImageMode());
    EXPECT_FALSE(List().Bootable());
    EXPECT_EQ(List().CurrentFolder(), &List().ImageRoot());
    EXPECT_EQ(Tree().topLevelItemCount(), 1);
    EXPECT_EQ(Tree().topLevelItem(0)->text(0).toStdString(), "Tarvelin");
    EXPECT_EQ(TreeFolders(Tree().topLevelItem(0)), (std::set<std::string>{"docs", "music"}));
    // The first listing is by name, folders first, with the header's arrow on the name column.
    EXPECT_EQ(RowNames(List()), (std::vector<std::string>{"docs", "music", "big.dat", "mid.txt", "small.abc"}));
    const QHeaderView* header = List().DetailsView()->header();
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), static_cast<int>(RecordListModel::FileNameColumn));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    // Every record is bound to its node, the root included.
    EXPECT_EQ(List().NodeMap().size(), std::size_t{1 + 5 + 3 + 1});
    // A mouse double-click on a folder row's label opens that folder; the tree's root lists the root again.
    QTreeView* details = List().DetailsView();
    const QRect label = details->visualRect(List().Model().index(RowNamed(List(), "docs"), 0));
    ASSERT_TRUE(label.isValid());
    QTest::mouseClick(details->viewport(), Qt::LeftButton, {}, label.center());
    QTest::mouseDClick(details->viewport(), Qt::LeftButton, {}, label.center());
    QApplication::processEvents();
    EXPECT_EQ(List().CurrentFolder()->name, "docs");
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"readme.txt", "notes.txt", "inner"}));
    ASSERT_NE(Tree().currentItem(), nullptr);
    EXPECT_EQ(Tree().currentItem()->text(0).toStdString(), "docs");
    Tree().setCurrentItem(Tree().topLevelItem(0));
    EXPECT_EQ(List().CurrentFolder(), &List().ImageRoot());
    prompt_.ExpectNone();
    // A second open replaces the first completely.
    ASSERT_TRUE(List().OpenImage(secondImage_));
    EXPECT_EQ(TreeFolders(Tree().topLevelItem(0)), std::set<std::string>{"other"});
    EXPECT_EQ(Tree().topLevelItemCount(), 1);
    EXPECT_EQ(RowNameSet(List()), (std::set<std::string>{"only.txt", "other"}));
    EXPECT_EQ(List().NodeMap().size(), std::size_t{3});
    // An unreadable or missing file says so, with the file and the engine's reason; the records of the image that was
    // open are gone, the mode stays.
    const std::string garbage = dir_ / "garbage.iso";
    test::WriteWholeFile(garbage, test::RandomBytes(40000, 7));
    for (const std::string& path : {garbage, dir_ / "missing.iso"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(List().OpenImage(path));
        const std::string start = "open error file!\n" + path + ": ";
        EXPECT_GT(prompt_.TakeOne(start).text.size(), start.size());
        ExpectNoImage();
    }
}

TEST_F(ViewsTest, HeaderClicksSortFoldersFirstByByteCountOrTextAndReverseOnTheSameColumn)
{
    QHeaderView* header = List().DetailsView()->header();
    const auto column = [this](int index) {
        std::vector<std::string> texts;
        for (int row = 0; row < List().Model().rowCount(); ++row) {
            texts.push_back(RecordListModel::CellText(*List().Model().RecordAt(row), index));
        }
        return texts;
    };
    // The list starts sorted by name; sizes sort by their byte count, not by their text; folders stay first either way.
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
        SCOPED_TRACE(std::to_string(click.column) + (click.ascending ? " up" : " down"));
        const int x = header->sectionViewportPosition(click.column) + header->sectionSize(click.column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
        QApplication::processEvents();
        EXPECT_EQ(List().SortColumn(), click.column);
        EXPECT_EQ(List().SortAscending(), click.ascending);
        EXPECT_EQ(header->sortIndicatorOrder(), click.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
        EXPECT_EQ(RowNames(List()), click.names);
    }
    List().OnColumnClick(RecordListModel::SizeColumn);
    EXPECT_EQ(column(RecordListModel::SizeColumn), (std::vector<std::string>{"", "", "3 bytes", "1.5 KB", "1.4 MB"}));
    // Types sort by their text.
    List().OnColumnClick(RecordListModel::TypeColumn);
    const std::vector<std::string> types = column(RecordListModel::TypeColumn);
    EXPECT_TRUE(std::is_sorted(types.begin() + 2, types.end()));
}

TEST_F(ViewsTest, CtrlAAndCtrlNumOneSelectEveryRowFromEitherPaneOnlyAndNewDropsTheImage)
{
    // The keys belong to Tarvelin's main window, not to the whole desktop nor to the program's other windows.
    {
        QWidget other;
        other.show();
        other.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
        Press(&other, Qt::Key_A, Qt::ControlModifier);
        Press(&other, Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier);
        EXPECT_TRUE(List().SelectedRows().empty());
        for (const QAction* action : frame_.actions()) {
            if (!action->shortcut().isEmpty()) {
                EXPECT_EQ(action->shortcutContext(), Qt::WindowShortcut) << action->text().toStdString();
            }
        }
    }
    frame_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
    const std::vector<int> all{0, 1, 2, 3, 4};
    // The menu's Select All runs, not the item view's own select-all.
    QSignalSpy selectAll(frame_.CommandAction(ID_ACTIONS_SELECTALL), &QAction::triggered);
    Press(List().DetailsView(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(List().SelectedRows(), all);
    EXPECT_EQ(selectAll.count(), 1);
    List().DetailsView()->clearSelection();
    Press(&Tree(), Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(List().SelectedRows(), all);
    EXPECT_EQ(selectAll.count(), 2);
    // Sorting keeps the selection on the same records.
    List().OnColumnClick(RecordListModel::FileNameColumn);
    EXPECT_EQ(List().SelectedRows().size(), std::size_t{5});
    // Ctrl with the 1 of the main keyboard is another key.
    List().DetailsView()->clearSelection();
    Press(&Tree(), Qt::Key_1, Qt::ControlModifier);
    EXPECT_TRUE(List().SelectedRows().empty());
    // New drops the image and stays in image mode.
    frame_.RunCommand(ID_FILE_NEWISO);
    ExpectNoImage();
}

TEST_F(ViewsTest, CtrlORunsTheMenusOpenWhichAsksForAnImageInTheDesktopsOwnDialog)
{
    // The desktop's own services: Qt's file dialog, answered as a user would.
    IShellServices* scripted = SetShellServices(nullptr);
    std::vector<std::string> dialogs;
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&dialogs] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); dialog != nullptr) {
            dialogs.push_back(dialog->nameFilters().join(QStringLiteral(";")).toStdString());
            dialog->reject();
        }
    });
    answer.start();
    Press(List().DetailsView(), Qt::Key_O, Qt::ControlModifier);
    answer.stop();
    SetShellServices(scripted);
    ASSERT_EQ(dialogs.size(), std::size_t{1});
    for (const char* offered : {"All Support(", "*.cue", ";All files (*)"}) {
        EXPECT_NE(dialogs[0].find(offered), std::string::npos) << dialogs[0];
    }
    // Cancelled: the image stays open.
    EXPECT_EQ(List().Model().rowCount(), 5);
}

TEST_F(ViewsTest, EachFileMenuKeyReachesItsOwnMenuItemAndNoOther)
{
    const std::vector<int> items{ID_FILE_NEWISO, ID_FILE_OPENISO, ID_FILE_SAVEISO, ID_FILE_SAVEISOAS};
    for (const auto& [key, id] : std::vector<std::pair<Qt::Key, int>>{
             {Qt::Key_N, ID_FILE_NEWISO}, {Qt::Key_O, ID_FILE_OPENISO}, {Qt::Key_S, ID_FILE_SAVEISO}}) {
        SCOPED_TRACE(id);
        // Only which item the key reaches is looked at here: the item's own work is cut off, and it is enabled as it is
        // once its command can run.
        QAction* item = frame_.CommandAction(id);
        QObject::disconnect(item, &QAction::triggered, nullptr, nullptr);
        item->setEnabled(true);
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (const int other : items) {
            spies.push_back(std::make_unique<QSignalSpy>(frame_.CommandAction(other), &QAction::triggered));
        }
        Press(&Tree(), key, Qt::ControlModifier);
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(spies[i]->count(), items[i] == id ? 1 : 0) << "reached " << items[i];
        }
    }
}

TEST_F(ViewsTest, OpenRecentListsTheFourImagesOpenedLastNewestFirstAndOpensTheOneChosen)
{
    EXPECT_EQ(RecentFileList::Paths().front().toStdString(), fs::absolute(firstImage_).string());
    ASSERT_TRUE(List().OpenImage(secondImage_));
    QMenu* recent = frame_.RecentMenu();
    ASSERT_NE(recent, nullptr);
    emit recent->aboutToShow();
    const QList<QAction*> items = recent->actions();
    ASSERT_GE(items.size(), 2);
    EXPECT_EQ(items[0]->text().toStdString(), "&1 " + fs::absolute(secondImage_).string());
    EXPECT_EQ(items[1]->text().toStdString(), "&2 " + fs::absolute(firstImage_).string());
    items[1]->trigger();
    EXPECT_EQ(TreeFolders(Tree().topLevelItem(0)), (std::set<std::string>{"docs", "music"}));
    EXPECT_EQ(frame_.windowTitle().toStdString(), "first.iso - Tarvelin");
    prompt_.ExpectNone();
    for (const char* name : {"/tmp/a.iso", "/tmp/b.iso", "/tmp/c.iso", "/tmp/d.iso", "/tmp/e.iso", "/tmp/c.iso"}) {
        RecentFileList::Add(QString::fromLatin1(name));
    }
    EXPECT_EQ(RecentFileList::Paths(), (QStringList{"/tmp/c.iso", "/tmp/e.iso", "/tmp/d.iso", "/tmp/b.iso"}));
    // One that no longer opens says why and leaves the list.
    const std::string gone = fs::absolute(std::string(dir_ / "gone.iso")).string();
    RecentFileList::Add(QString::fromStdString(gone));
    emit recent->aboutToShow();
    recent->actions().front()->trigger();
    const std::string start = "open error file!\n" + gone + ": ";
    EXPECT_GT(prompt_.TakeOne(start).text.size(), start.size());
    EXPECT_EQ(RecentFileList::Paths(), (QStringList{"/tmp/c.iso", "/tmp/e.iso", "/tmp/d.iso"}));
}

TEST_F(ViewsTest, TheTreeKeepsItsOpenFoldersAndTheFolderShownAcrossDeleteAndAdd)
{
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
    WriteTree(dir_ / "added", {{"below/file.txt", "xxxx"}});
    services_.Choose({dir_ / "added"});
    const std::function<void()> steps[]{
        [&] {
            Select({"deep.bin"});
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
    prompt_.ExpectNone();
}

// One name set of an image as isoinfo reads it: the root's names, the one folder of the root and the names in it; ISO
// 9660 versions cut off.
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

// An image with Rock Ridge and Joliet of a file whose name Joliet cuts, and a folder whose ISO 9660 name differs from
// its long one.
class NameChoiceTest : public testing::Test {
protected:
    static constexpr std::array kNameCommands{ID_VIEW_NAMES_AUTOMATIC, ID_VIEW_NAMES_ROCKRIDGE, ID_VIEW_NAMES_JOLIET,
                                              ID_VIEW_NAMES_ISO};
    static constexpr const char* kLongName = "Long Mixed Case Name For Rock Ridge That Joliet Has To Cut Short.txt";
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("xorriso");
        TARVELIN_REQUIRE_TOOL("isoinfo");
        TARVELIN_REQUIRE_TOOL("genisoimage");
        WriteTree(source_, {{kLongName, "xxx"},
                            {"Sub Folder/Inner Mixed Case.txt", "xxxxx"},
                            {"Sub Folder/Second Inner.txt", "xxxxxx"}});
        test::RunXorrisoMkisofs(source_, image_, "-R -J");
        frame_.show();
    }
    std::vector<int> Checked() { return CheckedOf(frame_, {kNameCommands.begin(), kNameCommands.end()}); }
    void ExpectEnabled(bool enabled)
    {
        for (int id : kNameCommands) {
            EXPECT_EQ(frame_.CommandAction(id)->isEnabled(), enabled) << id;
        }
    }
    // The list shows the names of the set, the folder below the root being shown.
    void ExpectShownInFolder(const NameSet& names)
    {
        EXPECT_EQ(RootNames(list_), names.root);
        ASSERT_NE(list_.CurrentFolder(), nullptr);
        EXPECT_EQ(list_.CurrentFolder()->name, names.folder);
        EXPECT_EQ(RowNameSet(list_), names.inFolder);
        ASSERT_NE(frame_.GetLeftPane()->currentItem(), nullptr);
        EXPECT_EQ(frame_.GetLeftPane()->currentItem()->text(0).toStdString(), names.folder);
    }
    test::TempDir dir_;
    std::string source_ = dir_ / "source";
    std::string image_ = dir_ / "names.iso";
    Prompt prompt_;
    CMainFrame frame_;
    CTarvelinView& list_ = *frame_.GetRightPane();
};

TEST_F(NameChoiceTest, EachChoiceReadsTheImageAgainWithItsNamesAndKeepsTheFolder)
{
    const NameSet rock = IsoinfoNames(image_, "-R");
    const NameSet joliet = IsoinfoNames(image_, "-J");
    const NameSet iso = IsoinfoNames(image_, "");
    // The image is what the choice is about: three different name sets, the long name cut short in the Joliet one.
    ASSERT_TRUE(rock.root.contains(kLongName));
    ASSERT_FALSE(joliet.root.contains(kLongName));
    ASSERT_NE(iso.root, joliet.root);
    ASSERT_NE(iso.folder, rock.folder);
    // A composition has no name sets to choose from.
    ExpectEnabled(false);
    EXPECT_EQ(Checked(), std::vector<int>{ID_VIEW_NAMES_AUTOMATIC});
    ASSERT_TRUE(list_.OpenImage(image_));
    ExpectEnabled(true);
    EXPECT_EQ(RootNames(list_), rock.root);
    list_.OnRowDoubleClicked(RowNamed(list_, rock.folder));
    ExpectShownInFolder(rock);
    for (const auto& [id, names] : std::vector<std::pair<int, const NameSet*>>{{ID_VIEW_NAMES_JOLIET, &joliet},
                                                                               {ID_VIEW_NAMES_ISO, &iso},
                                                                               {ID_VIEW_NAMES_ROCKRIDGE, &rock},
                                                                               {ID_VIEW_NAMES_AUTOMATIC, &rock}}) {
        SCOPED_TRACE(id);
        frame_.RunCommand(id);
        EXPECT_EQ(Checked(), std::vector<int>{id});
        ExpectShownInFolder(*names);
    }
    // Later opens keep the choice. An image without Rock Ridge has no Rock Ridge names to choose.
    frame_.RunCommand(ID_VIEW_NAMES_ISO);
    const std::string jolietOnly = dir_ / "joliet-only.iso";
    test::RunGenisoimage(source_, jolietOnly, "-J");
    ASSERT_TRUE(list_.OpenImage(jolietOnly));
    EXPECT_EQ(RootNames(list_), IsoinfoNames(jolietOnly, "").root);
    EXPECT_EQ(Checked(), std::vector<int>{ID_VIEW_NAMES_ISO});
    EXPECT_FALSE(frame_.CommandAction(ID_VIEW_NAMES_ROCKRIDGE)->isEnabled());
    EXPECT_TRUE(frame_.CommandAction(ID_VIEW_NAMES_JOLIET)->isEnabled());
    EXPECT_FALSE(frame_.CommandAction(ID_VIEW_NAMES_UDF)->isEnabled());
    // An image with a UDF file system offers its tree, with the long names.
    const std::string bridge = dir_ / "bridge.iso";
    test::RunGenisoimage(source_, bridge, "-udf");
    ASSERT_TRUE(list_.OpenImage(bridge));
    ASSERT_TRUE(frame_.CommandAction(ID_VIEW_NAMES_UDF)->isEnabled());
    frame_.RunCommand(ID_VIEW_NAMES_UDF);
    EXPECT_TRUE(list_.Controller().ShowsUdfTree());
    EXPECT_EQ(Checked(), std::vector<int>{});
    EXPECT_TRUE(frame_.CommandAction(ID_VIEW_NAMES_UDF)->isChecked());
    EXPECT_EQ(RootNames(list_), rock.root);
    prompt_.ExpectNone();
    // New leaves no image to read again.
    frame_.RunCommand(ID_FILE_NEWISO);
    ExpectEnabled(false);
    EXPECT_FALSE(frame_.CommandAction(ID_VIEW_NAMES_UDF)->isEnabled());
}

TEST_F(NameChoiceTest, UnsavedEditsAreSavedDroppedOrKeptAsTheUserAnswersSaveChanges)
{
    const NameSet rock = IsoinfoNames(image_, "-R");
    const NameSet joliet = IsoinfoNames(image_, "-J");
    const std::string deleted = "Inner Mixed Case.txt";
    ASSERT_TRUE(rock.inFolder.contains(deleted));
    ASSERT_TRUE(joliet.inFolder.contains(deleted));
    const struct {
        platform::PromptAnswer answer;
        bool switched;     // the Joliet names are shown
        bool deletedShown; // the deleted file is listed
        bool modified;
    } cases[]{
        {platform::PromptAnswer::Cancel, false, false, true},
        {platform::PromptAnswer::No, true, true, false},
        {platform::PromptAnswer::Yes, true, false, false},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(static_cast<int>(expected.answer));
        const std::string image = dir_ / "edited.iso";
        fs::copy_file(image_, image, fs::copy_options::overwrite_existing);
        ASSERT_TRUE(list_.OpenImage(image));
        frame_.RunCommand(ID_VIEW_NAMES_AUTOMATIC);
        prompt_.asked.clear();
        prompt_.answers["Save changes?"] = expected.answer;
        list_.OnRowDoubleClicked(RowNamed(list_, rock.folder));
        SelectNamed(list_, {deleted});
        frame_.RunCommand(ID_ACTIONS_DELETE);
        ASSERT_TRUE(list_.Modified());
        frame_.RunCommand(ID_VIEW_NAMES_JOLIET);
        ASSERT_TRUE(WaitIdle(list_));
        EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"Save changes?"});
        EXPECT_EQ(prompt_.asked[0].buttons, platform::PromptButtons::YesNoCancel);
        const NameSet& shown = expected.switched ? joliet : rock;
        EXPECT_EQ(RootNames(list_), shown.root);
        ASSERT_NE(list_.CurrentFolder(), nullptr);
        EXPECT_EQ(list_.CurrentFolder()->name, shown.folder);
        EXPECT_EQ(RowNamed(list_, deleted) >= 0, expected.deletedShown);
        EXPECT_EQ(list_.Modified(), expected.modified);
        EXPECT_EQ(Checked(), std::vector<int>{expected.switched ? ID_VIEW_NAMES_JOLIET : ID_VIEW_NAMES_AUTOMATIC});
        // The image file holds what the answer says.
        EXPECT_EQ(IsoinfoNames(image, "-J").inFolder.contains(deleted), expected.answer != platform::PromptAnswer::Yes);
        // Nothing is left to ask about before the next case opens its copy.
        prompt_.answers["Save changes?"] = platform::PromptAnswer::No;
        frame_.RunCommand(ID_FILE_NEWISO);
    }
}

} // namespace
} // namespace tarvelin::shell
