#pragma once

// The main window: menu bar, toolbar, status bar and a splitter of two
// panes, the folder tree (left) and the file list (right). The frame
// handles the view modes, the names an image shows, and the toolbar and
// status bar items; every other command of the list's range goes to the
// list by number.

#include "tarvelin_doc.h"

#include <QMainWindow>

#include <map>
#include <memory>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QSplitter;
class QToolBar;

namespace tarvelin::shell {

class CLeftView;
class CTarvelinView;

class CMainFrame final : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The list in the right pane; null when that pane is not a list.
    CTarvelinView* GetRightPane() const;
    CLeftView* GetLeftPane() const;
    CTarvelinDoc& Document() { return *doc_; }
    QSplitter* Splitter() const { return splitter_; }
    QLabel* IdleMessage() const { return idleMessage_; }
    QLabel* SizeLabel() const { return sizeLabel_; }
    QMenu* RecentMenu() const { return recentMenu_; }

    // The action of a command number; null when the program has none.
    QAction* CommandAction(int id) const;
    // Runs a command as its menu item would.
    void RunCommand(int id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateActions();
    void CreateMenuBar();
    void CreateToolBar();
    void CreateStatusBar();
    void CreateClient();
    void ApplySplitRule();
    void OnForwardedCommand(int id);
    void OnViewMode(int id);
    void OnNameChoice(int id);
    void UpdateCommandStates();
    // The Open Recent submenu, from the kept list of images.
    void FillRecentMenu();
    // The window's title and the size in the status bar, from the list.
    void UpdateDocumentTexts();

    // Owned here; the panes hold plain pointers to it and die first.
    std::unique_ptr<CTarvelinDoc> doc_;
    std::map<int, QAction*> actions_;
    QActionGroup* viewModes_ = nullptr;
    QActionGroup* nameChoices_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QLabel* idleMessage_ = nullptr;
    QLabel* sizeLabel_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    bool splitterReady_ = false;
};

} // namespace tarvelin::shell
