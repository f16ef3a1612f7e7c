#pragma once

// What rip and floppy share: following a capture engine's worker with a
// bar on standard error, stopping it in order on Ctrl+C, turning the
// engine's refusal messages into the command's error, and telling which
// sectors could not be read.

#include "capture/unread_sectors.h"
#include "core/component.h"
#include "percent_bar.h"
#include "platform/console.h"
#include "platform/prompt.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
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
    // Puts the prompt that was installed before back. A worker started
    // while the collector was installed may still be inside Ask: the
    // collector must live on until that worker has ended.
    void Uninstall();
    // The messages kept so far, trimmed, joined with "; ".
    std::string Messages();

private:
    platform::IPrompt* previous_;
    bool installed_ = true;
    std::mutex mutex_;
    std::string messages_;
};

// The progress callback of a capture (its context is the watch). Draws the
// bar when standard error is a terminal, answers false once Ctrl+C was
// pressed, and lets Wait return after the last report.
class CaptureWatch {
public:
    enum class End { Complete, Aborted, Interrupted };

    explicit CaptureWatch(const char* label);
    CaptureWatch(const CaptureWatch&) = delete;
    CaptureWatch& operator=(const CaptureWatch&) = delete;

    static bool Report(void* context, std::int32_t value);
    // Call right after the engine's worker started: Ctrl+C then reaches the
    // worker's thread, so that a question waiting on the terminal is
    // interrupted (and answered Abort) instead of waiting on.
    void LeaveInterruptsToWorker();
    // Blocks until the capture ended; Ctrl+C reaches this thread again.
    End Wait();

private:
    bool OnReport(std::int32_t value);

    PercentBar bar_;
    std::optional<platform::InterruptsElsewhere> interruptsElsewhere_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    End end_ = End::Complete;
};

// How a capture ended, read from its component before it is released.
struct CaptureOutcome {
    CaptureWatch::End end = CaptureWatch::End::Complete;
    std::vector<std::uint32_t> unread;
    std::string failure; // the component's reason when it failed on its own
};

// Waits for the end of the capture, takes its outcome and releases the
// component, which waits for its worker and removes an unfinished image.
template <class Component>
CaptureOutcome FinishCapture(ComponentPtr<Component>& component, CaptureWatch& watch)
{
    CaptureOutcome outcome;
    outcome.end = watch.Wait();
    outcome.unread = capture::UnreadSectorsOf(*component);
    outcome.failure = component->GetLastError();
    component.reset();
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
