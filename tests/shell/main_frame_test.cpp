// The main window: menu texts and command numbers, toolbar, status bar,
// view modes, the splitter rule and commands reaching the list from either
// pane.

#include "commands.h"
#include "left_view.h"
#include "main_frame.h"
#include "tarvelin_view.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeView>

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
        {"&File", {{"&New\tCtrl+N", 32794}, {"&Open...\tCtrl+O", 32795}, {"&Save\tCtrl+S", 32796},
                   {"Save &As...", 32797}, {"", 0}, {"E&xit", 57665}}},
        {"&View", {{"&Toolbar", 59392}, {"&Status Bar", 59393}, {"", 0}, {"&Large Icons", 32804},
                   {"Small Icons", 32805}, {"List", 32806}, {"Details", 32807}}},
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

} // namespace
} // namespace tarvelin::shell
