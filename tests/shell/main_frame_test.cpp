// The main window: menu texts and command numbers, toolbar, status bar,
// view modes, the splitter rule, commands reaching the list from either
// pane, and the keys that run commands inside the window only.

#include "commands.h"
#include "left_view.h"
#include "main_frame.h"
#include "tarvelin_view.h"

#include "platform/prompt.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeView>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tarvelin::shell {
namespace {

struct Item {
    std::string text; // empty for a separator
    int id = 0;
};

std::vector<Item> ItemsOf(const QList<QAction*>& actions)
{
    std::vector<Item> items;
    for (const QAction* action : actions) {
        if (action->isSeparator()) {
            items.push_back({"", 0});
        } else {
            items.push_back({action->text().toStdString(), action->data().toInt()});
        }
    }
    return items;
}

bool operator==(const Item& left, const Item& right)
{
    return left.text == right.text && left.id == right.id;
}

void PrintTo(const Item& item, std::ostream* out)
{
    *out << "{\"" << item.text << "\", " << item.id << "}";
}

TEST(MainFrame, StartsAs600By450WithTheCaptionTarvelin)
{
    CMainFrame frame;
    EXPECT_EQ(frame.size(), QSize(600, 450));
    EXPECT_EQ(frame.windowTitle().toStdString(), "Tarvelin");
    ASSERT_NE(frame.GetRightPane(), nullptr);
    ASSERT_NE(frame.GetLeftPane(), nullptr);
    EXPECT_EQ(frame.GetLeftPane()->topLevelItem(0)->text(0).toStdString(), "Tarvelin");
}

TEST(MainFrame, MenuBarHasEveryItemWithItsTextAndNumber)
{
    CMainFrame frame;
    const std::vector<std::pair<std::string, std::vector<Item>>> expected{
        {"&File", {{"&New\tCtrl+N", 32794}, {"&Open...\tCtrl+O", 32795}, {"Open &Recent", 0}, {"&Save\tCtrl+S", 32796},
                   {"Save &As...", 32797}, {"Co&mpact Image", 32798}, {"P&roperties...", 32801},
                   {"New Images With &UDF", 32802}, {"", 0}, {"E&xit", 57665}}},
        {"&View", {{"&Toolbar", 59392}, {"&Status Bar", 59393}, {"", 0}, {"&Large Icons", 32804},
                   {"Small Icons", 32805}, {"List", 32806}, {"Details", 32807}, {"", 0},
                   {"&Automatic Names", 32808}, {"&Rock Ridge Names", 32809}, {"&Joliet Names", 32810},
                   {"&ISO 9660 Names", 32811}, {"&UDF Tree", 32812}}},
        {"&Actions", {{"&Make ISO From CD-ROM", 32776}, {"", 0}, {"Add Files...", 32773},
                      {"Add Directory...", 32772}, {"Extract...", 32779}, {"", 0}, {"View...", 32780},
                      {"Delete...", 32781}, {"Select All...", 32782}}},
        {"&Convert", {{"BIN to ISO...", 32787}, {"ISO to BIN", 32788}, {"Other Format Convert...", 32789}}},
        {"&Bootable CD", {{"Load Bootable Info From file...", 32783}, {"Save Bootable Info to file...", 32784},
                          {"Delete Bootable...", 32785}, {"", 0}, {"Make Bootable Info From Floppy...", 32786}}},
        {"&Help", {{"Contents...", 32790}, {"Homepage", 32791}, {"Tarvelin Support...", 32792}, {"", 0},
                   {"&About Tarvelin...", 57664}}},
    };
    const QList<QAction*> menus = frame.menuBar()->actions();
    ASSERT_EQ(menus.size(), static_cast<qsizetype>(expected.size()));
    for (qsizetype i = 0; i < menus.size(); ++i) {
        const auto& [title, items] = expected[static_cast<std::size_t>(i)];
        EXPECT_EQ(menus[i]->text().toStdString(), title);
        ASSERT_NE(menus[i]->menu(), nullptr);
        EXPECT_EQ(ItemsOf(menus[i]->menu()->actions()), items) << title;
    }
}

TEST(MainFrame, ToolbarButtonsInOrderWithTheirTooltipsAndPrompts)
{
    CMainFrame frame;
    const auto* toolBar = frame.findChild<QToolBar*>(QStringLiteral("ToolBar"));
    ASSERT_NE(toolBar, nullptr);
    std::vector<int> ids;
    for (const QAction* action : toolBar->actions()) {
        ids.push_back(action->isSeparator() ? 0 : action->data().toInt());
    }
    EXPECT_EQ(ids, (std::vector<int>{32794, 32795, 0, 32796, 0, 32772, 32781, 0, 32779, 0, 32789, 0, 57664}));

    const std::vector<std::tuple<int, std::string, std::string>> prompts{
        {32794, "New ISO File", "New ISO File"},
        {32795, "Open an ISO File", "Open an ISO File"},
        {32796, "Save  ISO File", "Save ISO File"},
        {32772, "Add Directory to ISO", "Add Directory "},
        {32781, "Delete File", "Delete File"},
        {32779, "Extract File From ISO", "Extract File From ISO"},
        {32789, "Any CD-ROM Image Files to ISO", "Any CD-ROM Image Files to ISO"},
        {32787, "BIN to ISO", "BIN File to ISO File"},
        {32783, "Load Bootable Information From File", "Load Bootable from file"},
        {32786, "Make Bootable Infomation From Floppy", "Make bootable from floppy"},
    };
    for (const auto& [id, status, tip] : prompts) {
        const QAction* action = frame.CommandAction(id);
        ASSERT_NE(action, nullptr) << id;
        EXPECT_EQ(action->statusTip().toStdString(), status) << id;
        EXPECT_EQ(action->toolTip().toStdString(), tip) << id;
    }
}

TEST(MainFrame, StatusBarSaysReadyBesideTheLockIndicators)
{
    CMainFrame frame;
    ASSERT_NE(frame.IdleMessage(), nullptr);
    EXPECT_EQ(frame.IdleMessage()->text().toStdString(), "Ready");
    for (const char* indicator : {"CAP", "NUM", "SCRL"}) {
        const auto* label = frame.statusBar()->findChild<QLabel*>(QString::fromLatin1(indicator));
        ASSERT_NE(label, nullptr) << indicator;
        EXPECT_EQ(label->text().toStdString(), indicator);
    }
}

TEST(MainFrame, DetailsCarriesTheRadioMarkAtStartAndTheMarkFollowsTheChoice)
{
    CMainFrame frame;
    CTarvelinView* list = frame.GetRightPane();
    const auto checked = [&frame] {
        std::vector<int> ids;
        for (int id : {ID_VIEW_LARGEICON, ID_VIEW_SMALLICON, ID_VIEW_LIST, ID_VIEW_DETAILS}) {
            if (frame.CommandAction(id)->isChecked()) {
                ids.push_back(id);
            }
        }
        return ids;
    };
    EXPECT_EQ(checked(), std::vector<int>{ID_VIEW_DETAILS});
    EXPECT_EQ(list->ViewMode(), ID_VIEW_DETAILS);
    EXPECT_EQ(list->ActiveItemView(), list->DetailsView());

    frame.RunCommand(ID_VIEW_LIST);
    EXPECT_EQ(checked(), std::vector<int>{ID_VIEW_LIST});
    EXPECT_EQ(list->ViewMode(), ID_VIEW_LIST);
    EXPECT_EQ(list->ActiveItemView(), list->IconsView());
    EXPECT_EQ(list->IconsView()->flow(), QListView::TopToBottom);

    frame.RunCommand(ID_VIEW_LARGEICON);
    EXPECT_EQ(checked(), std::vector<int>{ID_VIEW_LARGEICON});
    EXPECT_EQ(list->IconsView()->viewMode(), QListView::IconMode);

    frame.RunCommand(ID_VIEW_DETAILS);
    EXPECT_EQ(checked(), std::vector<int>{ID_VIEW_DETAILS});
    EXPECT_EQ(list->ActiveItemView(), list->DetailsView());
}

TEST(MainFrame, EveryResizeSplitsTheWindowAQuarterForTheTree)
{
    CMainFrame frame;
    frame.show();
    QApplication::processEvents();
    for (const QSize size : {QSize(600, 450), QSize(1000, 700), QSize(320, 240), QSize(150, 200), QSize(801, 500)}) {
        frame.resize(size);
        QApplication::processEvents();
        const int expectedLeft = std::max(50, frame.frameGeometry().width() / 4);
        EXPECT_EQ(frame.Splitter()->sizes().at(0), expectedLeft) << size.width();
    }
    // A divider the user moved goes back at the next resize.
    frame.Splitter()->setSizes({400, 300});
    EXPECT_NE(frame.Splitter()->sizes().at(0), std::max(50, frame.frameGeometry().width() / 4));
    frame.resize(900, 500);
    QApplication::processEvents();
    EXPECT_EQ(frame.Splitter()->sizes().at(0), frame.frameGeometry().width() / 4);
}

TEST(MainFrame, CommandsTheListCannotCarryOutYetAreDimmed)
{
    CMainFrame frame;
    EXPECT_TRUE(frame.CommandAction(ID_FILE_NEWISO)->isEnabled());
    EXPECT_TRUE(frame.CommandAction(ID_FILE_OPENISO)->isEnabled());
    EXPECT_TRUE(frame.CommandAction(ID_ACTIONS_SELECTALL)->isEnabled());
    // Every forwarded command is enabled exactly when the list has a
    // handler for it.
    for (int id = kFirstForwardedCommand; id <= kLastForwardedCommand; ++id) {
        QAction* action = frame.CommandAction(id);
        if (action != nullptr && (id < ID_VIEW_LARGEICON || id > ID_VIEW_DETAILS)) {
            EXPECT_EQ(action->isEnabled(), frame.GetRightPane()->HasHandler(id)) << id;
        }
    }
    EXPECT_FALSE(frame.GetRightPane()->HasHandler(kFirstForwardedCommand));
    EXPECT_FALSE(frame.GetRightPane()->HandleCommand(kFirstForwardedCommand));
}


// A shown, active main window over a real image with two root folders and
// two root files, the questions answered Ok.
class FrameWithImageTest : public testing::Test, private platform::IPrompt {
protected:
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        std::filesystem::create_directories(dir_ / "tree/alpha/deeper");
        std::filesystem::create_directories(dir_ / "tree/beta");
        test::WriteWholeFile(dir_ / "tree/one.txt", std::string("1"));
        test::WriteWholeFile(dir_ / "tree/two.txt", std::string("22"));
        test::WriteWholeFile(dir_ / "tree/alpha/inside.txt", std::string("333"));
        test::MakeIsoWithGenisoimage(dir_ / "tree", image_);
        previous_ = platform::SetPrompt(this);
        frame_.show();
        frame_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
        ASSERT_TRUE(List().OpenImage(image_));
        ASSERT_EQ(List().Model().rowCount(), 4);
    }
    void TearDown() override { platform::SetPrompt(previous_); }

    CTarvelinView& List() { return *frame_.GetRightPane(); }

    // A key pressed with the focus where the user left it in the window.
    void Press(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers)
    {
        QTest::keyClick(target, key, modifiers);
        QApplication::processEvents();
    }

    std::vector<std::string> asked_;
    test::TempDir dir_;
    std::string image_ = dir_ / "frame.iso";
    CMainFrame frame_;

private:
    platform::PromptAnswer Ask(std::string_view text, std::string_view, platform::PromptButtons,
                               platform::PromptIcon) override
    {
        asked_.emplace_back(text);
        return platform::PromptAnswer::Ok;
    }
    platform::IPrompt* previous_ = nullptr;
};

TEST_F(FrameWithImageTest, CtrlAAndCtrlNumOneSelectEveryRowFromEitherPane)
{
    const std::vector<int> all{0, 1, 2, 3};
    // The menu's Select All runs, not the item view's own select-all.
    QSignalSpy selectAll(frame_.CommandAction(ID_ACTIONS_SELECTALL), &QAction::triggered);
    Press(List().DetailsView(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(List().SelectedRows(), all);
    EXPECT_EQ(selectAll.count(), 1);

    List().DetailsView()->clearSelection();
    Press(frame_.GetLeftPane(), Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(List().SelectedRows(), all);
    EXPECT_EQ(selectAll.count(), 2);

    // Ctrl with the 1 of the main keyboard is another key.
    List().DetailsView()->clearSelection();
    Press(frame_.GetLeftPane(), Qt::Key_1, Qt::ControlModifier);
    EXPECT_TRUE(List().SelectedRows().empty());
}

TEST_F(FrameWithImageTest, CtrlAInAnotherWindowLeavesTheListAlone)
{
    // The keys belong to Tarvelin's main window, not to the whole desktop
    // nor to the program's other windows.
    QWidget other;
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    Press(&other, Qt::Key_A, Qt::ControlModifier);
    Press(&other, Qt::Key_1, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_TRUE(List().SelectedRows().empty());

    for (Qt::Key key : {Qt::Key_A, Qt::Key_N, Qt::Key_O, Qt::Key_S}) {
        for (const QAction* action : frame_.actions()) {
            if (action->shortcut() == QKeySequence(Qt::CTRL | key)) {
                EXPECT_EQ(action->shortcutContext(), Qt::WindowShortcut) << action->text().toStdString();
            }
        }
    }
}

TEST_F(FrameWithImageTest, CtrlNRunsTheMenusNew)
{
    Press(frame_.GetLeftPane(), Qt::Key_N, Qt::ControlModifier);
    EXPECT_TRUE(List().ImageMode());
    EXPECT_TRUE(List().ImageRoot().children.empty());
    EXPECT_EQ(List().Model().rowCount(), 0);
    EXPECT_EQ(frame_.GetLeftPane()->topLevelItem(0)->childCount(), 0);
}

TEST_F(FrameWithImageTest, CtrlORunsTheMenusOpenWhichAsksForAnImage)
{
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
    ASSERT_EQ(dialogs.size(), std::size_t{1});
    EXPECT_NE(dialogs[0].find("All Support("), std::string::npos) << dialogs[0];
    for (const char* offered : {"*.cue", ";All files (*)"}) {
        EXPECT_NE(dialogs[0].find(offered), std::string::npos) << dialogs[0];
    }
    // Cancelled: the image stays open.
    EXPECT_EQ(List().Model().rowCount(), 4);
}

TEST_F(FrameWithImageTest, EachFileMenuKeyReachesItsOwnMenuItemAndNoOther)
{
    const std::vector<std::pair<Qt::Key, int>> keys{
        {Qt::Key_N, ID_FILE_NEWISO}, {Qt::Key_O, ID_FILE_OPENISO}, {Qt::Key_S, ID_FILE_SAVEISO}};
    for (const auto& [key, id] : keys) {
        QAction* item = frame_.CommandAction(id);
        ASSERT_NE(item, nullptr);
        // Only which item the key reaches is looked at here: the item's own
        // work is cut off, and it is enabled as it is once its command can
        // run.
        QObject::disconnect(item, &QAction::triggered, nullptr, nullptr);
        item->setEnabled(true);
        std::map<int, std::unique_ptr<QSignalSpy>> spies;
        for (const int other : {ID_FILE_NEWISO, ID_FILE_OPENISO, ID_FILE_SAVEISO, ID_FILE_SAVEISOAS}) {
            spies[other] = std::make_unique<QSignalSpy>(frame_.CommandAction(other), &QAction::triggered);
        }
        Press(frame_.GetLeftPane(), key, Qt::ControlModifier);
        for (const auto& [other, spy] : spies) {
            EXPECT_EQ(spy->count(), other == id ? 1 : 0) << "Ctrl+" << QKeySequence(key).toString().toStdString()
                                                         << " reached " << other;
        }
    }
}

TEST_F(FrameWithImageTest, AMouseDoubleClickOnAFolderRowsLabelOpensThatFolder)
{
    QTreeView* details = List().DetailsView();
    int row = -1;
    for (int i = 0; i < List().Model().rowCount(); ++i) {
        if (List().Model().RecordAt(i)->name == "alpha") {
            row = i;
        }
    }
    ASSERT_GE(row, 0);
    const QRect label = details->visualRect(List().Model().index(row, 0));
    ASSERT_TRUE(label.isValid());
    // The first click of the two, then the double-click event itself.
    QTest::mouseClick(details->viewport(), Qt::LeftButton, {}, label.center());
    QTest::mouseDClick(details->viewport(), Qt::LeftButton, {}, label.center());
    QApplication::processEvents();
    ASSERT_NE(List().CurrentFolder(), nullptr);
    EXPECT_EQ(List().CurrentFolder()->name, "alpha");
    std::set<std::string> names;
    for (int i = 0; i < List().Model().rowCount(); ++i) {
        names.insert(List().Model().RecordAt(i)->name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"inside.txt", "deeper"}));
    ASSERT_NE(frame_.GetLeftPane()->currentItem(), nullptr);
    EXPECT_EQ(frame_.GetLeftPane()->currentItem()->text(0).toStdString(), "alpha");
    EXPECT_TRUE(asked_.empty());
}

TEST(MainFrameColumns, SizesReadAsPeopleReadThemAndSortByTheirByteCount)
{
    // A composition from disk: 9 bytes before 10 (as text "10" would come
    // first), the folder before the files, whichever way the column sorts.
    test::TempDir dir;
    const std::vector<std::pair<std::string, std::string>> files{
        {"b-ten.txt", std::string(10, 't')}, {"a-nine.dat", std::string(9, 'n')},
        {"c-big", std::string(1'468'006, 'b')}, {"d-kilo.qqq", std::string(1'536, 'k')}};
    std::filesystem::create_directories(dir / "e-folder");
    test::WriteWholeFile(dir / "e-folder/inside.txt", "x");
    CMainFrame frame;
    CTarvelinView& list = *frame.GetRightPane();
    for (const auto& [name, content] : files) {
        test::WriteWholeFile(dir / name, content);
        ASSERT_NE(list.AddEntry(dir / name, &list.ComposeRoot()), nullptr) << name;
    }
    ASSERT_NE(list.AddEntry(dir / "e-folder", &list.ComposeRoot()), nullptr);
    list.ShowFolder(&list.ComposeRoot());
    const auto column = [&list](int index) {
        std::vector<std::string> texts;
        for (int row = 0; row < list.Model().rowCount(); ++row) {
            texts.push_back(RecordListModel::CellText(*list.Model().RecordAt(row), index));
        }
        return texts;
    };
    EXPECT_EQ(column(RecordListModel::FileNameColumn),
              (std::vector<std::string>{"e-folder", "a-nine.dat", "b-ten.txt", "c-big", "d-kilo.qqq"}));
    list.OnColumnClick(RecordListModel::SizeColumn);
    EXPECT_EQ(column(RecordListModel::SizeColumn),
              (std::vector<std::string>{"", "9 bytes", "10 bytes", "1.5 KB", "1.4 MB"}));
    list.OnColumnClick(RecordListModel::SizeColumn);
    EXPECT_EQ(column(RecordListModel::FileNameColumn),
              (std::vector<std::string>{"e-folder", "c-big", "d-kilo.qqq", "b-ten.txt", "a-nine.dat"}));
    // Types sort by their text; every row keeps its own record.
    list.OnColumnClick(RecordListModel::TypeColumn);
    std::vector<std::string> types = column(RecordListModel::TypeColumn);
    EXPECT_TRUE(std::is_sorted(types.begin() + 1, types.end()));
    for (int row = 0; row < list.Model().rowCount(); ++row) {
        const EntryRecord& record = *list.Model().RecordAt(row);
        EXPECT_EQ(RecordListModel::CellText(record, RecordListModel::FileNameColumn), record.name);
    }
}

} // namespace
} // namespace tarvelin::shell
