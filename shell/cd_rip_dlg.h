#pragma once

// CCdRipDlg: makes an ISO image of the data CD in a drive. It creates its
// capture component when it opens and lists the drives by letter, with the
// device behind each; "Make" prepares and starts the capture of the chosen
// drive into the output path (typed into the combo box or chosen with
// "..."). The capture runs on the component's worker; its reports reach the
// bar through the GUI bridge, and the component is released on the GUI
// thread once the worker has made its last report: a second after a
// finished capture (the full bar stays that long), at once after a failed
// one. Afterwards the dialog holds no component, and Make stays dimmed.
// While a capture runs the dialog cannot be closed.

#include "gui_thread.h"
#include "shell_services.h"

#include "capture/cd_rip.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <cstdint>
#include <vector>

class QComboBox;
class QPushButton;

namespace tarvelin::shell {

class CTextProgressCtrl;

class CCdRipDlg final : public QDialog {
public:
    static constexpr const char* kCaptureError = "Sorry,Maybe have some errors";
    static constexpr int kFullBarMs = 1000;
    // Shown in the empty drive list; Make stays dimmed.
    static constexpr const char* kNoDrive = "no CD-ROM drive found";

    explicit CCdRipDlg(QWidget* parent = nullptr);
    ~CCdRipDlg() override;

    // The output path the dialog starts with.
    static QString DefaultOutputPath();

    void OnBrowse();
    void OnMake();
    // Refused while a capture runs.
    void reject() override;

    QComboBox* DriveList() const { return drives_; }
    QComboBox* OutputBox() const { return output_; }
    QPushButton* BrowseButton() const { return browse_; }
    QPushButton* MakeButton() const { return make_; }
    QPushButton* ExitButton() const { return exit_; }
    CTextProgressCtrl* Bar() const { return bar_; }
    bool HoldsComponent() const { return rip_ != nullptr; }
    bool Running() const { return running_; }

private:
    // The capture's reports, on its thread.
    bool OnProgress(const JobProgress& done);
    void OnJobEnd(const JobReport& end);
    void OnEnd(bool finished);
    void Release();
    void SetRunning(bool running);

    ComponentPtr<ICdRip> rip_;
    std::vector<char> letters_;
    QComboBox* drives_;
    QComboBox* output_;
    QPushButton* browse_;
    QPushButton* make_;
    QPushButton* exit_;
    CTextProgressCtrl* bar_;
    bool running_ = false;
    // The output path the file dialog gave, asked about there.
    QString chosenOutput_;
    std::atomic<std::int32_t> lastValue_{0};
    GuiBridge bridge_{this};
};

} // namespace tarvelin::shell
