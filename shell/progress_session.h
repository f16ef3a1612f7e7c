#pragma once

// ProgressSession: the save of an edited image and the build of a new one
// as the list view runs them. It shows the progress dialog, takes the
// engine's reports on the worker thread and carries them to the dialog,
// asks "Are you sure to cancel" when Cancel was pressed, and reports the
// end on the GUI thread.
//
// The session takes the engine's job reports (a fraction done, then the
// end with its reason) and shows the fraction over the dialog's whole
// range. A build's builder belongs to the session from StartBuild on and is released on the
// GUI thread once its worker has made its last call (the final report, or
// the report answered false after a confirmed cancel), never while the
// worker still runs. A save's facade stays the caller's: it must not be
// released before saveFinished; should the session go first, its
// destructor waits for the save's final report.

#include "progress_dlg.h"
#include "gui_thread.h"

#include "core/component.h"
#include "core/job.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class QWidget;

namespace tarvelin {
class IIsoEdit;
class IIsoBuild;
} // namespace tarvelin

namespace tarvelin::shell {

class ProgressSession final : public QObject {
    Q_OBJECT
public:
    // owner: the window whose top-level window owns the progress dialog.
    explicit ProgressSession(QWidget* owner, QObject* parent = nullptr);
    ~ProgressSession() override;

    CProgressDlg& Dialog() { return dialog_; }
    // Creates the dialog the first time, shows it again later, and sets the
    // range 0..2000 and the step 1; the position stays where the last
    // operation left it until the first report.
    void ShowDialog();

    // Shows the dialog and starts the save. False, with a message saying
    // why, when the save cannot start or another operation is running.
    bool StartSave(IIsoEdit* edit);
    // Takes the builder (output set, sources added), shows the dialog and
    // starts the build. False, with a message saying why, when the build
    // cannot start; the builder has then been released.
    bool StartBuild(ComponentPtr<IIsoBuild> builder);
    // From a Start until the end has been handled on the GUI thread.
    bool Busy() const { return busy_; }
    // Cuts the session off from a running worker, before the owner releases
    // a component from the GUI thread: a question in flight gets No, later
    // reports get false without touching any window (a build stops, a save
    // runs to its end), and no end is reported.
    void Close();

    static constexpr const char* kCancelQuestion = "Are you sure to cancel";

signals:
    // On the GUI thread, after the save's final report: saved is false when
    // the save failed (the failure has been shown with its reason).
    void saveFinished(bool saved);
    // On the GUI thread, once the builder is released: built is true when
    // the image is complete, false when the build failed (shown with its
    // reason) or was cancelled.
    void buildFinished(bool built);

private:
    bool OnSaveProgress(const JobProgress& progress);
    void OnSaveEnd(const JobReport& end);
    bool OnBuildProgress(const JobProgress& progress);
    void OnBuildEnd(const JobReport& end);
    // The dialog's position for a fraction done: below the end of its range
    // until the end is reported.
    static std::int32_t PositionOf(const JobProgress& progress);
    void PostPosition(std::int32_t value);
    bool ConfirmCancel();
    // detail: why the save failed, or what a finished save noticed.
    void FinishSave(bool saved, const QString& detail);
    // detail: why the build failed, or what a finished build left out.
    void FinishBuild(bool built, bool cancelled, const QString& detail);
    // The save's last call has been made; nothing of the session is used
    // by it afterwards.
    void MarkWorkerDone();

    QWidget* owner_;
    CProgressDlg dialog_;
    GuiBridge bridge_;
    IIsoEdit* edit_ = nullptr;
    ComponentPtr<IIsoBuild> builder_;
    bool busy_ = false;
    std::atomic<bool> buildCancelled_{false};
    std::atomic<std::int32_t> lastPosted_{0};
    std::mutex workerMutex_;
    std::condition_variable workerDone_;
    // A save's worker may still call (the builder's worker is waited for
    // by releasing the builder).
    bool workerRunning_ = false;
};

} // namespace tarvelin::shell
