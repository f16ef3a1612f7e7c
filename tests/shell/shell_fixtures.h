#pragma once

// What the shell's tests share: a scripted prompt and desktop, a wait that serves the GUI's events, and a shown main
// window over a folder of its own.

#include "commands.h"
#include "extract_dlg.h"
#include "left_view.h"
#include "main_frame.h"
#include "progress_session.h"
#include "shell_services.h"
#include "tarvelin_view.h"

#include "platform/prompt.h"
#include "support/cli_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <deque>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin::shell::fixture {

struct Asked {
    std::string text;
    std::string caption;
    platform::PromptButtons buttons;
    platform::PromptIcon icon;
};

// Installed while it lives. A question goes to `onAsk` while it is up and is answered by the first prefix of
// `answers` it starts with, else by the next of `queue`, else Yes (a Yes/No box) or Ok.
class Prompt final : public platform::IPrompt {
public:
    Prompt() : previous_(platform::SetPrompt(this)) {}
    ~Prompt() override { platform::SetPrompt(previous_); }
    Prompt(const Prompt&) = delete;
    Prompt& operator=(const Prompt&) = delete;

    platform::PromptAnswer Ask(std::string_view text, std::string_view caption, platform::PromptButtons buttons,
                               platform::PromptIcon icon) override
    {
        asked.push_back({std::string(text), std::string(caption), buttons, icon});
        if (onAsk) {
            onAsk();
        }
        for (const auto& [prefix, answer] : answers) {
            if (text.starts_with(prefix)) {
                return answer;
            }
        }
        if (!queue.empty()) {
            const platform::PromptAnswer answer = queue.front();
            queue.pop_front();
            return answer;
        }
        const bool yesNo = buttons == platform::PromptButtons::YesNo || buttons == platform::PromptButtons::YesNoCancel;
        return yesNo ? platform::PromptAnswer::Yes : platform::PromptAnswer::Ok;
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const Asked& question : asked) {
            texts.push_back(question.text);
        }
        return texts;
    }
    // The texts asked since the last Take, taken off the record.
    std::vector<std::string> TakeTexts()
    {
        std::vector<std::string> texts = Texts();
        asked.clear();
        return texts;
    }
    // The only question asked since the last Take, which started so, taken off the record.
    Asked TakeOne(const std::string& start)
    {
        const std::vector<Asked> taken = std::exchange(asked, {});
        EXPECT_EQ(taken.size(), std::size_t{1}) << (taken.empty() ? "" : taken.back().text);
        if (taken.empty()) {
            return {};
        }
        EXPECT_TRUE(taken[0].text.starts_with(start)) << taken[0].text;
        return taken[0];
    }
    void ExpectNone() const { EXPECT_TRUE(asked.empty()) << asked.front().text; }

    std::map<std::string, platform::PromptAnswer> answers;
    std::deque<platform::PromptAnswer> queue;
    std::vector<Asked> asked;
    std::function<void()> onAsk;

private:
    platform::IPrompt* previous_;
};

struct ChooserCall {
    bool folder = false;
    FileDialogSpec spec;
    std::string filter; // spec.filter's text, kept
    std::string title;  // of a folder chooser
};

// Installed while it lives. The choosers hand out the scripted paths in order ("" or none left: cancelled); an open
// fails with `openFailure` when set.
class Desktop final : public IShellServices {
public:
    Desktop() : previous_(SetShellServices(this)) {}
    ~Desktop() override { SetShellServices(previous_); }
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    void Choose(std::initializer_list<std::string> paths) { answers_.insert(answers_.end(), paths); }

    QString ChooseFile(QWidget*, const FileDialogSpec& spec) override
    {
        calls.push_back({false, spec, std::string(spec.filter), {}});
        return Next();
    }
    // The next answer, its paths separated by newlines.
    QStringList ChooseFiles(QWidget* owner, const FileDialogSpec& spec) override
    {
        return ChooseFile(owner, spec).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString ChooseFolder(QWidget*, const QString& title) override
    {
        calls.push_back({true, {}, {}, title.toStdString()});
        return Next();
    }
    std::optional<OpenError> TryOpen(const QString& pathOrAddress) override
    {
        if (openFailure.has_value()) {
            return openFailure;
        }
        opened.push_back(pathOrAddress.toStdString());
        return std::nullopt;
    }

    std::vector<ChooserCall> calls;
    std::vector<std::string> opened;
    std::optional<OpenError> openFailure;

private:
    QString Next()
    {
        if (answers_.empty()) {
            return {};
        }
        const QString answer = QString::fromStdString(answers_.front());
        answers_.pop_front();
        return answer;
    }

    IShellServices* previous_;
    std::deque<std::string> answers_;
};

// Serves the GUI's events until the condition holds; false after a generous guard time (a hang, not a speed limit).
inline bool WaitFor(const std::function<bool()>& condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 120000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    QApplication::processEvents();
    return true;
}

inline bool WaitIdle(CTarvelinView& list)
{
    return WaitFor([&list] { return !list.IsBusy(); });
}

// Once a modal dialog of the type shows, acts on it (the action closes it).
template <class Dialog>
void WhenDialogShows(std::function<void(Dialog&)> act)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (auto* dialog = dynamic_cast<Dialog*>(QApplication::activeModalWidget()); dialog != nullptr) {
            timer->stop();
            timer->deleteLater();
            act(*dialog);
        }
    });
    timer->start();
}

// Extract... with the destination typed into its dialog; an empty destination presses Cancel.
inline void RunExtract(CMainFrame& frame, const std::string& destination)
{
    WhenDialogShows<CExtractDlg>([destination](CExtractDlg& dialog) {
        if (destination.empty()) {
            dialog.reject();
            return;
        }
        dialog.Edit()->setText(QString::fromStdString(destination));
        dialog.ExtractButton()->click();
    });
    frame.RunCommand(ID_ACTIONS_EXTRACT);
}

// The row of the current folder that shows the name; -1 when none does.
inline int RowNamed(CTarvelinView& list, const std::string& name)
{
    for (int row = 0; row < list.Model().rowCount(); ++row) {
        if (list.Model().RecordAt(row)->name == name) {
            return row;
        }
    }
    return -1;
}

inline std::vector<std::string> RowNames(CTarvelinView& list)
{
    std::vector<std::string> names;
    for (int row = 0; row < list.Model().rowCount(); ++row) {
        names.push_back(list.Model().RecordAt(row)->name);
    }
    return names;
}

inline std::set<std::string> RowNameSet(CTarvelinView& list)
{
    const std::vector<std::string> names = RowNames(list);
    return {names.begin(), names.end()};
}

inline void SelectNamed(CTarvelinView& list, const std::vector<std::string>& names)
{
    QItemSelectionModel* selection = list.DetailsView()->selectionModel();
    selection->clearSelection();
    for (const std::string& name : names) {
        if (const int row = RowNamed(list, name); row >= 0) {
            selection->select(list.Model().index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
}

// Pixels of the colour in the columns [left, right) (all when right < 0).
inline int PixelsOf(const QImage& image, const QColor& colour, int left = 0, int right = -1)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = left; x < (right < 0 ? rgb.width() : right); ++x) {
            count += rgb.pixelColor(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

inline std::string Text(const std::vector<std::uint8_t>& bytes)
{
    return {bytes.begin(), bytes.end()};
}

// The text holds the part; a failure shows the whole text.
inline ::testing::AssertionResult Has(const std::string& text, const std::string& part)
{
    if (text.find(part) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << part << "\" in: " << text;
}

// The paths isoinfo lists with these options ("-J -f", "-R -f"), sorted; a path listed twice stays twice.
inline std::vector<std::string> IsoinfoPaths(const std::string& image, const std::string& options)
{
    return test::SortedLines(test::RunForOutput("isoinfo " + options + " -i " + test::ShellQuote(image)));
}

// Writes the files (path below root -> contents; a path ending in '/' is an empty folder).
inline void WriteTree(const std::string& root, const std::vector<std::pair<std::string, std::string>>& files)
{
    for (const auto& [path, contents] : files) {
        const std::filesystem::path full = root + "/" + path;
        std::filesystem::create_directories(path.ends_with('/') ? full : full.parent_path());
        if (!path.ends_with('/')) {
            test::WriteWholeFile(full.string(), contents);
        }
    }
}

// A shown main window with its own folder, prompt and desktop.
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_.show();
        QApplication::processEvents();
    }

    CTarvelinView& List() { return *frame_.GetRightPane(); }
    CLeftView& Tree() { return *frame_.GetLeftPane(); }
    void Select(const std::vector<std::string>& names) { SelectNamed(List(), names); }
    void DoubleClick(const std::string& name)
    {
        emit List().DetailsView()->doubleClicked(List().Model().index(RowNamed(List(), name), 0));
    }

    test::TempDir dir_;
    Prompt prompt_;
    Desktop services_;
    CMainFrame frame_;
};

} // namespace tarvelin::shell::fixture
