#include "percent_bar.h"

#include "platform/console.h"

#include <algorithm>
#include <cstdio>

namespace tarvelin::cli {

PercentBar::PercentBar(const char* label) : label_(label), onTerminal_(platform::IsTerminal(platform::StandardStream::Error)) {}

void PercentBar::Draw(int percent)
{
    percent = std::clamp(percent, 0, 100);
    if (!onTerminal_ || percent == shown_) {
        return;
    }
    shown_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%.*s] %3d%%", label_, filled, "########################################",
                 kWidth - filled, "----------------------------------------", percent);
    std::fflush(stderr);
    lineOpen_ = true;
}

void PercentBar::Finish()
{
    if (lineOpen_) {
        std::fputc('\n', stderr);
        lineOpen_ = false;
    }
}

} // namespace tarvelin::cli
