#pragma once

// The sectors a capture could not read (they are zero in the image), as the
// CLI and the GUI report them once a capture has ended.

#include "platform/export.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvelin::capture {

// "3 sectors could not be read and are zero in the image: 30, 100-101".
TARVELIN_API std::string DescribeUnreadSectors(const std::vector<std::uint32_t>& sectors);

// "523 sectors of the disc are Mode 2 Form 2 ...": what an ISO of a disc
// with such sectors lacks, and what keeps them; "" for none.
TARVELIN_API std::string DescribeForm2Sectors(std::uint32_t count);

// The list a capture component (CD or floppy) kept, in ascending order;
// read it once the capture has ended.
template <class Component>
std::vector<std::uint32_t> UnreadSectorsOf(Component& component)
{
    std::vector<std::uint32_t> sectors(component.GetUnreadSectors(nullptr, 0));
    component.GetUnreadSectors(sectors.data(), static_cast<std::uint32_t>(sectors.size()));
    return sectors;
}

} // namespace tarvelin::capture
