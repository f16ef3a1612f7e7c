// The whole file is mapped read-only. The file stays open, shared for
// reading only, while mapped: a File opened on it for exclusive use is
// refused, and nobody can shorten it under the view.

#include "platform/mapped_file.h"

#include "platform/win32/win32_common.h"

#include <limits>

namespace tarvelin::platform {

MappedFile::~MappedFile() { Close(); }

bool MappedFile::Open(const std::string& path)
{
    Close();
    lastError_.clear();
    HANDLE file = ::CreateFileW(win32::WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        lastError_ = code == ERROR_SHARING_VIOLATION
                         ? "cannot open '" + path + "': the file is in use by another program"
                         : win32::Describe("cannot open", path, code);
        return false;
    }
    const auto fail = [&](const char* what, DWORD code) {
        ::CloseHandle(file);
        lastError_ = win32::Describe(what, path, code);
        return false;
    };
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(file, &length)) {
        return fail("cannot read", ::GetLastError());
    }
    const auto size = static_cast<std::uint64_t>(length.QuadPart);
    if (size > std::numeric_limits<std::size_t>::max()) {
        return fail("cannot map", ERROR_FILE_TOO_LARGE);
    }
    if (size > 0) {
        HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping == nullptr) {
            return fail("cannot map", ::GetLastError());
        }
        void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        const DWORD code = ::GetLastError();
        // The view keeps the mapping alive on its own.
        ::CloseHandle(mapping);
        if (view == nullptr) {
            return fail("cannot map", code);
        }
        data_ = static_cast<const std::uint8_t*>(view);
    }
    fd_ = reinterpret_cast<std::intptr_t>(file);
    size_ = size;
    open_ = true;
    return true;
}

void MappedFile::Close()
{
    if (data_ != nullptr) {
        ::UnmapViewOfFile(data_);
    }
    if (fd_ != -1) {
        ::CloseHandle(reinterpret_cast<HANDLE>(fd_));
    }
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
    open_ = false;
}

} // namespace tarvelin::platform
