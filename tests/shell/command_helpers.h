#pragma once

// What the command tests share: a prompt that answers message boxes by the
// start of their text and keeps what was asked, the dialog tests' scripted
// desktop services, a wait for work on the engines' worker threads, and
// the extract dialog answered.

#include "commands.h"
#include "extract_dlg.h"
#include "main_frame.h"
#include "progress_session.h"
#include "dialog_fixtures.h"
#include "shell_services.h"
#include "tarvelin_view.h"

#include "platform/prompt.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>

#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
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

// The dialog tests' scripted desktop services, seen as the command tests
// use them: choices handed out in order (an empty one is a cancel), the
// file dialogs and folder browsers asked for, and what was opened.
class ScriptedServices {
public:
    void SetChoices(std::initializer_list<std::string> choices)
    {
        for (const std::string& choice : choices) {
            services_.Choose(QString::fromStdString(choice));
        }
    }
    std::vector<FileDialogSpec> FileDialogs() const
    {
        std::vector<FileDialogSpec> specs;
        for (const test::ChooserCall& call : services_.calls) {
            if (!call.folder) {
                specs.push_back(call.spec);
            }
        }
        return specs;
    }
    std::vector<std::string> FolderTitles() const
    {
        std::vector<std::string> titles;
        for (const test::ChooserCall& call : services_.calls) {
            if (call.folder) {
                titles.push_back(call.title.toStdString());
            }
        }
        return titles;
    }
    std::vector<std::string> Opened() const
    {
        std::vector<std::string> opened;
        for (const QString& item : services_.opened) {
            opened.push_back(item.toStdString());
        }
        return opened;
    }
    void ClearOpened() { services_.opened.clear(); }
    // Every open from now on fails for this reason (nothing: none fails).
    void FailOpens(std::optional<OpenError> reason) { services_.openFailure = reason; }

private:
    test::ScriptedShellServices services_;
};

// Serves the GUI thread's events until the condition holds, then what the
// last step posted; false when it did not (a hung worker, not a slow one).
inline bool WaitFor(const std::function<bool()>& condition)
{
    const bool held = test::ServeEventsUntil(condition);
    QApplication::processEvents();
    return held;
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

inline std::set<std::string> RowNameSet(CTarvelinView& list)
{
    const std::vector<std::string> names = RowNames(list);
    return {names.begin(), names.end()};
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
