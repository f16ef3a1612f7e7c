#pragma once

// The notices of a build or an edit (IIsoBuild, IIsoEdit) as the lines of a
// message: one line each, each after a line break. Long lists are cut so
// that the message stays on the screen.

#include <cstdint>
#include <string>

namespace tarvelin::shell {

template <class Source>
std::string NoticeText(Source& source)
{
    constexpr std::uint32_t kMostLines = 20;
    const std::uint32_t count = source.GetNoticeCount();
    std::string text;
    for (std::uint32_t i = 0; i < count && i < kMostLines; ++i) {
        bool isError = false;
        const char* notice = source.GetNotice(i, &isError);
        text += std::string("\n") + (isError ? "error: " : "") + notice;
    }
    if (count > kMostLines) {
        text += "\n... and " + std::to_string(count - kMostLines) + " more";
    }
    return text;
}

} // namespace tarvelin::shell
