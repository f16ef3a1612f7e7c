// The Windows platform layer where it differs from the POSIX one: drive
// letters and both separators in paths, names beyond ASCII and paths beyond
// 260 characters, exclusive use through sharing modes, renames that refuse
// a taken name, hidden entries and file ids. Run under Wine by test.sh.

#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/mapped_file.h"
#include "platform/path.h"
#include "platform/time.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <set>

namespace tarvelin::platform {
namespace {

TEST(Win32Path, DriveLettersAndBothSeparators)
{
    struct Case {
        const char* path;
        const char* folder;
        const char* name;
    };
    const Case cases[] = {
        {"C:\\a\\b.iso", "C:\\a", "b.iso"}, {"C:/a/b.iso", "C:/a", "b.iso"}, {"C:\\b.iso", "C:\\", "b.iso"},
        {"C:b.iso", "C:", "b.iso"},         {"b.iso", "", "b.iso"},          {"\\b.iso", "\\", "b.iso"},
        {"a/b\\c", "a/b", "c"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FolderOf(c.path), c.folder) << c.path;
        EXPECT_EQ(FileNameOf(c.path), c.name) << c.path;
    }
    EXPECT_EQ(JoinPath("C:\\a", "b"), "C:\\a\\b");
    EXPECT_EQ(JoinPath("C:\\a\\", "\\b"), "C:\\a\\b");
    EXPECT_EQ(JoinPath("C:", "b"), "C:b");
    EXPECT_TRUE(IsPathSeparator('/'));
    EXPECT_TRUE(IsPathSeparator('\\'));
    for (const char* rooted : {"C:\\a", "C:a", "\\a", "/a"}) {
        EXPECT_TRUE(HasRoot(rooted)) << rooted;
    }
    EXPECT_FALSE(HasRoot("a\\b"));
    // Names an image may hold that the system does not take for one entry.
    for (const char* name : {"..\\up", "a\\b", "a/b", "C:b", "a:stream", ".. ", "...", ". ", "", "..", ".", "a.", "a ",
                             "CON", "nul.txt", "Aux", "com1", "LPT9.log", "PRN .x", "conout$", "COM\xC2\xB9",
                             "lpt\xC2\xB3.txt"}) {
        EXPECT_FALSE(IsPlainName(name)) << name;
    }
    for (const char* name : {"a", "a.b", "a b", ".hidden", "..a", "caf\xC3\xA9.txt", "CONFIG", "com0", "COM10", "nul2.txt",
                             "COM\xC2\xB4", "LPT\xC2\xB9\xC2\xB9"}) {
        EXPECT_TRUE(IsPlainName(name)) << name;
    }
    // Names come back as the system keeps them: bytes that are not UTF-8
    // as U+FFFD; and names compare as its file systems compare them.
    EXPECT_EQ(StoredName("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(StoredName("caf\xE9"), "caf\xEF\xBF\xBD");
    EXPECT_TRUE(SamePathName("C:\\d\\X.CUE", "c:\\D\\x.cue"));
    EXPECT_TRUE(SamePathName("\xC3\x89t\xC3\xA9.bin", "\xC3\xA9T\xC3\x89.BIN"));
    EXPECT_FALSE(SamePathName("x.bin", "x.cue"));
    EXPECT_TRUE(PrefersJolietNames());
    EXPECT_EQ(AbsolutePath("C:\\a\\.\\b\\..\\c\\"), "C:\\a\\c");
}

// A file under a non-ASCII folder name, at the end of a path longer than
// 260 characters, is written, listed and read back with its UTF-8 name.
TEST(Win32Files, LongNonAsciiPathsRoundTrip)
{
    test::TempDir dir;
    std::string folder = dir.Path();
    const std::string step = "d\xC3\xA9j\xC3\xA0-vu-\xE6\x97\xA5\xE6\x9C\xAC-0123456789012345678901234567890123456789";
    while (folder.size() < 300) {
        folder = JoinPath(folder, step);
        ASSERT_TRUE(MakeDirectory(folder));
    }
    const std::string path = JoinPath(folder, "\xC3\xBC\x62\x65r.txt");
    File file;
    ASSERT_TRUE(file.Open(path, OpenMode::CreateNew)) << file.LastError();
    ASSERT_TRUE(file.Write("hello", 5));
    file.Close();
    DirectorySearch search;
    ASSERT_TRUE(search.Open(folder)) << search.LastError();
    FileInfo entry;
    ASSERT_TRUE(search.Next(entry));
    EXPECT_EQ(entry.name, "\xC3\xBC\x62\x65r.txt");
    EXPECT_EQ(entry.size, 5u);
    EXPECT_FALSE(search.Next(entry));
    ASSERT_TRUE(file.Open(path, OpenMode::ReadOnly)) << file.LastError();
    char back[8] = {};
    EXPECT_EQ(file.ReadAt(1, back, sizeof back), 4u);
    EXPECT_EQ(std::string(back, 4), "ello");
}

// Exclusive use is a sharing mode: an exclusive File keeps out every other
// File and any mapping; shared readers keep out an exclusive File only.
TEST(Win32Files, ExclusiveAndSharedUse)
{
    test::TempDir dir;
    const std::string path = dir / "image.iso";
    test::WriteWholeFile(path, std::string(4096, 'x'));
    struct Case {
        OpenMode first;
        OpenMode second;
        bool secondOpens;
    };
    const Case cases[] = {
        {OpenMode::ReadWrite, OpenMode::ReadWrite, false},  {OpenMode::ReadWrite, OpenMode::ReadShared, false},
        {OpenMode::ReadShared, OpenMode::ReadShared, true}, {OpenMode::ReadShared, OpenMode::ReadWrite, false},
        {OpenMode::ReadOnly, OpenMode::ReadShared, false},
    };
    for (const Case& c : cases) {
        File first;
        File second;
        ASSERT_TRUE(first.Open(path, c.first)) << first.LastError();
        EXPECT_EQ(second.Open(path, c.second), c.secondOpens) << static_cast<int>(c.first) << static_cast<int>(c.second);
        if (!c.secondOpens) {
            EXPECT_EQ(second.LastReason(), "the file is in use by another program");
        }
    }
    MappedFile mapped;
    ASSERT_TRUE(mapped.Open(path)) << mapped.LastError();
    EXPECT_EQ(mapped.Size(), 4096u);
    EXPECT_EQ(mapped.Data()[4095], 'x');
    File writer;
    EXPECT_FALSE(writer.Open(path, OpenMode::ReadWrite));
}

TEST(Win32Files, TruncateFlushAndTimes)
{
    test::TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir / "a.bin", OpenMode::CreateTruncate));
    ASSERT_TRUE(file.WriteAt(10000, "z", 1));
    std::uint64_t length = 0;
    ASSERT_TRUE(file.Length(length));
    EXPECT_EQ(length, 10001u);
    ASSERT_TRUE(file.Truncate(100));
    ASSERT_TRUE(file.Length(length));
    EXPECT_EQ(length, 100u);
    EXPECT_TRUE(file.Flush());
    CalendarTime when;
    when.year = 1999;
    when.month = 12;
    when.day = 31;
    when.hour = 23;
    when.minute = 59;
    when.second = 58;
    FileTime stamp = 0;
    ASSERT_TRUE(UtcToFileTime(when, stamp));
    ASSERT_TRUE(file.SetTimes(stamp));
    file.Close();
    FileInfo info;
    ASSERT_TRUE(GetFileInfo(dir / "a.bin", info));
    EXPECT_EQ(info.modificationTime, stamp);
    CalendarTime back;
    ASSERT_TRUE(FileTimeToUtc(stamp, back));
    EXPECT_EQ(back.year, 1999);
    EXPECT_EQ(back.second, 58);
    EXPECT_EQ(back.dayOfWeek, 5); // a Friday
    // Local time and back, and the zone's offset, agree with each other.
    CalendarTime local;
    int offsetMinutes = 0;
    ASSERT_TRUE(FileTimeToLocal(stamp, local, &offsetMinutes));
    FileTime fromLocal = 0;
    ASSERT_TRUE(LocalToFileTime(local, fromLocal));
    EXPECT_EQ(fromLocal, stamp);
    FileTime wall = 0;
    ASSERT_TRUE(UtcToFileTime(local, wall));
    EXPECT_EQ(static_cast<std::int64_t>(wall - stamp), std::int64_t{offsetMinutes} * 60 * 10000000);
    when.day = 32;
    EXPECT_FALSE(UtcToFileTime(when, stamp));
}

TEST(Win32Files, RenameRefusesTakenNamesUnlessReplacing)
{
    test::TempDir dir;
    test::WriteWholeFile(dir / "from", std::string("new"));
    test::WriteWholeFile(dir / "to", std::string("old"));
    std::string error;
    EXPECT_FALSE(RenameFile(dir / "from", dir / "to", false, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(RenameFile(dir / "from", dir / "to", true, &error)) << error;
    EXPECT_EQ(test::ReadWholeFile(dir / "to").size(), 3u);
    ASSERT_TRUE(MakeDirectory(dir / "folder"));
    test::WriteWholeFile(dir / "from", std::string("x"));
    EXPECT_FALSE(RenameFile(dir / "from", dir / "folder", true, &error));
}

// An output replaces the old file only when committed; a discarded one
// leaves it, and no temporary, behind.
TEST(Win32Files, AtomicOutputReplacesOnCommitOnly)
{
    test::TempDir dir;
    const std::string target = dir / "out.iso";
    test::WriteWholeFile(target, std::string("old"));
    for (const bool commit : {false, true}) {
        AtomicOutput output;
        ASSERT_TRUE(output.Open(target, ExistingOutput::Replace)) << output.LastError();
        File other;
        EXPECT_FALSE(other.Open(target, OpenMode::ReadWrite)); // held while being replaced
        ASSERT_TRUE(output.Stream().Write("brand new", 9));
        if (commit) {
            ASSERT_TRUE(output.Commit()) << output.LastError();
        } else {
            output.Discard();
        }
        EXPECT_EQ(test::ReadWholeFile(target).size(), commit ? 9u : 3u);
    }
    AtomicOutput refused;
    EXPECT_FALSE(refused.Open(target, ExistingOutput::Refuse));
    std::set<std::string> names;
    DirectorySearch search;
    ASSERT_TRUE(search.Open(dir.Path()));
    for (FileInfo entry; search.Next(entry);) {
        names.insert(entry.name);
    }
    EXPECT_EQ(names, std::set<std::string>{"out.iso"});
}

// Hidden and system entries are hidden to the engine; a file's id tells
// two names of one file apart from two files.
TEST(Win32Files, AttributesAndFileIds)
{
    test::TempDir dir;
    test::WriteWholeFile(dir / "plain", std::string("a"));
    test::WriteWholeFile(dir / "secret", std::string("b"));
    test::WriteWholeFile(dir / "system", std::string("c"));
    const auto setAttributes = [&](const std::string& name, DWORD attributes) {
        const std::string path = dir / name;
        return ::SetFileAttributesA(path.c_str(), attributes) != 0;
    };
    ASSERT_TRUE(setAttributes("secret", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(setAttributes("system", FILE_ATTRIBUTE_SYSTEM));
    FileInfo plain;
    FileInfo secret;
    FileInfo system;
    FileInfo again;
    ASSERT_TRUE(GetFileInfo(dir / "plain", plain));
    ASSERT_TRUE(GetFileInfo(dir / "secret", secret));
    ASSERT_TRUE(GetFileInfo(dir / "system", system));
    ASSERT_TRUE(GetFileInfo(dir.Path() + "\\.\\plain", again));
    EXPECT_EQ(plain.attributes & kAttributeHidden, 0u);
    EXPECT_NE(secret.attributes & kAttributeHidden, 0u);
    EXPECT_NE(system.attributes & kAttributeHidden, 0u);
    EXPECT_EQ(plain.fileId, again.fileId);
    EXPECT_EQ(plain.volumeId, again.volumeId);
    EXPECT_NE(plain.fileId, secret.fileId);
    std::uint64_t free = 0;
    EXPECT_TRUE(FreeDiskSpace(dir.Path(), free));
    EXPECT_GT(free, 0u);
}

} // namespace
} // namespace tarvelin::platform
