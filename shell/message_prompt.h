#pragma once

// The desktop program's answer to the engine's questions: a message box.
// Questions asked from a worker thread are carried to the GUI thread, which
// shows the box; the worker waits for the answer.

#include "platform/prompt.h"

namespace tarvelin::shell {

class MessageBoxPrompt final : public platform::IPrompt {
public:
    platform::PromptAnswer Ask(std::string_view text, std::string_view caption, platform::PromptButtons buttons,
                               platform::PromptIcon icon) override;
};

} // namespace tarvelin::shell
