#pragma once

// Questions to the user. Engines that must ask (the capture engines) call
// Ask(); the program in front installs the prompt that shows them: a message
// box in the GUI, a question on the terminal in the CLI, scripted answers in
// tests. Ask() may be called from worker threads; the prompt implementation
// carries the question to wherever it can be shown and waits for the answer.

#include "platform/export.h"

#include <string_view>

namespace tarvelin::platform {

enum class PromptButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, AbortRetryIgnore };
enum class PromptIcon { None, Information, Question, Warning, Error };
enum class PromptAnswer { Ok, Cancel, Yes, No, Retry, Abort, Ignore };

class TARVELIN_API IPrompt {
public:
    virtual ~IPrompt() = default;
    virtual PromptAnswer Ask(std::string_view text, std::string_view caption,
                             PromptButtons buttons, PromptIcon icon) = 0;
};

// Installs the prompt (not owned; null removes it) and returns the previous one.
TARVELIN_API IPrompt* SetPrompt(IPrompt* prompt);
TARVELIN_API IPrompt* GetPrompt();

// Asks through the installed prompt. With none installed nobody can answer,
// and the cautious answer of the button set is returned: Ok for Ok, Cancel
// for the sets with Cancel, No for YesNo, Abort for AbortRetryIgnore.
TARVELIN_API PromptAnswer Ask(std::string_view text, std::string_view caption,
                              PromptButtons buttons, PromptIcon icon);
TARVELIN_API PromptAnswer CautiousAnswer(PromptButtons buttons);

} // namespace tarvelin::platform
