#pragma once

// Directory search and the few file-system operations the engine needs.

#include "platform/export.h"
#include "platform/time.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tarvelin::platform {

// File attribute bits, with the values the engine records.
enum FileAttribute : std::uint32_t {
    kAttributeReadOnly = 0x01,
    kAttributeHidden = 0x02,
    kAttributeDirectory = 0x10,
    kAttributeArchive = 0x20,
    kAttributeNormal = 0x80,
};

struct FileInfo {
    std::string name;          // name within its folder
    bool isDirectory = false;
    // Neither a file nor a folder (a device, pipe or socket, or a link that
    // leads nowhere): no data that could be copied.
    bool isSpecial = false;
    std::uint64_t size = 0;    // bytes; 0 for folders
    FileTime creationTime = 0; // birth time where the file system keeps it, else modification time
    FileTime modificationTime = 0;
    std::uint32_t attributes = 0;
    std::string shortName;     // 8.3 name where the platform has one, else empty
    // Identity of the file on its volume (of the link target for links): two
    // paths with equal pairs are the same file, so a walk that follows links
    // to folders can recognise a folder it is already inside.
    std::uint64_t volumeId = 0;
    std::uint64_t fileId = 0;
    // POSIX facts where the platform has them (posixKnown): the mode with
    // its file type bits, owner, and times. A symbolic link is described
    // by the facts of its target, except through GetLinkInfo (and where
    // the link leads nowhere, as above).
    bool posixKnown = false;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint32_t links = 1;
    FileTime accessTime = 0;
    FileTime changeTime = 0;
    // The entry is a symbolic link, and what it points at. GetLinkInfo sets
    // them with the facts of the link itself; DirectorySearch sets them
    // beside the facts of the target (a listing looks at each entry before
    // following it, so it knows); GetFileInfo does not look and leaves them.
    bool isSymlink = false;
    std::string linkTarget;
};

// Lists one folder. "." and ".." are never returned.
class TARVELIN_API DirectorySearch {
public:
    DirectorySearch();
    ~DirectorySearch();
    DirectorySearch(const DirectorySearch&) = delete;
    DirectorySearch& operator=(const DirectorySearch&) = delete;

    bool Open(const std::string& folder);
    // The next entry; false at the end (or when an entry cannot be read).
    bool Next(FileInfo& info);
    void Close();
    const std::string& LastError() const { return lastError_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    std::string lastError_;
};

// Facts about one path (the link target where the path is a link).
TARVELIN_API bool GetFileInfo(const std::string& path, FileInfo& info, std::string* error = nullptr);
// Facts about the path itself: a symbolic link is described as a link
// (isSymlink, linkTarget), never followed. Other paths as GetFileInfo.
TARVELIN_API bool GetLinkInfo(const std::string& path, FileInfo& info, std::string* error = nullptr);
// Makes a symbolic link at path that points at target; refuses a path that
// exists.
TARVELIN_API bool MakeSymlink(const std::string& target, const std::string& path, std::string* error = nullptr);
// Makes a named pipe (FIFO) at path with the permission bits mode (less the
// process's umask); refuses a path that exists. False where the platform
// has no named pipes in its file system.
TARVELIN_API bool MakeFifo(const std::string& path, std::uint32_t mode, std::string* error = nullptr);
// Sets the permission bits (07777) of a file or folder, never through a link.
TARVELIN_API bool SetFileMode(const std::string& path, std::uint32_t mode, std::string* error = nullptr);
TARVELIN_API bool PathExists(const std::string& path);
TARVELIN_API bool IsDirectory(const std::string& path);
// Creates one folder; true when it exists afterwards.
TARVELIN_API bool MakeDirectory(const std::string& path, std::string* error = nullptr);
// A folder only the user can use: created with mode 0700 when missing; an
// existing one is taken only when it is a folder itself (not a link), owned
// by the user and open to nobody else (mode 0700). False, with the reason,
// otherwise: another user could have made it, or could read it.
TARVELIN_API bool MakePrivateFolder(const std::string& path, std::string* error = nullptr);
// The user's own folder for the program's temporary files, made or checked
// as MakePrivateFolder does: <runtime folder>/name when the session has one
// (XDG_RUNTIME_DIR), else <temporary folder>/name-<user id> (TMPDIR, else
// /tmp), so that users of one machine never share it. Empty, with the
// reason, when it cannot be had.
TARVELIN_API std::string PrivateTemporaryFolder(const std::string& name, std::string* error = nullptr);
// Removes an empty folder.
TARVELIN_API bool RemoveDirectory(const std::string& path, std::string* error = nullptr);
TARVELIN_API bool RemoveFile(const std::string& path, std::string* error = nullptr);
// Gives the file at from the name to, on the same file system, in one step:
// to never names a half-done state. With replace, a file or link that holds
// to is replaced (a link itself, not what it leads to; a folder refuses);
// without, anything that holds to refuses the rename ("File exists"),
// checked by the system in the same step where the file system allows.
TARVELIN_API bool RenameFile(const std::string& from, const std::string& to, bool replace,
                             std::string* error = nullptr);
// Sets the modification (and, where possible, access) time of a file, folder
// or symbolic link; a link is not followed: its own time is set.
TARVELIN_API bool SetFileTime(const std::string& path, FileTime modification, std::string* error = nullptr);

} // namespace tarvelin::platform
