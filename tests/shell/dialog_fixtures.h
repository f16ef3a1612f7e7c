#pragma once

// Pieces the dialog and progress tests share: the scripted prompt of the
// capture tests installed for a test's lifetime, desktop services that
// answer file and folder choosers from a script and record what was opened,
// and a wait that serves the GUI's events until a condition holds.

#include "shell_services.h"

#include "capture/capture_fixtures.h"
#include "platform/prompt.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QThread>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin::test {

// The scripted prompt, installed while the object lives.
class InstalledPrompt {
public:
    InstalledPrompt() : previous_(platform::SetPrompt(&prompt)) {}
    ~InstalledPrompt() { platform::SetPrompt(previous_); }
    InstalledPrompt(const InstalledPrompt&) = delete;
    InstalledPrompt& operator=(const InstalledPrompt&) = delete;

    ScriptedPrompt prompt;

private:
    platform::IPrompt* previous_;
};

struct ChooserCall {
    bool folder = false;
    shell::FileDialogSpec spec; // for files
    std::string filter;         // spec.filter's text, kept
    QString title;              // for folders
};

class ScriptedShellServices final : public shell::IShellServices {
public:
    ScriptedShellServices() : previous_(shell::SetShellServices(this)) {}
    ~ScriptedShellServices() override { shell::SetShellServices(previous_); }
    ScriptedShellServices(const ScriptedShellServices&) = delete;
    ScriptedShellServices& operator=(const ScriptedShellServices&) = delete;

    // The next chooser returns this path ("" = the user cancelled).
    void Choose(const QString& path) { answers_.push_back(path); }

    QString ChooseFile(QWidget*, const shell::FileDialogSpec& spec) override
    {
        ChooserCall call;
        call.spec = spec;
        call.filter = std::string(spec.filter);
        calls.push_back(call);
        return Next();
    }
    // The next answer, its paths separated by newlines.
    QStringList ChooseFiles(QWidget* owner, const shell::FileDialogSpec& spec) override
    {
        return ChooseFile(owner, spec).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString ChooseFolder(QWidget*, const QString& title) override
    {
        ChooserCall call;
        call.folder = true;
        call.title = title;
        calls.push_back(call);
        return Next();
    }
    std::optional<shell::OpenError> TryOpen(const QString& pathOrAddress) override
    {
        if (openFailure.has_value()) {
            return openFailure;
        }
        opened.push_back(pathOrAddress);
        return std::nullopt;
    }

    std::vector<ChooserCall> calls;
    QStringList opened;
    // When set, every open fails for this reason.
    std::optional<shell::OpenError> openFailure;

private:
    QString Next()
    {
        if (answers_.empty()) {
            return {};
        }
        QString answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    shell::IShellServices* previous_;
    std::deque<QString> answers_;
};

// Serves the GUI's events until the condition holds; false when it still
// does not after a generous guard time (a hang, not a speed limit).
inline bool ServeEventsUntil(const std::function<bool()>& condition, int guardMs = 120000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > guardMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

} // namespace tarvelin::test
