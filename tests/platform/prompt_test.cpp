#include "platform/prompt.h"

#include <gtest/gtest.h>

namespace tarvelin::platform {
namespace {

// What an installed prompt receives is checked by the capture tests, whose
// questions all go through one.
TEST(PlatformPrompt, WithoutAPromptTheCautiousAnswerIsGiven)
{
    IPrompt* const previous = SetPrompt(nullptr);
    struct Case {
        PromptButtons buttons;
        PromptAnswer answer;
    };
    const Case cases[] = {
        {PromptButtons::Ok, PromptAnswer::Ok},
        {PromptButtons::OkCancel, PromptAnswer::Cancel},
        {PromptButtons::YesNo, PromptAnswer::No},
        {PromptButtons::YesNoCancel, PromptAnswer::Cancel},
        {PromptButtons::RetryCancel, PromptAnswer::Cancel},
        {PromptButtons::AbortRetryIgnore, PromptAnswer::Abort},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CautiousAnswer(c.buttons), c.answer) << static_cast<int>(c.buttons);
        EXPECT_EQ(Ask("Go on?", "Make ISO", c.buttons, PromptIcon::Question), c.answer)
            << static_cast<int>(c.buttons);
    }
    EXPECT_EQ(SetPrompt(previous), nullptr);
}

} // namespace
} // namespace tarvelin::platform
