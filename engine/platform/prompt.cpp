#include "platform/prompt.h"

#include <atomic>

namespace tarvelin::platform {

namespace {

// Installed by the program in front and read from worker threads.
std::atomic<IPrompt*> g_prompt{nullptr};

} // namespace

IPrompt* SetPrompt(IPrompt* prompt)
{
    return g_prompt.exchange(prompt, std::memory_order_acq_rel);
}

IPrompt* GetPrompt()
{
    return g_prompt.load(std::memory_order_acquire);
}

PromptAnswer CautiousAnswer(PromptButtons buttons)
{
    switch (buttons) {
    case PromptButtons::Ok: return PromptAnswer::Ok;
    case PromptButtons::OkCancel:
    case PromptButtons::YesNoCancel:
    case PromptButtons::RetryCancel: return PromptAnswer::Cancel;
    case PromptButtons::YesNo: return PromptAnswer::No;
    case PromptButtons::AbortRetryIgnore: return PromptAnswer::Abort;
    }
    return PromptAnswer::Cancel;
}

PromptAnswer Ask(std::string_view text, std::string_view caption, PromptButtons buttons, PromptIcon icon)
{
    IPrompt* prompt = GetPrompt();
    if (prompt == nullptr) {
        return CautiousAnswer(buttons);
    }
    return prompt->Ask(text, caption, buttons, icon);
}

} // namespace tarvelin::platform
