#include "core/notice_list.h"

namespace tarvelin {

namespace {

// Characters that could move a terminal's cursor or start an escape sequence.
bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

} // namespace

std::string PrintableName(std::string_view name)
{
    std::string shown;
    AppendPrintableName(shown, name);
    return shown;
}

void AppendPrintableName(std::string& out, std::string_view name)
{
    const std::size_t start = out.size();
    out.append(name);
    char* const end = out.data() + out.size();
    for (char* c = out.data() + start; c != end; ++c) {
        if (IsControl(static_cast<unsigned char>(*c))) {
            *c = '?';
        }
    }
}

std::string CountedList(std::initializer_list<std::pair<std::uint32_t, const char*>> counts)
{
    std::string list;
    for (const auto& [count, what] : counts) {
        if (count > 0) {
            list += (list.empty() ? "" : ", ") + std::to_string(count) + " " + what;
        }
    }
    return list;
}

} // namespace tarvelin
