// The modal dialogs: extract, About, the three conversions over real images
// and the CD-ROM capture from the simulated drive. Questions and messages
// are answered and recorded through the prompt; file and folder choosers
// through the scripted desktop services.

#include "dialog_fixtures.h"
#include "extract_dlg.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QPushButton>

#include <filesystem>

namespace tarvelin::shell {
namespace {

namespace fs = std::filesystem;

TEST(ExtractDlg, OpensWithTheDefaultEveryTimeAndBrowsesForAFolder)
{
    test::ScriptedShellServices desktop;
    test::InstalledPrompt prompts;
    const QString fallback = QDir::toNativeSeparators(QDir(QDir::tempPath()).filePath("Tarvelin"));
    {
        CExtractDlg dialog;
        EXPECT_EQ(dialog.windowTitle(), "Extract Files...");
        EXPECT_EQ(dialog.Edit()->text(), fallback);
        EXPECT_EQ(ExtractDestination(), fallback);
        EXPECT_EQ(dialog.ExtractButton()->text(), "Extract");
        EXPECT_TRUE(dialog.ExtractButton()->isDefault());

        // Cancelled browsing changes nothing.
        desktop.Choose("");
        dialog.BrowseButton()->click();
        EXPECT_EQ(dialog.Edit()->text(), fallback);

        desktop.Choose("/srv/out");
        dialog.BrowseButton()->click();
        ASSERT_EQ(desktop.calls.size(), 2U);
        EXPECT_TRUE(desktop.calls[1].folder);
        EXPECT_EQ(desktop.calls[1].title, "Select Add Folder.");
        EXPECT_EQ(dialog.Edit()->text(), "/srv/out");
        dialog.ExtractButton()->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(ExtractDestination(), "/srv/out");
    }
    {
        // Whatever was chosen before, a new dialog starts from the default;
        // a folder typed into the box is the one used.
        CExtractDlg dialog;
        EXPECT_EQ(dialog.Edit()->text(), fallback);
        dialog.Edit()->setText("/srv/typed");
        dialog.ExtractButton()->click();
        EXPECT_EQ(ExtractDestination(), "/srv/typed");
    }
    {
        // An emptied box is refused with a word, and the dialog stays.
        CExtractDlg dialog;
        dialog.show();
        dialog.Edit()->clear();
        dialog.ExtractButton()->click();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(prompts.prompt.Texts(), std::vector<std::string>{"Please choose the folder to extract to."});
    }
}

} // namespace
} // namespace tarvelin::shell
