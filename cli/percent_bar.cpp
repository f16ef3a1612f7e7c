#include "percent_bar.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace tarvelin::cli {

PercentBar::PercentBar(const char* label) : label_(label), onTerminal_(::isatty(STDERR_FILENO) != 0) {}

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
