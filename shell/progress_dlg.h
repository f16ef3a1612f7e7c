#pragma once

// CProgressDlg: the modeless progress dialog of the save of an edited image
// and of the build of a new one: a percent text above a bar and a Cancel
// button. Cancel only raises a flag; whoever runs the operation reads it
// (CheckCancelButton) and decides. The owner window stays usable while the
// dialog is up. After each operation the dialog is hidden, not destroyed.
//
// Everything but CheckCancelButton belongs to the GUI thread.

#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>

#include <atomic>

namespace tarvelin::shell {

class CProgressDlg {
public:
    explicit CProgressDlg(QString caption = QStringLiteral("Progress"));
    ~CProgressDlg();
    CProgressDlg(const CProgressDlg&) = delete;
    CProgressDlg& operator=(const CProgressDlg&) = delete;

    // Makes the dialog window, owned by the top-level window of `owner`,
    // and shows it; the owner is not disabled. False when it exists already.
    bool Create(QWidget* owner);
    // Destroys the window (a later Create makes a new one).
    void Destroy();
    bool Exists() const { return window_ != nullptr; }
    void Show();
    void Hide();
    bool IsVisible() const;

    void SetRange(int lower, int upper);
    void SetStep(int step);
    // Sets the bar and the percent text; returns the previous position.
    // Serves pending GUI events first, so the Cancel button is heard.
    int SetPos(int pos);
    // SetPos without serving events, for positions carried over from a
    // worker: they arrive from the event loop already, and serving events
    // there would let a later position overtake this one.
    int UpdatePos(int pos);
    int GetPos() const { return pos_; }
    int Lower() const { return lower_; }
    int Upper() const { return upper_; }
    int Step() const { return step_; }
    // Whether Cancel was pressed since the last call; the flag is cleared.
    // Any thread may call it; on the GUI thread pending events are served
    // first.
    bool CheckCancelButton();

    // What the percent text shows for a position: the integer percentage of
    // the range, taken modulo 100 unless it is exactly 100 ("25%", "100%").
    static QString PercentText(int pos, int lower, int upper);

    QDialog* Window() const { return window_; }
    QString ShownPercent() const;
    QPushButton* CancelButton() const { return cancelButton_; }
    QProgressBar* Bar() const { return bar_; }

private:
    QString caption_;
    QPointer<QDialog> window_;
    QPointer<QProgressBar> bar_;
    QPointer<QLabel> percent_;
    QPointer<QPushButton> cancelButton_;
    int lower_ = 0;
    int upper_ = 100;
    int step_ = 1;
    int pos_ = 0;
    // Written by the Cancel button on the GUI thread, read and cleared by
    // the thread that runs the operation.
    std::atomic<bool> cancelled_{false};
};

} // namespace tarvelin::shell
