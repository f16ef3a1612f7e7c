#pragma once

// Whether two paths name one file: an output that would replace the file a
// command reads from is refused with its own message rather than with the
// refusal that opening it twice gives.

#include "platform/directory.h"

#include <string>

namespace tarvelin::platform {

// Whether both paths exist and lead to one file (through links, or as two
// names of it).
inline bool SameFile(const std::string& a, const std::string& b)
{
    FileInfo first;
    FileInfo second;
    return GetFileInfo(a, first) && GetFileInfo(b, second) && first.volumeId == second.volumeId
           && first.fileId == second.fileId;
}

} // namespace tarvelin::platform
