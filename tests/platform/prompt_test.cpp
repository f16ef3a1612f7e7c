#include "platform/prompt.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvelin::platform {
namespace {

class ScriptedPrompt : public IPrompt {
public:
    explicit ScriptedPrompt(PromptAnswer answer) : answer_(answer) {}

    PromptAnswer Ask(std::string_view text, std::string_view caption, PromptButtons buttons,
                     PromptIcon icon) override
    {
        ++calls;
        text_ = text;
        caption_ = caption;
        buttons_ = buttons;
        icon_ = icon;
        return answer_;
    }

    int calls = 0;
    std::string text_;
    std::string caption_;
    PromptButtons buttons_ = PromptButtons::Ok;
    PromptIcon icon_ = PromptIcon::None;

private:
    PromptAnswer answer_;
};

// Leaves no prompt installed behind, whatever the test did.
class PlatformPrompt : public ::testing::Test {
protected:
    void SetUp() override { previous_ = SetPrompt(nullptr); }
    void TearDown() override { SetPrompt(previous_); }

private:
    IPrompt* previous_ = nullptr;
};

TEST_F(PlatformPrompt, WithoutAPromptTheCautiousAnswerIsGiven)
{
    ASSERT_EQ(GetPrompt(), nullptr);
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
}

TEST_F(PlatformPrompt, TheInstalledPromptReceivesTheQuestion)
{
    ScriptedPrompt prompt(PromptAnswer::Retry);
    EXPECT_EQ(SetPrompt(&prompt), nullptr);
    EXPECT_EQ(GetPrompt(), &prompt);

    EXPECT_EQ(Ask("Read error in sector 17", "Make DAV", PromptButtons::AbortRetryIgnore, PromptIcon::Error),
              PromptAnswer::Retry);
    EXPECT_EQ(prompt.calls, 1);
    EXPECT_EQ(prompt.text_, "Read error in sector 17");
    EXPECT_EQ(prompt.caption_, "Make DAV");
    EXPECT_EQ(prompt.buttons_, PromptButtons::AbortRetryIgnore);
    EXPECT_EQ(prompt.icon_, PromptIcon::Error);

    ScriptedPrompt other(PromptAnswer::Yes);
    EXPECT_EQ(SetPrompt(&other), &prompt) << "installing returns the previous prompt";
    EXPECT_EQ(SetPrompt(nullptr), &other);
    EXPECT_EQ(Ask("x", "y", PromptButtons::YesNo, PromptIcon::None), PromptAnswer::No);
    EXPECT_EQ(other.calls, 0);
}

} // namespace
} // namespace tarvelin::platform
