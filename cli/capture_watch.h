#pragma once

// What rip and floppy share: running a capture with a bar on standard
// error, stopping it in order on Ctrl+C, turning the engine's refusal
// messages into the command's error, and telling which sectors could not
// be read.

#include "capture/unread_sectors.h"
#include "percent_bar.h"
#include "platform/prompt.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tarvelin::cli {

// While alive, the engine's messages with only an OK button are kept for
// the command to print as its error instead of being asked on the
// terminal; its real questions (Abort/Retry/Ignore, "ignore all") still go
// to the prompt that was installed before.
class RefusalCollector final : public platform::IPrompt {
public:
    RefusalCollector();
    ~RefusalCollector() override;
    RefusalCollector(const RefusalCollector&) = delete;
    RefusalCollector& operator=(const RefusalCollector&) = delete;

    platform::PromptAnswer Ask(std::string_view text, std::string_view caption, platform::PromptButtons buttons,
                               platform::PromptIcon icon) override;
    // Puts the prompt that was installed before back.
    void Uninstall();
    // The messages kept so far, trimmed, joined with "; ".
    std::string Messages();

private:
    platform::IPrompt* previous_;
    bool installed_ = true;
    std::mutex mutex_;
    std::string messages_;
};

// How a capture ended, read from its component after its Run.
struct CaptureOutcome {
    enum class End { Complete, Aborted, Interrupted };
    End end = End::Complete;
    std::vector<std::uint32_t> unread;
    std::string failure; // the component's reason when it failed on its own
};

// The progress callback of a capture, its context a PercentBar: draws the
// percent and answers false once Ctrl+C was pressed, which stops the
// capture in order.
bool DrawCaptureProgress(void* bar, std::int32_t value);
// The end of a capture whose Run answered complete.
CaptureOutcome::End CaptureEnd(bool complete);

// Runs a capture through run(context, progress), its component's Run, with
// a bar labelled label on standard error (when that is a terminal), and
// takes its outcome from the component. The capture runs on this thread,
// so Ctrl+C also interrupts a question waiting on the terminal, which is
// then answered Abort.
template <class Component, class Run>
CaptureOutcome RunCapture(Component& component, const char* label, Run run)
{
    PercentBar bar(label);
    const bool complete = run(&bar, &DrawCaptureProgress);
    if (complete) {
        bar.Draw(100);
    }
    bar.Finish();
    CaptureOutcome outcome;
    outcome.end = CaptureEnd(complete);
    outcome.unread = capture::UnreadSectorsOf(component);
    outcome.failure = component.GetLastError();
    return outcome;
}

// The command's exit code for the outcome, after printing what went wrong:
// "<what> cancelled", "<what> aborted at an unreadable sector" or
// "<failurePrefix>: <reason>", each followed by "; no image was written".
// For a complete image, summary goes to standard output and the list of
// sectors not read, when there are any, follows as a warning.
int ReportCapture(const CaptureOutcome& outcome, const std::string& what, const std::string& failurePrefix,
                  const std::string& summary);

} // namespace tarvelin::cli
