#pragma once

// CExtractDlg: asks where Extract... puts the selected files. It opens with
// the default destination every time (the "Tarvelin" folder in the user's
// temporary folder); "..." chooses a folder; Extract takes the folder shown
// in the edit box, typed or chosen, as the process-wide destination that
// the Extract command reads.

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace tarvelin::shell {

// This run's folder for temporary files, made when missing, inside the
// user's private folder for the program (which only the user can use; see
// platform::PrivateTemporaryFolder). Empty, with the reason, when there is
// none to be had.
QString TarvelinTempFolder(QString* error = nullptr);

// The destination the last extract dialog set.
// Where the extract dialog proposes to extract to: "Tarvelin" in the user's
// downloads folder (or home folder).
QString DefaultExtractFolder();
QString ExtractDestination();
void SetExtractDestination(const QString& folder);

class CExtractDlg final : public QDialog {
public:
    explicit CExtractDlg(QWidget* parent = nullptr);

    // The "..." button: the folder browser titled "Select Add Folder."; a
    // chosen folder is shown in the edit box.
    void OnBrowse();
    void accept() override;

    QString Destination() const;
    QLineEdit* Edit() const { return edit_; }
    QPushButton* BrowseButton() const { return browse_; }
    QPushButton* ExtractButton() const { return extract_; }

    static constexpr const char* kBrowseTitle = "Select Add Folder.";

private:
    QLineEdit* edit_;
    QPushButton* browse_;
    QPushButton* extract_;
};

} // namespace tarvelin::shell
