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

std::string DescribeForm2Sectors(std::uint32_t count)
{
    if (count == 0) {
        return {};
    }
    const bool one = count == 1;
    return std::to_string(count)
           + (one ? " sector of the disc is a Mode 2 Form 2 sector" : " sectors of the disc are Mode 2 Form 2 sectors")
           + " (2324 bytes of data each, such as a Video CD's video or XA audio): the ISO's 2048-byte sectors keep only"
             " the first 2048 bytes of each, so the files stored in them come out cut; a raw BIN/CUE image of the disc"
             " (2352-byte sectors) keeps them whole";
}

} // namespace tarvelin::capture
