// The main window: view modes, the splitter rule, commands reaching the list from either
// pane, and the keys that run commands inside the window only.

#include "command_helpers.h"
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
#include <QListView>
#include <QSplitter>
#include <QStackedWidget>
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

TEST(MainFrame, StartsAs600By450WithTheCaptionTarvelin)
{
    CMainFrame frame;
    EXPECT_EQ(frame.size(), QSize(600, 450));
    EXPECT_EQ(frame.windowTitle().toStdString(), "Tarvelin");
    ASSERT_NE(frame.GetRightPane(), nullptr);
    ASSERT_NE(frame.GetLeftPane(), nullptr);
    EXPECT_EQ(frame.GetLeftPane()->topLevelItem(0)->text(0).toStdString(), "Tarvelin");
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
// two root files, the questions answered as the scripted prompt does.
class FrameWithImageTest : public testing::Test {
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
        frame_.show();
        frame_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
        ASSERT_TRUE(List().OpenImage(image_));
        ASSERT_EQ(List().Model().rowCount(), 4);
    }

    CTarvelinView& List() { return *frame_.GetRightPane(); }

    // A key pressed with the focus where the user left it in the window.
    void Press(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers)
    {
        QTest::keyClick(target, key, modifiers);
        QApplication::processEvents();
    }

    test_commands::ScriptedPrompt prompt_;
    test::TempDir dir_;
    std::string image_ = dir_ / "frame.iso";
    CMainFrame frame_;
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
    const int row = test_commands::RowNamed(List(), "alpha");
    ASSERT_GE(row, 0);
    const QRect label = details->visualRect(List().Model().index(row, 0));
    ASSERT_TRUE(label.isValid());
    // The first click of the two, then the double-click event itself.
    QTest::mouseClick(details->viewport(), Qt::LeftButton, {}, label.center());
    QTest::mouseDClick(details->viewport(), Qt::LeftButton, {}, label.center());
    QApplication::processEvents();
    ASSERT_NE(List().CurrentFolder(), nullptr);
    EXPECT_EQ(List().CurrentFolder()->name, "alpha");
    EXPECT_EQ(test_commands::RowNameSet(List()), (std::set<std::string>{"inside.txt", "deeper"}));
    ASSERT_NE(frame_.GetLeftPane()->currentItem(), nullptr);
    EXPECT_EQ(frame_.GetLeftPane()->currentItem()->text(0).toStdString(), "alpha");
    EXPECT_TRUE(prompt_.asked.empty());
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
