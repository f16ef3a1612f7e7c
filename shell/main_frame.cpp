#include "main_frame.h"

#include "about_dlg.h"
#include "commands.h"
#include "left_view.h"
#include "look/icons.h"
#include "recent_files.h"
#include "tarvelin_view.h"

#include "iso/dir_entry.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QResizeEvent>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>

#include <algorithm>
#include <array>
#include <ranges>
#include <utility>

namespace tarvelin::shell {

namespace {

QString Text(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool IsViewMode(int id)
{
    return id >= ID_VIEW_LARGEICON && id <= ID_VIEW_DETAILS;
}

constexpr std::array<std::pair<int, TreeChoice>, 5> kNameChoices{{
    {ID_VIEW_NAMES_AUTOMATIC, TreeChoice::Automatic},
    {ID_VIEW_NAMES_ROCKRIDGE, TreeChoice::RockRidge},
    {ID_VIEW_NAMES_JOLIET, TreeChoice::Joliet},
    {ID_VIEW_NAMES_ISO, TreeChoice::Iso},
    {ID_VIEW_NAMES_UDF, TreeChoice::Udf},
}};

// The tree and names a command shows; null when it is no such choice.
const TreeChoice* NameSourceOf(int id)
{
    for (const auto& [command, source] : kNameChoices) {
        if (command == id) {
            return &source;
        }
    }
    return nullptr;
}

} // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent), doc_(std::make_unique<CTarvelinDoc>())
{
    setWindowTitle(QStringLiteral("Tarvelin"));
    setWindowIcon(ProgramIcon());
    resize(600, 450);
    CreateActions();
    CreateMenuBar();
    CreateToolBar();
    CreateStatusBar();
    CreateClient();
    UpdateCommandStates();
}

CMainFrame::~CMainFrame()
{
    // The panes go before the document they point into.
    delete splitter_;
    splitter_ = nullptr;
}

void CMainFrame::CreateActions()
{
    viewModes_ = new QActionGroup(this);
    viewModes_->setExclusive(true);
    nameChoices_ = new QActionGroup(this);
    nameChoices_->setExclusive(true);
    std::vector<int> ids;
    for (const MenuLayout& menu : MenuBarLayout()) {
        for (int id : menu.items) {
            if (id != 0) {
                ids.push_back(id);
            }
        }
    }
    // Commands that only the list's context menu shows.
    for (int id : ListContextMenuLayout()) {
        if (id != 0 && std::ranges::find(ids, id) == ids.end()) {
            ids.push_back(id);
        }
    }
    for (int id : ids) {
        const CommandInfo* command = FindCommand(id);
        auto* action = new QAction(Text(command->menuText), this);
        action->setData(id);
        action->setObjectName(QStringLiteral("command%1").arg(id));
        if (!command->prompt.empty()) {
            action->setStatusTip(Text(StatusPrompt(command->prompt)));
            action->setToolTip(Text(ToolTip(command->prompt)));
        }
        actions_[id] = action;
        if (IsViewMode(id)) {
            action->setCheckable(true);
            viewModes_->addAction(action);
            connect(action, &QAction::triggered, this, [this, id] { OnViewMode(id); });
        } else if (NameSourceOf(id) != nullptr) {
            action->setCheckable(true);
            nameChoices_->addAction(action);
            connect(action, &QAction::triggered, this, [this, id] { OnNameChoice(id); });
        } else if (id >= kFirstForwardedCommand && id <= kLastForwardedCommand) {
            connect(action, &QAction::triggered, this, [this, id] { OnForwardedCommand(id); });
        }
    }
    // The keys the File menu shows run the menu's own commands. Select All
    // has its keys inside this window only.
    actions_[ID_FILE_NEWISO]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    actions_[ID_FILE_OPENISO]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    actions_[ID_FILE_SAVEISO]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    actions_[ID_ACTIONS_DELETE]->setShortcut(QKeySequence(Qt::Key_Delete));
    actions_[ID_EDIT_RENAME]->setShortcut(QKeySequence(Qt::Key_F2));
    actions_[ID_EDIT_NEWFOLDER]->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N));
    actions_[ID_ACTIONS_SELECTALL]->setShortcuts(QList<QKeySequence>{
        QKeySequence(Qt::CTRL | Qt::Key_A), QKeySequence(QKeyCombination(Qt::ControlModifier | Qt::KeypadModifier, Qt::Key_1))});
    for (QAction* action : actions_ | std::views::values) {
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
    }
    actions_[ID_VIEW_DETAILS]->setChecked(true);
    actions_[ID_FILE_BUILDUDF]->setCheckable(true);

    QAction* exit = actions_[ID_APP_EXIT];
    connect(exit, &QAction::triggered, this, &QWidget::close);
    connect(actions_[ID_APP_ABOUT], &QAction::triggered, this, [this] { CAboutDlg(this).exec(); });
}

void CMainFrame::CreateMenuBar()
{
    for (const MenuLayout& layout : MenuBarLayout()) {
        QMenu* menu = menuBar()->addMenu(Text(layout.title));
        for (int id : layout.items) {
            if (id == 0) {
                menu->addSeparator();
            } else {
                menu->addAction(actions_.at(id));
            }
            if (id == ID_FILE_OPENISO) {
                recentMenu_ = menu->addMenu(QStringLiteral("Open &Recent"));
                recentMenu_->setObjectName(QStringLiteral("RecentMenu"));
                connect(recentMenu_, &QMenu::aboutToShow, this, &CMainFrame::FillRecentMenu);
                FillRecentMenu();
            }
        }
    }
}

void CMainFrame::CreateToolBar()
{
    toolBar_ = new QToolBar(QStringLiteral("Toolbar"), this);
    toolBar_->setObjectName(QStringLiteral("ToolBar"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(32, 32));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    // A toolbar button and the menu item of the same command are one
    // action: the menu shows the button's picture beside its text.
    for (int id : ToolBarLayout()) {
        if (id == 0) {
            toolBar_->addSeparator();
            continue;
        }
        QAction* action = actions_.at(id);
        action->setIcon(CommandIcon(id));
        action->setIconVisibleInMenu(true);
        toolBar_->addAction(action);
    }
    addToolBar(Qt::TopToolBarArea, toolBar_);
    QAction* toggle = actions_[ID_VIEW_TOOLBAR];
    toggle->setCheckable(true);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, toolBar_, &QWidget::setVisible);
}

void CMainFrame::CreateStatusBar()
{
    QStatusBar* bar = statusBar();
    // A prompt shown while the pointer is on a command hides this text, and
    // it comes back when the prompt is cleared.
    idleMessage_ = new QLabel(QStringLiteral("Ready"), bar);
    idleMessage_->setObjectName(QStringLiteral("IdleMessage"));
    bar->addWidget(idleMessage_, 1);
    sizeLabel_ = new QLabel(bar);
    sizeLabel_->setObjectName(QStringLiteral("SizeLabel"));
    bar->addPermanentWidget(sizeLabel_);
    for (const char* indicator : {"CAP", "NUM", "SCRL"}) {
        auto* label = new QLabel(QString::fromLatin1(indicator), bar);
        label->setObjectName(QString::fromLatin1(indicator));
        label->setFrameShape(QFrame::StyledPanel);
        // The state of the lock keys cannot be read portably; the
        // indicators stay dimmed.
        label->setEnabled(false);
        bar->addPermanentWidget(label);
    }
    QAction* toggle = actions_[ID_VIEW_STATUS_BAR];
    toggle->setCheckable(true);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, bar, &QWidget::setVisible);
}

void CMainFrame::CreateClient()
{
    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setObjectName(QStringLiteral("Splitter"));
    splitter_->setChildrenCollapsible(false);
    auto* list = new CTarvelinView(doc_.get(), splitter_);
    auto* tree = new CLeftView(doc_.get(), splitter_);
    // Neither pane gets narrower than 50 pixels.
    tree->setMinimumWidth(50);
    list->setMinimumWidth(50);
    splitter_->insertWidget(0, tree);
    splitter_->insertWidget(1, list);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    setCentralWidget(splitter_);
    tree->RebuildTree(&list->ComposeRoot());
    connect(list, &CTarvelinView::imageChanged, this, &CMainFrame::UpdateCommandStates);
    connect(list, &CTarvelinView::contentsChanged, this, &CMainFrame::UpdateDocumentTexts);
    connect(list, &CTarvelinView::imageChanged, this, &CMainFrame::UpdateDocumentTexts);

    connect(list, &CTarvelinView::contextMenuRequested, this, [this](const QPoint& position) {
        QMenu menu(this);
        for (int id : ListContextMenuLayout()) {
            if (id == 0) {
                menu.addSeparator();
            } else {
                menu.addAction(actions_.at(id));
            }
        }
        menu.exec(position);
    });
    // F6 and Shift+F6 move the focus between the panes.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_F6), QKeySequence(Qt::SHIFT | Qt::Key_F6)}) {
        auto* shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, this, [this] {
            CLeftView* left = GetLeftPane();
            CTarvelinView* right = GetRightPane();
            if (left == nullptr || right == nullptr) {
                return;
            }
            if (left->hasFocus()) {
                right->setFocus();
            } else {
                left->setFocus();
            }
        });
    }
    splitter_->installEventFilter(this);
    splitterReady_ = true;
    ApplySplitRule();
}

CTarvelinView* CMainFrame::GetRightPane() const
{
    return splitter_ == nullptr ? nullptr : qobject_cast<CTarvelinView*>(splitter_->widget(1));
}

CLeftView* CMainFrame::GetLeftPane() const
{
    return splitter_ == nullptr ? nullptr : qobject_cast<CLeftView*>(splitter_->widget(0));
}

QAction* CMainFrame::CommandAction(int id) const
{
    const auto found = actions_.find(id);
    return found == actions_.end() ? nullptr : found->second;
}

void CMainFrame::RunCommand(int id)
{
    if (QAction* action = CommandAction(id); action != nullptr && action->isEnabled()) {
        action->trigger();
    }
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event)
{
    // The splitter follows every resize of the window; its new size is known
    // here, before it spreads the change over its panes itself.
    if (watched == splitter_ && event->type() == QEvent::Resize && splitterReady_ && !isMinimized()) {
        ApplySplitRule();
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::ApplySplitRule()
{
    // The tree takes a quarter of the window's width and the list the rest;
    // a divider the user moved goes back to that at the next resize.
    const int windowWidth = frameGeometry().width();
    const int left = std::max(50, windowWidth / 4);
    const int right = std::max(50, splitter_->width() - left - splitter_->handleWidth());
    splitter_->setSizes({left, right});
}

void CMainFrame::OnForwardedCommand(int id)
{
    if (CTarvelinView* list = GetRightPane(); list != nullptr) {
        list->HandleCommand(id);
        if (id == ID_FILE_BUILDUDF) {
            actions_[id]->setChecked(list->BuildsUdf());
        }
    }
}

void CMainFrame::OnViewMode(int id)
{
    if (CTarvelinView* list = GetRightPane(); list != nullptr) {
        list->SetViewMode(id);
        actions_[id]->setChecked(true);
    }
}

void CMainFrame::OnNameChoice(int id)
{
    if (CTarvelinView* list = GetRightPane(); list != nullptr) {
        list->ChooseTree(*NameSourceOf(id));
    }
    // The mark goes back to the names in force when the user cancelled, or
    // stays there until a save asked for first has ended.
    UpdateCommandStates();
}

void CMainFrame::FillRecentMenu()
{
    recentMenu_->clear();
    const QStringList paths = RecentFileList::Paths();
    for (int i = 0; i < paths.size(); ++i) {
        const QString path = paths[i];
        QAction* open = recentMenu_->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(path));
        connect(open, &QAction::triggered, this, [this, path] {
            if (CTarvelinView* list = GetRightPane(); list != nullptr) {
                list->OpenRecent(path.toStdString());
            }
        });
    }
    recentMenu_->setEnabled(!paths.isEmpty());
}

void CMainFrame::UpdateDocumentTexts()
{
    if (CTarvelinView* list = GetRightPane(); list != nullptr) {
        setWindowTitle(list->TitleText());
        sizeLabel_->setText(list->SizeStatusText());
    }
}

void CMainFrame::UpdateCommandStates()
{
    CTarvelinView* list = GetRightPane();
    for (const auto& [id, action] : actions_) {
        if (IsViewMode(id)) {
            action->setEnabled(list != nullptr);
        } else if (const TreeChoice* source = NameSourceOf(id); source != nullptr) {
            // A composition has only the names the user gave; an image
            // without Rock Ridge has no such names to show, one without a
            // readable UDF volume no UDF tree, and one of UDF alone no
            // ISO 9660 tree.
            bool available = list != nullptr && list->HasOpenedImage();
            if (available && *source == TreeChoice::RockRidge) {
                available = list->ImageHasRockRidge();
            } else if (available && *source == TreeChoice::Udf) {
                available = list->Controller().HasUdfTree();
            } else if (available && *source != TreeChoice::Automatic) {
                available = list->Controller().Edit() != nullptr;
            }
            action->setEnabled(available);
            if (list != nullptr && list->ChosenTree() == *source) {
                action->setChecked(true);
            }
        } else if (id >= kFirstForwardedCommand && id <= kLastForwardedCommand) {
            // Commands the list cannot carry out yet are shown dimmed.
            action->setEnabled(list != nullptr && list->HasHandler(id));
        }
    }
}

} // namespace tarvelin::shell
