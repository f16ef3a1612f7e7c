// The CLI's answer to the engine's questions: asked on the terminal when
// there is one; without a terminal nobody can answer and the engine gets the
// cautious answer of the question's buttons.

#include "platform/console.h"
#include "platform/prompt.h"

#include <cctype>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin::cli {

namespace {

using platform::PromptAnswer;
using platform::PromptButtons;

std::vector<std::pair<std::string, PromptAnswer>> Choices(PromptButtons buttons)
{
    switch (buttons) {
    case PromptButtons::Ok: return {{"ok", PromptAnswer::Ok}};
    case PromptButtons::OkCancel: return {{"ok", PromptAnswer::Ok}, {"cancel", PromptAnswer::Cancel}};
    case PromptButtons::YesNo: return {{"yes", PromptAnswer::Yes}, {"no", PromptAnswer::No}};
    case PromptButtons::YesNoCancel:
        return {{"yes", PromptAnswer::Yes}, {"no", PromptAnswer::No}, {"cancel", PromptAnswer::Cancel}};
    case PromptButtons::RetryCancel: return {{"retry", PromptAnswer::Retry}, {"cancel", PromptAnswer::Cancel}};
    case PromptButtons::AbortRetryIgnore:
        return {{"abort", PromptAnswer::Abort}, {"retry", PromptAnswer::Retry}, {"ignore", PromptAnswer::Ignore}};
    }
    return {{"ok", PromptAnswer::Ok}};
}

class TerminalPrompt final : public platform::IPrompt {
public:
    PromptAnswer Ask(std::string_view text, std::string_view caption, PromptButtons buttons,
                     platform::PromptIcon) override
    {
        // Workers may ask while another thread draws progress; one question at a time.
        std::lock_guard<std::mutex> lock(mutex_);
        if (!platform::IsTerminal(platform::StandardStream::Input)
            || !platform::IsTerminal(platform::StandardStream::Error)) {
            std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                         static_cast<int>(text.size()), text.data());
            return platform::CautiousAnswer(buttons);
        }
        const auto choices = Choices(buttons);
        std::string menu;
        for (const auto& [word, answer] : choices) {
            menu += (menu.empty() ? "" : "/") + word;
        }
        for (;;) {
            std::fprintf(stderr, "\n%.*s: %.*s [%s] ", static_cast<int>(caption.size()), caption.data(),
                         static_cast<int>(text.size()), text.data(), menu.c_str());
            std::string line;
            if (!std::getline(std::cin, line)) {
                return platform::CautiousAnswer(buttons);
            }
            for (char& c : line) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            for (const auto& [word, answer] : choices) {
                if (!line.empty() && word.compare(0, line.size(), line) == 0) {
                    return answer;
                }
            }
        }
    }

private:
    std::mutex mutex_;
};

TerminalPrompt terminalPrompt;
// Installed while the engine library is loaded by the CLI.
struct Installer {
    Installer() { platform::SetPrompt(&terminalPrompt); }
    ~Installer() { platform::SetPrompt(nullptr); }
} installer;

} // namespace

} // namespace tarvelin::cli
