#pragma once

// The one-line percent bar of the long commands (build, save, conversions,
// captures) on standard error: "label [#####-----]  45%". Drawn only when
// standard error is a terminal; a log gets nothing but the messages.
// Called from the thread the engine reports on, one report at a time.

namespace tarvelin::cli {

class PercentBar {
public:
    explicit PercentBar(const char* label);

    // Redraws the bar when the percent differs from the one shown.
    void Draw(int percent);
    // Ends the bar's line, when one was drawn, so messages start afresh.
    void Finish();

private:
    const char* label_;
    bool onTerminal_;
    int shown_ = -1;
    bool lineOpen_ = false;
};

} // namespace tarvelin::cli
