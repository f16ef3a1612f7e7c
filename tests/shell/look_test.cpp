// The look of the program: the skinned controls and their state, the hyperlink, the About dialog's reveal, and the
// pictures of toolbar and menus.

#include "shell_fixtures.h"

#include "about_dlg.h"
#include "look/hyperlink.h"
#include "look/icons.h"
#include "look/reveal.h"
#include "look/skin.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace tarvelin::shell {
namespace {

using namespace fixture;

// Switches the skin off again whatever a test leaves behind.
struct SkinOffAtEnd {
    ~SkinOffAtEnd() { SkinThread(false); }
};

unsigned StateOf(const QWidget* widget)
{
    const std::optional<SkinRecord> record = FindSkinRecord(widget);
    return record.has_value() ? record->state : ~0U;
}

// A dialog with one control of each skinned kind, and the untouched ones.
struct ControlsDialog {
    ControlsDialog()
    {
        auto* layout = new QVBoxLayout(&dialog);
        for (QWidget* widget : std::initializer_list<QWidget*>{push, check, radio, edit, combo, group, label, tool}) {
            layout->addWidget(widget);
        }
        push->setAutoDefault(false);
        check->setTristate(true);
        combo->addItems({"One", "Two"});
        combo->setEditable(true);
        tool->setText("Tool");
    }
    std::vector<QWidget*> Skinnable() const { return {push, check, radio, edit, combo}; }
    std::vector<QWidget*> All() const { return {push, check, radio, edit, combo, group, label, tool}; }
    QDialog dialog;
    QPushButton* push = new QPushButton("Push");
    QCheckBox* check = new QCheckBox("Check");
    QRadioButton* radio = new QRadioButton("Radio");
    QLineEdit* edit = new QLineEdit("Edit");
    QComboBox* combo = new QComboBox;
    QGroupBox* group = new QGroupBox("Group");
    QLabel* label = new QLabel("Label");
    QToolButton* tool = new QToolButton;
};

TEST(Skin, EachControlGetsItsKindAndItsStateAtTheStart)
{
    SkinOffAtEnd off;
    ControlsDialog controls;
    controls.push->setDefault(true);
    controls.check->setCheckState(Qt::PartiallyChecked);
    controls.radio->setChecked(true);
    controls.edit->setReadOnly(true);
    controls.combo->setEnabled(false);
    // A push-like check box that is set, and an edit box with the focus.
    auto* toggle = new QPushButton("Toggle");
    toggle->setAutoDefault(false);
    toggle->setCheckable(true);
    toggle->setChecked(true);
    auto* focused = new QLineEdit;
    controls.dialog.layout()->addWidget(toggle);
    controls.dialog.layout()->addWidget(focused);
    controls.dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&controls.dialog));
    focused->setFocus();
    const struct {
        QWidget* widget;
        std::optional<SkinKind> kind;
        unsigned state;
    } cases[] = {{controls.push, SkinKind::PushButton, kSkinDefault},
                 {controls.check, SkinKind::CheckBox, kSkinIndeterminate},
                 {controls.radio, SkinKind::RadioButton, kSkinMarked},
                 {controls.edit, SkinKind::EditBox, kSkinReadOnly},
                 {controls.combo, SkinKind::ComboBox, kSkinDisabled},
                 {toggle, SkinKind::PushButton, kSkinMarked},
                 {focused, SkinKind::EditBox, kSkinFocused},
                 {controls.group, std::nullopt, 0},
                 {controls.label, std::nullopt, 0},
                 {controls.tool, std::nullopt, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.widget->metaObject()->className());
        SkinWindow(c.widget, true);
        const std::optional<SkinRecord> record = FindSkinRecord(c.widget);
        ASSERT_EQ(record.has_value(), c.kind.has_value());
        if (record.has_value()) {
            EXPECT_EQ(record->kind, *c.kind);
            EXPECT_EQ(record->state, c.state);
        }
        SkinWindow(c.widget, false);
        EXPECT_FALSE(FindSkinRecord(c.widget).has_value());
    }
    // The edit box inside an editable drop-down list is the list's to draw.
    EXPECT_FALSE(SkinKindOf(*controls.combo->lineEdit()).has_value());
}

TEST(Skin, TheStateFollowsEventsAndEveryChangeIsDrawn)
{
    SkinOffAtEnd off;
    ControlsDialog controls;
    controls.dialog.resize(240, 320);
    for (QWidget* widget : controls.Skinnable()) {
        SkinWindow(widget, true);
    }
    const auto send = [](QWidget* widget, QEvent::Type type) {
        if (type == QEvent::Enter) {
            QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
            QCoreApplication::sendEvent(widget, &enter);
        } else if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
            QFocusEvent focus(type, Qt::TabFocusReason);
            QCoreApplication::sendEvent(widget, &focus);
        } else {
            QEvent event(type);
            QCoreApplication::sendEvent(widget, &event);
        }
    };
    const auto indicator = [](QWidget* w) { return QPoint(6, w->height() / 2); };
    struct Step {
        const char* what;
        QWidget* widget;
        std::function<void(QWidget*)> act;
        unsigned state;
    };
    const Step steps[] = {
        {"mouse over", controls.push, [&](QWidget* w) { send(w, QEvent::Enter); }, kSkinHover},
        {"press", controls.push, [](QWidget* w) { QTest::mousePress(w, Qt::LeftButton); }, kSkinHover | kSkinPressed},
        {"release", controls.push, [](QWidget* w) { QTest::mouseRelease(w, Qt::LeftButton); }, kSkinHover},
        {"mouse leaves", controls.push, [&](QWidget* w) { send(w, QEvent::Leave); }, 0},
        {"focus", controls.push, [&](QWidget* w) { send(w, QEvent::FocusIn); }, kSkinFocused},
        {"focus goes", controls.push, [&](QWidget* w) { send(w, QEvent::FocusOut); }, 0},
        {"default", controls.push, [](QWidget* w) { static_cast<QPushButton*>(w)->setDefault(true); w->grab(); },
         kSkinDefault},
        {"disabled", controls.push, [](QWidget* w) { w->setEnabled(false); }, kSkinDefault | kSkinDisabled},
        {"mouse over a disabled one", controls.push, [&](QWidget* w) { send(w, QEvent::Enter); },
         kSkinDefault | kSkinDisabled},
        {"a click makes it neither", controls.check,
         [&](QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, indicator(w)); }, kSkinIndeterminate},
        {"set", controls.check, [](QWidget* w) { static_cast<QCheckBox*>(w)->setCheckState(Qt::Checked); },
         kSkinMarked},
        {"cleared", controls.check, [](QWidget* w) { static_cast<QCheckBox*>(w)->setCheckState(Qt::Unchecked); }, 0},
        {"press", controls.radio, [&](QWidget* w) { QTest::mousePress(w, Qt::LeftButton, {}, indicator(w)); },
         kSkinPressed},
        {"release sets", controls.radio,
         [&](QWidget* w) { QTest::mouseRelease(w, Qt::LeftButton, {}, indicator(w)); }, kSkinMarked},
        {"focus", controls.radio, [&](QWidget* w) { send(w, QEvent::FocusIn); }, kSkinMarked | kSkinFocused},
        {"read-only", controls.edit, [](QWidget* w) { static_cast<QLineEdit*>(w)->setReadOnly(true); },
         kSkinReadOnly},
        {"focus", controls.edit, [&](QWidget* w) { send(w, QEvent::FocusIn); }, kSkinReadOnly | kSkinFocused},
        {"writable", controls.edit, [](QWidget* w) { static_cast<QLineEdit*>(w)->setReadOnly(false); },
         kSkinFocused},
        {"mouse over", controls.combo, [&](QWidget* w) { send(w, QEvent::Enter); }, kSkinHover},
        {"mouse leaves", controls.combo, [&](QWidget* w) { send(w, QEvent::Leave); }, 0},
        {"whole dialog disabled", controls.combo, [&](QWidget*) { controls.dialog.setEnabled(false); },
         kSkinDisabled},
        {"enabled again", controls.combo, [&](QWidget*) { controls.dialog.setEnabled(true); }, 0},
    };
    controls.dialog.show();
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.widget->metaObject()->className()) + ": " + step.what);
        const unsigned before = StateOf(step.widget);
        const QImage drawnBefore = step.widget->grab().toImage();
        step.act(step.widget);
        EXPECT_EQ(StateOf(step.widget), step.state);
        // Each state is drawn its own way.
        if (StateOf(step.widget) != before) {
            EXPECT_NE(step.widget->grab().toImage(), drawnBefore);
        }
    }
}

TEST(Skin, NewWindowsAreSkinnedAndSwitchingOffGivesEveryControlItsOwnDrawing)
{
    SkinOffAtEnd off;
    ControlsDialog existing;
    existing.dialog.show();
    std::map<QWidget*, QImage> ownDrawing;
    for (QWidget* widget : existing.All()) {
        ownDrawing[widget] = widget->grab().toImage();
    }
    SkinThread(true);
    for (QWidget* widget : existing.Skinnable()) {
        EXPECT_TRUE(FindSkinRecord(widget).has_value()) << widget->metaObject()->className();
        EXPECT_NE(widget->grab().toImage(), ownDrawing[widget]) << widget->metaObject()->className();
    }
    for (QWidget* widget : std::initializer_list<QWidget*>{existing.group, existing.label, existing.tool}) {
        EXPECT_FALSE(FindSkinRecord(widget).has_value());
        EXPECT_EQ(widget->style(), QApplication::style());
    }
    const int skinned = SkinnedCount();
    SkinThread(true);
    EXPECT_EQ(SkinnedCount(), skinned);
    // Dialogs made afterwards, ours or Qt's, are skinned when they show.
    {
        ControlsDialog later;
        QMessageBox box(QMessageBox::Warning, "Tarvelin", "Text", QMessageBox::Ok | QMessageBox::Cancel);
        later.dialog.show();
        box.show();
        for (QWidget* widget : later.Skinnable()) {
            EXPECT_TRUE(FindSkinRecord(widget).has_value()) << widget->metaObject()->className();
        }
        const QList<QAbstractButton*> buttons = box.buttons();
        ASSERT_EQ(buttons.size(), 2);
        for (const QAbstractButton* button : buttons) {
            EXPECT_EQ(FindSkinRecord(button)->kind, SkinKind::PushButton);
        }
    }
    // Their records went with them.
    EXPECT_EQ(SkinnedCount(), skinned);
    // The drop-down list's own list, opened while skinned, outlives the skin.
    existing.combo->showPopup();
    existing.combo->hidePopup();
    SkinThread(false);
    EXPECT_EQ(SkinnedCount(), 0);
    existing.combo->showPopup();
    existing.combo->view()->grab();
    existing.combo->hidePopup();
    for (QWidget* widget : existing.All()) {
        EXPECT_EQ(widget->style(), QApplication::style()) << widget->metaObject()->className();
        EXPECT_EQ(widget->grab().toImage(), ownDrawing[widget]) << widget->metaObject()->className();
    }
    ControlsDialog afterwards;
    afterwards.dialog.show();
    EXPECT_EQ(SkinnedCount(), 0);
}

TEST(HyperLink, IsDrawnInTheLinkThenTheHoverThenTheVisitedColour)
{
    Desktop desktop;
    QWidget host;
    auto* link = new CHyperLink("https://tarvelin.example.org/", &host);
    host.resize(300, 40);
    host.show();
    EXPECT_EQ(link->toolTip(), "https://tarvelin.example.org/");
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    const QColor hover = link->palette().color(QPalette::Active, QPalette::Highlight);
    struct Step {
        const char* what;
        std::function<void()> act;
        QColor colour;
    };
    const Step steps[] = {
        {"at first", [] {}, CHyperLink::LinkColour()},
        {"mouse over", [&] { QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
                             QCoreApplication::sendEvent(link, &enter); }, hover},
        {"opened", [&] { QTest::mouseClick(link, Qt::LeftButton); QEvent leave(QEvent::Leave);
                         QCoreApplication::sendEvent(link, &leave); }, CHyperLink::VisitedColour()},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        const QImage drawn = link->grab().toImage();
        for (const QColor& colour : {CHyperLink::LinkColour(), hover, CHyperLink::VisitedColour()}) {
            if (colour == step.colour) {
                EXPECT_GT(PixelsOf(drawn, colour), 0) << colour.name().toStdString();
            } else {
                EXPECT_EQ(PixelsOf(drawn, colour), 0) << colour.name().toStdString();
            }
        }
    }
    EXPECT_EQ(desktop.opened, std::vector<std::string>{"https://tarvelin.example.org/"});
}

TEST(HyperLink, AFailedOpenSaysWhyACommandGoesToTheMainWindowAndTheProgramGetsTheAddress)
{
    test::TempDir folder;
    const QString missingFile = QString::fromStdString(folder.Path() + "/missing.htm");
    struct Case {
        QString url;
        std::optional<OpenError> desktopFails; // nothing: the desktop's own services
        const char* reason;
    };
    const Case cases[] = {
        {missingFile, std::nullopt, "The specified file was not found."},
        {"/no-such-tarvelin-folder/page.htm", std::nullopt, "The specified path was not found."},
        {"file:///no-such-tarvelin-folder/page.htm", std::nullopt, "The specified path was not found."},
        {"https://tarvelin.example.org/", OpenError::NoAssociation,
         "There is no application associated\nwith the given filename extension."},
        {"https://tarvelin.example.org/", OpenError::AccessDenied,
         "The operating system denied\naccess to the specified file."},
        {"https://tarvelin.example.org/", static_cast<OpenError>(99), "Unknown Error (99) occurred."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.toStdString());
        Prompt prompt;
        std::optional<Desktop> desktop;
        if (c.desktopFails.has_value()) {
            desktop.emplace().openFailure = c.desktopFails;
        }
        CHyperLink link(c.url);
        QTest::mouseClick(&link, Qt::LeftButton);
        EXPECT_EQ(prompt.Texts(), std::vector<std::string>{std::string("Unable to open hyperlink:\n\n") + c.reason});
        EXPECT_EQ(prompt.asked.at(0).icon, platform::PromptIcon::Warning);
        EXPECT_FALSE(link.Visited());
        EXPECT_EQ(link.TextColour(), CHyperLink::LinkColour());
    }
    // With a command, a click runs it in the main window and opens nothing.
    Desktop desktop;
    CMainFrame frame;
    frame.show();
    QToolBar* toolBar = frame.findChild<QToolBar*>("ToolBar");
    ASSERT_TRUE(toolBar->isVisible());
    CHyperLink link("https://tarvelin.example.org/");
    link.SetCommand(ID_VIEW_TOOLBAR);
    QTest::mouseClick(&link, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !toolBar->isVisible(); }));
    EXPECT_TRUE(desktop.opened.empty());
    // The registered program gets the address in place of its placeholder.
    const QString url = "https://tarvelin.example.org/";
    const std::pair<QString, QString> commandLines[] = {
        {R"("C:\Program Files\Browser\browser.exe" -osint -url "%1")",
         R"("C:\Program Files\Browser\browser.exe" -osint -url https://tarvelin.example.org/)"},
        {R"(C:\browser.exe %1 --new-window)", R"(C:\browser.exe https://tarvelin.example.org/)"},
        {R"(C:\browser.exe "%1" "%1")", R"(C:\browser.exe https://tarvelin.example.org/)"},
        {R"(C:\browser.exe)", R"(C:\browser.exe https://tarvelin.example.org/)"},
    };
    for (const auto& [command, line] : commandLines) {
        EXPECT_EQ(LinkCommandLine(command, url), line) << command.toStdString();
    }
}

TEST(Reveal, StripsComeInTheRandomOrderAndAreBlendedOverGreyAtTheirOwnOpacity)
{
    struct Case {
        int height;
        std::vector<int> picks;
        std::vector<int> order;
    };
    const Case cases[] = {
        {15, {4, 4, 0, 4, 4}, {4, 0, 1, 2, 3}},
        {13, {2, 2, 2, 2, 2}, {2, 3, 4, 0, 1}},
        {7, {1, 0, 2}, {1, 0, 2}},
        {1, {0}, {0}},
        {0, {}, {}},
    };
    for (const Case& c : cases) {
        std::size_t next = 0;
        EXPECT_EQ(RevealOrder(RevealStripCount(c.height), [&](int) { return c.picks.at(next++); }), c.order)
            << "height " << c.height;
    }
    // Each strip is blended over grey at its own opacity, or ANDed with it.
    const std::pair<int, int> opacities[] = {{0, 15}, {1, 17}, {50, 115}, {120, 255}, {121, 1}, {200, 159}};
    for (const auto& [index, opacity] : opacities) {
        EXPECT_EQ(RevealOpacity(index), opacity) << "strip " << index;
    }
    // A white screen under a dialog of 8 strips, the last one 2 pixels high.
    QImage screen(10, 23, QImage::Format_RGB32);
    screen.fill(QColor(255, 255, 255));
    CAboutDlg dialog;
    dialog.StartReveal(screen, {7, 0, 3, 1, 6, 2, 5, 4});
    ASSERT_TRUE(WaitFor([&] { return !dialog.Revealing(); }));
    const QImage& canvas = dialog.RevealCanvas();
    for (int y = 0; y < canvas.height(); ++y) {
        const int expected = 128 + (127 * RevealOpacity(y / 3) + 127) / 255;
        EXPECT_NEAR(canvas.pixelColor(5, y).red(), expected, 1) << "row " << y;
    }
    // Where blending is not used, the strip is ANDed with the grey.
    QImage grey(4, 6, QImage::Format_RGB32);
    grey.fill(QColor(128, 128, 128));
    QImage coloured(4, 6, QImage::Format_RGB32);
    coloured.fill(QColor(200, 100, 50));
    DrawRevealStrip(grey, coloured, 1, false);
    EXPECT_EQ(grey.pixelColor(0, 0), QColor(128, 128, 128));
    EXPECT_EQ(grey.pixelColor(3, 4), QColor(128 & 200, 128 & 100, 128 & 50));
}

TEST(Pictures, MenuItemsOfToolbarCommandsShowTheToolbarsPicture)
{
    CMainFrame frame;
    const std::vector<int>& toolbar = ToolBarLayout();
    int withPicture = 0;
    for (QAction* menu : frame.menuBar()->actions()) {
        for (QAction* item : menu->menu()->actions()) {
            if (item->isSeparator() || item->menu() != nullptr) {
                continue;
            }
            const bool onToolbar = std::ranges::count(toolbar, item->data().toInt()) > 0;
            EXPECT_EQ(!item->icon().isNull(), onToolbar) << item->text().toStdString();
            EXPECT_TRUE(!onToolbar || item->isIconVisibleInMenu()) << item->text().toStdString();
            withPicture += onToolbar ? 1 : 0;
        }
    }
    EXPECT_EQ(withPicture, static_cast<int>(std::ranges::count_if(toolbar, [](int id) { return id != 0; })));
    // The pictures are drawn, each its own.
    std::vector<QImage> drawn;
    for (int id : toolbar) {
        if (id != 0) {
            drawn.push_back(frame.CommandAction(id)->icon().pixmap(32, 32).toImage());
            EXPECT_EQ(drawn.back().size(), QSize(32, 32)) << id;
        }
    }
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        for (std::size_t j = i + 1; j < drawn.size(); ++j) {
            EXPECT_NE(drawn[i], drawn[j]) << i << " and " << j;
        }
    }
    EXPECT_FALSE(frame.windowIcon().pixmap(32, 32).isNull());
    EXPECT_TRUE(CommandIcon(ID_FILE_SAVEISOAS).isNull());
}

} // namespace
} // namespace tarvelin::shell
