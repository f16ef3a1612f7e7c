#pragma once

// What an operation that went on tells its caller: the entries an add left
// out, the files that changed length before they were copied. A warning
// names something the caller may want to know; an error names something
// the caller chose that the image will lack. The build of a new image and
// the edit of an opened one keep theirs in this list and hand its lines out
// through their GetNoticeCount and GetNotice.

#include "platform/export.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvelin {

// The name as it can be shown to a person: control characters (which could
// move a terminal's cursor or start an escape sequence) become '?'.
TARVELIN_API std::string PrintableName(std::string_view name);
// The same appended to out, for listings that put many names together.
TARVELIN_API void AppendPrintableName(std::string& out, std::string_view name);
// Each count above 0 with what it counts, in the order given and joined by
// ", " ("2 malformed records skipped, 1 ..."); empty when every count is 0.
TARVELIN_API std::string CountedList(std::initializer_list<std::pair<std::uint32_t, const char*>> counts);

class NoticeList {
public:
    void Add(bool isError, std::string text) { notices_.push_back({isError, std::move(text)}); }

    // Moves every notice of other behind those held; other is left empty.
    void Take(NoticeList& other)
    {
        notices_.insert(notices_.end(), std::make_move_iterator(other.notices_.begin()),
                        std::make_move_iterator(other.notices_.end()));
        other.notices_.clear();
    }

    void Clear() { notices_.clear(); }

    std::uint32_t Count() const { return static_cast<std::uint32_t>(notices_.size()); }

    std::uint32_t ErrorCount() const
    {
        return static_cast<std::uint32_t>(
            std::count_if(notices_.begin(), notices_.end(), [](const Notice& notice) { return notice.isError; }));
    }

    // The text of one notice, "" past the end; isError (when given) says
    // which kind it is.
    const char* Text(std::uint32_t index, bool* isError) const
    {
        if (index >= notices_.size()) {
            if (isError != nullptr) {
                *isError = false;
            }
            return "";
        }
        if (isError != nullptr) {
            *isError = notices_[index].isError;
        }
        return notices_[index].text.c_str();
    }

private:
    struct Notice {
        bool isError = false;
        std::string text;
    };
    std::vector<Notice> notices_;
};

} // namespace tarvelin
