#include "capture_watch.h"

#include "command.h"
#include "interrupt.h"

#include <cstdio>

namespace tarvelin::cli {

RefusalCollector::RefusalCollector() : previous_(platform::SetPrompt(this)) {}

RefusalCollector::~RefusalCollector() { Uninstall(); }

void RefusalCollector::Uninstall()
{
    if (installed_) {
        platform::SetPrompt(previous_);
        installed_ = false;
    }
}

platform::PromptAnswer RefusalCollector::Ask(std::string_view text, std::string_view caption,
                                             platform::PromptButtons buttons, platform::PromptIcon icon)
{
    if (buttons != platform::PromptButtons::Ok) {
        return previous_ != nullptr ? previous_->Ask(text, caption, buttons, icon)
                                    : platform::CautiousAnswer(buttons);
    }
    // The engine's texts end in a space, some hold a line break.
    std::string message;
    for (char c : text) {
        message += c == '\n' ? ' ' : c;
    }
    while (!message.empty() && message.back() == ' ') {
        message.pop_back();
    }
    std::lock_guard lock(mutex_);
    messages_ += (messages_.empty() ? "" : "; ") + message;
    return platform::PromptAnswer::Ok;
}

std::string RefusalCollector::Messages()
{
    std::lock_guard lock(mutex_);
    return messages_;
}

bool DrawCaptureProgress(void* bar, std::int32_t value)
{
    if (InterruptGuard::Requested()) {
        return false;
    }
    static_cast<PercentBar*>(bar)->Draw(value);
    return true;
}

CaptureOutcome::End CaptureEnd(bool complete)
{
    if (complete) {
        return CaptureOutcome::End::Complete;
    }
    // Ctrl+C during a question answers it Abort: the capture was cancelled.
    return InterruptGuard::Requested() ? CaptureOutcome::End::Interrupted : CaptureOutcome::End::Aborted;
}

int ReportCapture(const CaptureOutcome& outcome, const std::string& what, const std::string& failurePrefix,
                  const std::string& summary)
{
    switch (outcome.end) {
    case CaptureOutcome::End::Interrupted:
        PrintError(what + " cancelled; no image was written");
        return kExitFailure;
    case CaptureOutcome::End::Aborted:
        PrintError((outcome.failure.empty() ? what + " aborted at an unreadable sector"
                                            : failurePrefix + ": " + outcome.failure) +
                   "; no image was written");
        return kExitFailure;
    case CaptureOutcome::End::Complete:
        break;
    }
    std::printf("%s\n", summary.c_str());
    std::fflush(stdout);
    if (!outcome.unread.empty()) {
        PrintError("warning: " + capture::DescribeUnreadSectors(outcome.unread));
    }
    return kExitOk;
}

} // namespace tarvelin::cli
