#include "unread_sectors.h"

namespace tarvelin::capture {

std::string DescribeUnreadSectors(const std::vector<std::uint32_t>& sectors)
{
    const bool one = sectors.size() == 1;
    std::string text = std::to_string(sectors.size()) + (one ? " sector" : " sectors") + " could not be read and " +
                       (one ? "is" : "are") + " zero in the image:";
    // Runs of consecutive sectors as first-last.
    for (std::size_t i = 0; i < sectors.size();) {
        std::size_t j = i;
        while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) {
            ++j;
        }
        text += (i == 0 ? " " : ", ") + std::to_string(sectors[i]);
        if (j > i) {
            text += "-" + std::to_string(sectors[j]);
        }
        i = j + 1;
    }
    return text;
}

} // namespace tarvelin::capture
