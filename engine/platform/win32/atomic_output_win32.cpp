// Temporary outputs on Windows: the process of a temporary is looked for by
// opening it, and "nobody holds it open" is a handle that shares nothing
// and can be had. The old file of a replaced name is held, shared for
// reading and deletion only, until the rename, so that no program opens it
// for writing meanwhile; it is let go just before the rename, as Windows
// does not replace a name that is open.

#include "platform/atomic_output.h"

#include "platform/directory.h"
#include "platform/path.h"
#include "platform/win32/win32_common.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tarvelin::platform {

namespace {

HANDLE Held(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::string FolderPart(const std::string& path)
{
    const std::string_view folder = FolderOf(path);
    return folder.empty() ? std::string(".") : std::string(folder);
}


// Removes the regular file at path when nobody has it open: a handle that
// shares nothing is had only then, and deleting through it removes the
// file itself, never a link's target.
bool RemoveIfUnused(const std::string& path)
{
    HANDLE handle = ::CreateFileW(win32::WidePath(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION facts{};
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    const bool removed = ::GetFileInformationByHandle(handle, &facts)
        && (facts.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0
        && ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    ::CloseHandle(handle);
    return removed;
}

} // namespace

bool ProcessGone(std::uint64_t pid)
{
    if (pid == 0 || pid > 0xFFFFFFFFull) {
        return true;
    }
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return ::GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    }
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

std::string TemporaryPathFor(const std::string& finalPath)
{
    const std::string name = TemporaryNameFor(FileNameOf(finalPath), ::GetCurrentProcessId());
    const std::string_view folder = FolderOf(finalPath);
    return folder.empty() ? name : JoinPath(folder, name);
}

std::size_t RemoveStaleTemporaries(const std::string& folder, std::string_view forName)
{
    const std::string where = folder.empty() ? std::string(".") : folder;
    DirectorySearch search;
    if (!search.Open(where)) {
        return 0;
    }
    const std::uint64_t self = ::GetCurrentProcessId();
    std::size_t removed = 0;
    FileInfo entry;
    while (search.Next(entry)) {
        const std::optional<std::uint64_t> pid = TemporaryNameProcess(entry.name, forName);
        // A temporary of this process may be one another thread is writing.
        if (!pid || *pid == self || !ProcessGone(*pid) || entry.isDirectory || entry.isSpecial) {
            continue;
        }
        if (RemoveIfUnused(JoinPath(where, entry.name))) {
            ++removed;
        }
    }
    return removed;
}

bool AtomicOutput::Open(const std::string& finalPath, ExistingOutput existing, StaleTemporaries stale)
{
    Discard();
    lastError_.clear();
    finalPath_ = finalPath;
    existing_ = existing;
    direct_ = false;
    const std::wstring wide = win32::WidePath(finalPath);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (existing == ExistingOutput::Refuse) {
            return Fail(win32::Describe("cannot create", finalPath_, ERROR_FILE_EXISTS));
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            return Fail("cannot create '" + finalPath_ + "': it is a folder");
        }
        if (existing == ExistingOutput::Replace) {
            // A file that may not be written is not replaced either, as it
            // could not have been overwritten; one that another program
            // holds refuses the output.
            if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
                return Fail(win32::Describe("cannot open", finalPath_, ERROR_ACCESS_DENIED));
            }
            HANDLE held = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (held == INVALID_HANDLE_VALUE) {
                const DWORD code = ::GetLastError();
                return Fail(code == ERROR_SHARING_VIOLATION
                                ? "cannot open '" + finalPath_ + "': the file is in use by another program"
                                : win32::Describe("cannot open", finalPath_, code));
            }
            if (::GetFileType(held) != FILE_TYPE_DISK) {
                // A device: written as it is, nothing to rename onto.
                ::CloseHandle(held);
                direct_ = true;
                return file_.Open(finalPath_, OpenMode::CreateTruncate);
            }
            held_ = reinterpret_cast<std::intptr_t>(held);
        }
    }
    const std::string folder = FolderPart(finalPath_);
    const std::string_view name = FileNameOf(finalPath_);
    if (stale == StaleTemporaries::Remove) {
        RemoveStaleTemporaries(folder, name);
    }
    const std::string temporary = TemporaryPathFor(finalPath_);
    if (!file_.Open(temporary, OpenMode::CreateNew, finalPath_)) {
        // Left by an earlier process of the same number, and no one's now.
        const bool taken = PathExists(temporary);
        if (!taken || !RemoveIfUnused(temporary)) {
            Discard();
            return taken ? Fail("cannot create '" + finalPath_ + "': it is being written already") : false;
        }
        if (!file_.Open(temporary, OpenMode::CreateNew, finalPath_)) {
            Discard();
            return false;
        }
    }
    return true;
}

bool AtomicOutput::Commit()
{
    if (!file_.IsOpen()) {
        return Fail("the output '" + finalPath_ + "' is not open");
    }
    if (!file_.Flush()) {
        const std::string why = file_.LastError();
        Discard();
        return Fail(why);
    }
    return PutInPlace();
}

bool AtomicOutput::PutInPlace()
{
    if (!file_.IsOpen()) {
        return Fail("the output '" + finalPath_ + "' is not open");
    }
    if (direct_) {
        file_.Close();
        return true;
    }
    if (held_ != -1) {
        ::CloseHandle(Held(held_));
        held_ = -1;
    }
    std::string why;
    if (!RenameFile(file_.Path(), finalPath_, existing_ != ExistingOutput::Refuse, &why)) {
        const bool taken = errno == EEXIST;
        Discard();
        return Fail(taken ? "cannot create '" + finalPath_ + "': " + win32::ErrorText(ERROR_FILE_EXISTS) : why);
    }
    file_.Close();
    return true;
}

OutputBatch::~OutputBatch() = default; // each output left removes its temporary

bool OutputBatch::Add(AtomicOutput&& output, std::uint64_t bytes)
{
    outputs_.push_back(std::move(output));
    bytes_ += bytes;
    return outputs_.size() >= kMaxOutputs || bytes_ >= kMaxBytes;
}

void OutputBatch::Flush()
{
    // No flush of a whole volume without administrator rights: each file
    // on its own. An output whose flush fails is dropped (its temporary
    // removed), so that its rename fails and says why.
    for (AtomicOutput& output : outputs_) {
        if (output.file_.IsOpen() && !output.file_.Flush()) {
            const std::string why = output.file_.LastError();
            output.Discard();
            output.Fail(why);
        }
    }
}

void AtomicOutput::Discard()
{
    if (file_.IsOpen()) {
        const std::string temporary = file_.Path();
        file_.Close();
        if (!direct_) {
            RemoveFile(temporary);
        }
    }
    if (held_ != -1) {
        ::CloseHandle(Held(held_));
        held_ = -1;
    }
}

} // namespace tarvelin::platform
