#include "capture_watch.h"

#include "command.h"
#include "interrupt.h"

#include "core/progress.h"

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

CaptureWatch::CaptureWatch(const char* label) : bar_(label) {}

bool CaptureWatch::Report(void* context, std::int32_t value)
{
    return static_cast<CaptureWatch*>(context)->OnReport(value);
}

bool CaptureWatch::OnReport(std::int32_t value)
{
    if (value >= 0 && !InterruptGuard::Requested()) {
        bar_.Draw(value);
        return true;
    }
    if (value == kCaptureFinished) {
        bar_.Draw(100);
    }
    bar_.Finish();
    std::lock_guard lock(mutex_);
    ended_ = true;
    end_ = value == kCaptureFinished ? End::Complete : InterruptGuard::Requested() ? End::Interrupted : End::Aborted;
    changed_.notify_all();
    return false; // for a progress value: stop, Ctrl+C was pressed
}

void CaptureWatch::LeaveInterruptsToWorker()
{
    interruptsElsewhere_.emplace();
}

CaptureWatch::End CaptureWatch::Wait()
{
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ended_; });
    }
    interruptsElsewhere_.reset();
    return end_;
}

int ReportCapture(const CaptureOutcome& outcome, const std::string& what, const std::string& failurePrefix,
                  const std::string& summary)
{
    switch (outcome.end) {
    case CaptureWatch::End::Interrupted:
        PrintError(what + " cancelled; no image was written");
        return kExitFailure;
    case CaptureWatch::End::Aborted:
        PrintError((outcome.failure.empty() ? what + " aborted at an unreadable sector"
                                            : failurePrefix + ": " + outcome.failure) +
                   "; no image was written");
        return kExitFailure;
    case CaptureWatch::End::Complete:
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
