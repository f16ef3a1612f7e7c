#pragma once

// The three conversion dialogs: BIN to ISO, any image to ISO, ISO to BIN.
// Each has a source and an output path, each with a "..." chooser, a
// self-painting bar and its start button; it creates its converter, drives
// it and releases it when it closes (or before the next conversion).
//
// The paths used are the ones in the edit boxes, typed or chosen. Image to
// ISO runs on the GUI thread, which keeps serving events from the progress
// reports; ISO to BIN runs on the converter's worker, whose reports reach
// the bar through the GUI bridge. While a conversion runs the dialog can
// neither be closed nor start another one.

#include "gui_thread.h"
#include "shell_services.h"

#include "convert/bin2iso.h"
#include "convert/iso2bin.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <cstdint>
#include <string>

class QLineEdit;
class QPushButton;

namespace tarvelin::shell {

class CTextProgressCtrl;

// What tells the three dialogs apart.
struct ConvertDlgTexts {
    const char* title;
    const char* sourceLabel;
    const char* outputLabel;
    const char* startButton;
    FileDialogSpec sourceChooser;
    FileDialogSpec outputChooser;
    const char* openFailText;
    const char* openFailCaption;
    const char* writeFailText;
    const char* writeFailCaption;
};

class CConvertDlg : public QDialog {
public:
    static constexpr const char* kSucceeded = "Congratulations,Convert successful!";
    static constexpr const char* kFailed = "Convert failed!";

    ~CConvertDlg() override;

    const ConvertDlgTexts& Texts() const { return texts_; }
    QLineEdit* SourceEdit() const { return sourceEdit_; }
    QLineEdit* OutputEdit() const { return outputEdit_; }
    QPushButton* SourceBrowse() const { return sourceBrowse_; }
    QPushButton* OutputBrowse() const { return outputBrowse_; }
    QPushButton* StartButton() const { return startButton_; }
    QPushButton* ExitButton() const { return exitButton_; }
    CTextProgressCtrl* Bar() const { return bar_; }
    bool Running() const { return running_; }

    // The start button.
    void OnStart();
    // Refused while a conversion runs.
    void reject() override;

protected:
    CConvertDlg(const ConvertDlgTexts& texts, QWidget* parent);

    // Creates the converter and opens both files; false (with the message
    // shown) when it could not.
    virtual bool Open(const std::string& source, const std::string& output) = 0;
    // Runs or starts the conversion with the dialog's callback; false when
    // it could not start.
    virtual bool Run() = 0;
    // After the last report: the reason of a failure (the converter is
    // done with it by then).
    virtual QString FailureReason() = 0;
    // Empty, or what the source lacks that the output lacks too.
    virtual QString SourceWarning() = 0;
    virtual void ReleaseConverter() = 0;

    void ShowOpenFailure();
    void ShowWriteFailure();
    void ShowFailure(const char* text, const char* caption);
    // The converter's reports, on whichever thread it runs: the fraction
    // done (false once the dialog is going), and how the conversion ended.
    bool OnProgress(const JobProgress& done);
    void OnJobEnd(const JobReport& end);
    // The end of a conversion, on the GUI thread once the converter has
    // made its last report.
    void Finish();

private:
    void Browse(bool source);
    // Whether an existing output file may be replaced (asks the user).
    bool ConfirmReplace();
    void SetRunning(bool running);

    ConvertDlgTexts texts_;
    QLineEdit* sourceEdit_;
    QLineEdit* outputEdit_;
    QPushButton* sourceBrowse_;
    QPushButton* outputBrowse_;
    QPushButton* startButton_;
    QPushButton* exitButton_;
    CTextProgressCtrl* bar_;
    bool running_ = false;
    // The output the file dialog has already asked to replace.
    QString confirmedOutput_;
    std::atomic<std::int32_t> lastValue_{0};
    std::atomic<bool> succeeded_{false};

protected:
    // Last member: closed first, before the converter is released.
    GuiBridge bridge_{this};
};

// Image to ISO, on the GUI thread.
class CBin2IsoConvertDlg : public CConvertDlg {
public:
    ~CBin2IsoConvertDlg() override;

protected:
    CBin2IsoConvertDlg(const ConvertDlgTexts& texts, QWidget* parent) : CConvertDlg(texts, parent) {}
    bool Open(const std::string& source, const std::string& output) override;
    bool Run() override;
    QString FailureReason() override;
    QString SourceWarning() override;
    void ReleaseConverter() override;

private:
    ComponentPtr<IBin2Iso> converter_;
};

class CBinToIsoDlg final : public CBin2IsoConvertDlg {
public:
    explicit CBinToIsoDlg(QWidget* parent = nullptr);
};

class CAnyToIsoDlg final : public CBin2IsoConvertDlg {
public:
    explicit CAnyToIsoDlg(QWidget* parent = nullptr);
};

// ISO to BIN and CUE, on the converter's worker thread.
class CIsoToBinDlg final : public CConvertDlg {
public:
    explicit CIsoToBinDlg(QWidget* parent = nullptr);
    ~CIsoToBinDlg() override;

protected:
    bool Open(const std::string& source, const std::string& output) override;
    bool Run() override;
    QString FailureReason() override;
    QString SourceWarning() override;
    void ReleaseConverter() override;

private:
    ComponentPtr<IIso2Bin> converter_;
};

} // namespace tarvelin::shell
