#pragma once

// What the command tests share: a prompt that answers message boxes from a
// script and keeps what was asked, desktop services that choose files and
// folders from a script and keep what was opened, and a wait for work on
// the engines' worker threads.

#include "commands.h"
#include "extract_dlg.h"
#include "main_frame.h"
#include "progress_session.h"
#include "shell_services.h"
#include "tarvelin_view.h"

#include "platform/prompt.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QThread>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarvelin::shell::test_commands {

struct Asked {
    std::string text;
    std::string caption;
    platform::PromptButtons buttons;
};

// Answers a question whose text starts with a scripted prefix with the
// scripted answer, any other with Ok (Yes for a Yes/No box).
class ScriptedPrompt final : public platform::IPrompt {
public:
    ScriptedPrompt() : previous_(platform::SetPrompt(this)) {}
    ~ScriptedPrompt() override { platform::SetPrompt(previous_); }
    ScriptedPrompt(const ScriptedPrompt&) = delete;
    ScriptedPrompt& operator=(const ScriptedPrompt&) = delete;

    platform::PromptAnswer Ask(std::string_view text, std::string_view caption, platform::PromptButtons buttons,
                               platform::PromptIcon) override
    {
        asked.push_back({std::string(text), std::string(caption), buttons});
        for (const auto& [prefix, answer] : answers) {
            if (text.starts_with(prefix)) {
                return answer;
            }
        }
        return buttons == platform::PromptButtons::YesNo || buttons == platform::PromptButtons::YesNoCancel
                   ? platform::PromptAnswer::Yes
                   : platform::PromptAnswer::Ok;
    }

    bool WasAsked(const std::string& prefix) const
    {
        for (const Asked& question : asked) {
            if (question.text.starts_with(prefix)) {
                return true;
            }
        }
        return false;
    }

    std::map<std::string, platform::PromptAnswer> answers;
    std::vector<Asked> asked;

private:
    platform::IPrompt* previous_;
};

// Hands out the scripted choices in order (an empty one is a cancel) and
// keeps every dialog asked for and everything opened.
class ScriptedServices final : public IShellServices {
public:
    ScriptedServices() : previous_(SetShellServices(this)) {}
    ~ScriptedServices() override { SetShellServices(previous_); }
    ScriptedServices(const ScriptedServices&) = delete;
    ScriptedServices& operator=(const ScriptedServices&) = delete;

    QString ChooseFile(QWidget*, const FileDialogSpec& spec) override
    {
        fileDialogs.push_back(spec);
        return Next();
    }
    QString ChooseFolder(QWidget*, const QString& title) override
    {
        folderTitles.push_back(title.toStdString());
        return Next();
    }
    bool Open(const QString& pathOrAddress) override
    {
        opened.push_back(pathOrAddress.toStdString());
        return true;
    }

    std::deque<std::string> choices;
    std::vector<FileDialogSpec> fileDialogs;
    std::vector<std::string> folderTitles;
    std::vector<std::string> opened;

private:
    QString Next()
    {
        if (choices.empty()) {
            return {};
        }
        const std::string choice = choices.front();
        choices.pop_front();
        return QString::fromStdString(choice);
    }

    IShellServices* previous_;
};

// Serves the GUI thread's events until the condition holds; false when it
// did not within a minute (a hung worker, not a slow one).
inline bool WaitFor(const std::function<bool()>& condition)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
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

// Extract... with its dialog answered: the destination typed in, Extract
// pressed; an empty destination presses Cancel.
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

// Selects exactly the rows showing these names.
inline void SelectNamed(CTarvelinView& list, const std::vector<std::string>& names)
{
    QItemSelectionModel* selection = list.DetailsView()->selectionModel();
    selection->clearSelection();
    for (const std::string& name : names) {
        const int row = RowNamed(list, name);
        if (row >= 0) {
            selection->select(list.Model().index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
}

} // namespace tarvelin::shell::test_commands
