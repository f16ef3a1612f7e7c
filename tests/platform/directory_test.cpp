#include "platform/directory.h"
#include "platform/time.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelin::platform {
namespace {

using test::TempDir;
using test::WriteWholeFile;

std::map<std::string, FileInfo> ListFolder(const std::string& folder)
{
    std::map<std::string, FileInfo> entries;
    DirectorySearch search;
    EXPECT_TRUE(search.Open(folder)) << search.LastError();
    FileInfo info;
    while (search.Next(info)) {
        EXPECT_TRUE(entries.emplace(info.name, info).second) << "listed twice: " << info.name;
    }
    EXPECT_EQ(search.LastError(), "");
    return entries;
}

void MakeLink(const std::string& target, const std::string& link)
{
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

TEST(PlatformDirectory, LinksAreFollowedWithoutHangingOnLoops)
{
    TempDir dir;
    ASSERT_TRUE(MakeDirectory(dir / "real"));
    WriteWholeFile(dir / "real/data.bin", std::string("12345"));
    MakeLink("real", dir / "to-folder");
    MakeLink("real/data.bin", dir / "to-file");
    MakeLink("loop-b", dir / "loop-a");
    MakeLink("loop-a", dir / "loop-b");
    MakeLink("self", dir / "self");
    MakeLink("nowhere", dir / "dangling");
    MakeLink("..", dir / "up");

    const auto entries = ListFolder(dir.Path());
    ASSERT_EQ(entries.size(), 8u);
    const FileInfo& folder = entries.at("to-folder");
    EXPECT_TRUE(folder.isDirectory) << "a link to a folder counts as a folder";
    EXPECT_EQ(folder.attributes & kAttributeDirectory, kAttributeDirectory);
    EXPECT_EQ(folder.volumeId, entries.at("real").volumeId);
    EXPECT_EQ(folder.fileId, entries.at("real").fileId) << "a walk can tell it is the same folder";
    EXPECT_FALSE(entries.at("to-file").isDirectory);
    EXPECT_EQ(entries.at("to-file").size, 5u);
    EXPECT_TRUE(entries.at("up").isDirectory);
    for (const char* name : {"loop-a", "loop-b", "self", "dangling"}) {
        EXPECT_FALSE(entries.at(name).isDirectory) << name;
    }

    // Through the folder link the listing is the folder's.
    const auto through = ListFolder(dir / "to-folder");
    ASSERT_EQ(through.size(), 1u);
    EXPECT_EQ(through.count("data.bin"), 1u);

    FileInfo info;
    ASSERT_TRUE(GetFileInfo(dir / "to-folder", info));
    EXPECT_TRUE(info.isDirectory);
    EXPECT_EQ(info.name, "to-folder");
    std::string error;
    EXPECT_FALSE(GetFileInfo(dir / "self", info, &error));
    EXPECT_FALSE(error.empty());
}

// The birth time is the file system's own where it keeps one, as stat(1)
// reports it; the modification time is the one set.
TEST(PlatformDirectory, TimesComeFromTheFileSystem)
{
    TempDir dir;
    const std::string path = dir / "dated.txt";
    WriteWholeFile(path, std::string("x"));
    FileTime set = 0;
    CalendarTime fields{2004, 7, 9, 8, 5, 7, 500};
    ASSERT_TRUE(UtcToFileTime(fields, set));
    std::string error;
    ASSERT_TRUE(SetFileTime(path, set, &error)) << error;

    FileInfo info;
    ASSERT_TRUE(GetFileInfo(path, info));
    EXPECT_EQ(info.modificationTime, set);

    const auto stat = test::RunCommand("stat -c %W " + test::ShellQuote(path));
    ASSERT_EQ(stat.exitCode, 0) << stat.output;
    const long long birth = std::stoll(stat.output);
    if (birth > 0) {
        EXPECT_EQ(static_cast<long long>(info.creationTime / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds,
                  birth);
    } else {
        EXPECT_EQ(info.creationTime, info.modificationTime) << "no birth time: the modification time stands in";
    }

    // Folders take times as well; a time before 1970 is kept too.
    fields.year = 1965;
    ASSERT_TRUE(UtcToFileTime(fields, set));
    ASSERT_TRUE(MakeDirectory(dir / "old"));
    ASSERT_TRUE(SetFileTime(dir / "old", set));
    ASSERT_TRUE(GetFileInfo(dir / "old", info));
    EXPECT_EQ(info.modificationTime, set);

    EXPECT_FALSE(SetFileTime(dir / "missing", set, &error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

// A listing gives the POSIX facts, describing a link by its target and
// naming the target as well; GetLinkInfo describes the link itself. A link
// is made only where nothing is, and its permissions are never changed
// (nor, through it, its target's).
TEST(PlatformDirectory, LinksAreToldApartAndNeitherReplacedNorChangedThrough)
{
    TempDir dir;
    WriteWholeFile(dir / "plain", std::string("12345"));
    ASSERT_EQ(::chmod((dir / "plain").c_str(), 0640), 0);
    std::string error;
    ASSERT_TRUE(MakeSymlink("plain", dir / "to-plain", &error)) << error;
    ASSERT_TRUE(MakeSymlink("/nowhere/at all", dir / "dangling", &error)) << error;
    WriteWholeFile(dir / "exec", std::string("#!"));
    ASSERT_TRUE(MakeDirectory(dir / "sub"));
    ASSERT_EQ(::chmod((dir / "exec").c_str(), 0751), 0);
    ASSERT_EQ(::chmod((dir / "sub").c_str(), 0700), 0);
    ASSERT_EQ(::link((dir / "plain").c_str(), (dir / "hard").c_str()), 0);
    WriteWholeFile(dir / ".hidden", std::string("h"));
    struct Row {
        const char* name;
        std::uint32_t mode; // type bits included
        std::uint32_t links; // 0: as the file system counts a folder's
        const char* linkTarget;
    };
    const Row listed[] = {
        {"plain", S_IFREG | 0640, 2, ""},           {"exec", S_IFREG | 0751, 1, ""},
        {"sub", S_IFDIR | 0700, 0, ""},             {"to-plain", S_IFREG | 0640, 2, "plain"},
        {"dangling", S_IFLNK | 0777, 1, "/nowhere/at all"},
    };
    const auto entries = ListFolder(dir.Path());
    for (const Row& row : listed) {
        SCOPED_TRACE(row.name);
        const FileInfo& info = entries.at(row.name);
        EXPECT_TRUE(info.posixKnown);
        EXPECT_EQ(info.mode, row.mode);
        EXPECT_TRUE(row.links == 0 || info.links == row.links) << info.links;
        EXPECT_EQ(info.isSymlink, std::string(row.linkTarget) != "");
        EXPECT_EQ(info.linkTarget, row.linkTarget);
        EXPECT_EQ(info.uid, ::getuid());
        EXPECT_EQ(info.gid, ::getgid());
    }
    // The attributes a Windows listing gives, as far as they carry over.
    EXPECT_EQ(entries.at(".hidden").attributes, kAttributeArchive | kAttributeHidden);
    EXPECT_EQ(entries.at("plain").attributes, kAttributeArchive);
    EXPECT_EQ(entries.at("sub").attributes, kAttributeDirectory);

    FileInfo info;
    ASSERT_TRUE(GetLinkInfo(dir / "to-plain", info, &error)) << error;
    EXPECT_EQ(info.name, "to-plain");
    EXPECT_EQ(info.mode & S_IFMT, static_cast<std::uint32_t>(S_IFLNK));
    EXPECT_TRUE(info.isSymlink);
    EXPECT_EQ(info.linkTarget, "plain");
    ASSERT_TRUE(GetFileInfo(dir / "to-plain", info));
    EXPECT_EQ(info.mode, static_cast<std::uint32_t>(S_IFREG | 0640));
    EXPECT_FALSE(info.isSymlink);
    EXPECT_FALSE(GetLinkInfo(dir / "missing", info, &error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;

    EXPECT_FALSE(MakeSymlink("elsewhere", dir / "plain", &error));
    EXPECT_FALSE(MakeSymlink("elsewhere", dir / "dangling", &error));
    EXPECT_NE(error.find("dangling"), std::string::npos) << error;
    ASSERT_TRUE(GetLinkInfo(dir / "dangling", info));
    EXPECT_EQ(info.linkTarget, "/nowhere/at all");

    for (const char* link : {"to-plain", "dangling"}) {
        SCOPED_TRACE(link);
        error.clear();
        EXPECT_FALSE(SetFileMode(dir / link, 0600, &error));
        EXPECT_FALSE(error.empty());
        struct stat self {};
        ASSERT_EQ(::lstat((dir / link).c_str(), &self), 0);
        EXPECT_EQ(self.st_mode & 07777, 0777u);
    }
    ASSERT_TRUE(SetFileMode(dir / "plain", S_IFREG | 04755, &error)) << "type bits are ignored: " << error;
    struct stat target {};
    ASSERT_EQ(::stat((dir / "plain").c_str(), &target), 0);
    EXPECT_EQ(target.st_mode & 07777, 04755u);
    EXPECT_FALSE(SetFileMode(dir / "missing", 0644, &error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

} // namespace
} // namespace tarvelin::platform
