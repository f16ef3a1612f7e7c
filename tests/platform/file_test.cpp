// platform::File against the real file system: creation and exclusive use
// (positions beyond 4 GiB: the image file tests); AtomicOutput, the outputs
// written under a temporary name, and the removal of the temporaries killed
// runs leave.

#include "platform/atomic_output.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvelin::platform {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

std::string ReadText(const std::string& path)
{
    const auto bytes = ReadWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

TEST(PlatformFile, CreateNewRefusesWhateverHoldsTheNameAndNeverFollowsALink)
{
    TempDir dir;
    const std::string path = dir / "new.bin";
    {
        File file;
        ASSERT_TRUE(file.Open(path, OpenMode::CreateNew)) << file.LastError();
        EXPECT_TRUE(file.IsWritable());
        ASSERT_TRUE(file.Write("fresh", 5));
    }
    EXPECT_EQ(ReadText(path), "fresh");

    File file;
    EXPECT_FALSE(file.Open(path, OpenMode::CreateNew));
    EXPECT_NE(file.LastError().find("cannot create '" + path + "'"), std::string::npos) << file.LastError();
    EXPECT_EQ(ReadText(path), "fresh") << "an existing file is neither emptied nor written";

    const std::string victim = dir / "victim.txt";
    WriteWholeFile(victim, std::string("must stay"));
    const std::string link = dir / "planted";
    ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_FALSE(file.Open(link, OpenMode::CreateNew));
    EXPECT_EQ(ReadText(victim), "must stay");
    const std::string dangling = dir / "dangling";
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(file.Open(dangling, OpenMode::CreateNew)) << "a link to nothing is not made into a file";
    EXPECT_FALSE(PathExists(dir / "nowhere"));
    ASSERT_TRUE(MakeDirectory(dir / "folder"));
    EXPECT_FALSE(file.Open(dir / "folder", OpenMode::CreateNew));
    EXPECT_FALSE(file.IsOpen());
}

// Who may open a file that is open already: shared readers admit each
// other and nobody else; every other mode holds the file alone. A refused
// open empties nothing, and the file is free again once closed.
TEST(PlatformFile, AnOpenFileIsHeldAsItsModeSays)
{
    TempDir dir;
    const std::string path = dir / "held.iso";
    const OpenMode seconds[] = {OpenMode::ReadOnly, OpenMode::ReadShared, OpenMode::ReadWrite,
                                OpenMode::CreateTruncate};
    for (const OpenMode first : {OpenMode::ReadOnly, OpenMode::ReadShared, OpenMode::ReadWrite,
                                 OpenMode::CreateTruncate, OpenMode::CreateNew}) {
        for (const OpenMode second : seconds) {
            SCOPED_TRACE(std::to_string(static_cast<int>(first)) + " then " + std::to_string(static_cast<int>(second)));
            if (first == OpenMode::CreateNew) {
                ASSERT_TRUE(RemoveFile(path));
            } else {
                WriteWholeFile(path, std::string("precious"));
            }
            File holder;
            ASSERT_TRUE(holder.Open(path, first)) << holder.LastError();
            const std::string held = ReadText(path);
            File other;
            const bool shared = first == OpenMode::ReadShared && second == OpenMode::ReadShared;
            EXPECT_EQ(other.Open(path, second), shared);
            EXPECT_EQ(other.IsOpen(), shared);
            if (!shared) {
                EXPECT_NE(other.LastError().find("in use"), std::string::npos) << other.LastError();
            }
            EXPECT_EQ(ReadText(path), held);
            other.Close();
            holder.Close();
            EXPECT_TRUE(other.Open(path, second)) << other.LastError();
        }
    }
#ifndef _WIN32
    // A device is not held: two writers of /dev/null (or of /dev/full, as
    // two tests at once) both go on.
    File first;
    File second;
    EXPECT_TRUE(first.Open("/dev/null", OpenMode::CreateTruncate)) << first.LastError();
    EXPECT_TRUE(second.Open("/dev/null", OpenMode::CreateTruncate)) << second.LastError();
#endif
}

TEST(PlatformFile, AnotherProcessCannotLockAnOpenFile)
{
    TARVELIN_REQUIRE_TOOL("flock");
    TempDir dir;
    const std::string path = dir / "held.iso";
    WriteWholeFile(path, std::string("x"));
    const std::string probe = "flock -n " + test::ShellQuote(path) + " true";
    {
        File file;
        ASSERT_TRUE(file.Open(path, OpenMode::ReadOnly)) << file.LastError();
        EXPECT_NE(test::RunCommand(probe).exitCode, 0);
    }
    EXPECT_EQ(test::RunCommand(probe).exitCode, 0);
}

std::vector<std::string> Names(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The temporary of a name of 255 bytes (three-byte characters) stays
// within the limit, cut between characters, and still names its process;
// put in place by a batch as by itself, beside another long name that
// starts alike (two files of one folder an extraction writes at once).
// (Outputs committed, discarded and killed: the commands' output safety
// tests.)
TEST(AtomicOutput, TheTemporaryOfALongNameKeepsWithinTheLimit)
{
    TempDir dir;
    std::string longName;
    while (longName.size() + 3 <= 255) {
        longName += "\xe2\x82\xac";
    }
    AtomicOutput out;
    ASSERT_TRUE(out.Open(dir / longName, ExistingOutput::Refuse)) << out.LastError();
    const std::string temporary = out.WritingPath().substr(dir.Path().size() + 1);
    EXPECT_LE(temporary.size(), 255u);
    EXPECT_EQ(TemporaryNameProcess(temporary, longName), static_cast<std::uint64_t>(::getpid()));
    EXPECT_EQ(TemporaryNameProcess(temporary, "out.iso"), std::nullopt);
    ASSERT_TRUE(out.Stream().Write("complete", 8));
    const std::string alike = longName.substr(0, longName.size() - 3) + "ab";
    AtomicOutput other;
    ASSERT_TRUE(other.Open(dir / alike, ExistingOutput::Refuse)) << other.LastError();
    EXPECT_EQ(TemporaryNameProcess(other.WritingPath().substr(dir.Path().size() + 1), longName), std::nullopt);
    ASSERT_TRUE(other.Stream().Write("other", 5));
    OutputBatch batch;
    EXPECT_FALSE(batch.Add(std::move(out), 8)) << "one output of 8 bytes fills no batch";
    EXPECT_FALSE(batch.Add(std::move(other), 5));
    EXPECT_EQ(batch.Size(), 2u);
    batch.Commit([](std::size_t, const std::string& error) { EXPECT_EQ(error, ""); });
    EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{alike, longName}));
    EXPECT_EQ(ReadText(dir / longName), "complete");
    EXPECT_EQ(ReadText(dir / alike), "other");
}

TEST(AtomicOutput, WhatHoldsTheNameIsReplacedOrRefusedAsTheModeSays)
{
    enum class Holder { File, LinkToFile, DanglingLink, Folder };
    struct Case {
        ExistingOutput mode;
        Holder holder;
        bool opens;
        std::string name;  // what the name then holds: the new text, or "old"
        std::string other; // what the link's target holds afterwards
        bool link;         // the name is still a link
    };
    const Case cases[] = {
        {ExistingOutput::Replace, Holder::File, true, "new", "", false},
        {ExistingOutput::Replace, Holder::LinkToFile, true, "new", "new", true}, // through the link
        {ExistingOutput::Replace, Holder::DanglingLink, true, "new", "new", true}, // made where it leads
        {ExistingOutput::Replace, Holder::Folder, false, "", "", false},
        {ExistingOutput::ReplaceEntry, Holder::File, true, "new", "", false},
        {ExistingOutput::ReplaceEntry, Holder::LinkToFile, true, "new", "old", false}, // the link itself
        {ExistingOutput::ReplaceEntry, Holder::DanglingLink, true, "new", "", false},
        {ExistingOutput::ReplaceEntry, Holder::Folder, false, "", "", false},
        {ExistingOutput::Refuse, Holder::File, false, "old", "", false},
        {ExistingOutput::Refuse, Holder::LinkToFile, false, "old", "old", true},
        {ExistingOutput::Refuse, Holder::DanglingLink, false, "", "", true},
        {ExistingOutput::Refuse, Holder::Folder, false, "", "", false},
    };
    for (const Case& kase : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(kase.mode)) + "/" + std::to_string(static_cast<int>(kase.holder)));
        TempDir dir;
        const std::string path = dir / "name";
        const std::string other = dir / "other";
        switch (kase.holder) {
        case Holder::File: WriteWholeFile(path, std::string("old")); break;
        case Holder::LinkToFile:
            WriteWholeFile(other, std::string("old"));
            ASSERT_TRUE(MakeSymlink("other", path));
            break;
        case Holder::DanglingLink: ASSERT_TRUE(MakeSymlink("other", path)); break;
        case Holder::Folder: ASSERT_TRUE(MakeDirectory(path)); break;
        }
        const std::vector<std::string> before = Names(dir.Path());
        AtomicOutput out;
        ASSERT_EQ(out.Open(path, kase.mode), kase.opens) << out.LastError();
        if (kase.opens) {
            ASSERT_TRUE(out.Stream().Write("new", 3));
            ASSERT_TRUE(out.Commit()) << out.LastError();
        } else {
            EXPECT_NE(out.LastError().find("cannot create '" + path + "'"), std::string::npos) << out.LastError();
            EXPECT_EQ(Names(dir.Path()), before) << "a refused output leaves nothing";
        }
        if (!kase.name.empty()) {
            EXPECT_EQ(ReadText(path), kase.name);
        }
        if (!kase.other.empty()) {
            EXPECT_EQ(ReadText(other), kase.other);
        }
        FileInfo self;
        ASSERT_TRUE(GetLinkInfo(path, self));
        EXPECT_EQ(self.isSymlink, kase.link);
    }
}

TEST(AtomicOutput, ANameTakenMeanwhileIsNotClobberedAndAHeldFileIsNotReplaced)
{
    TempDir dir;
    const std::string path = dir / "name";
    AtomicOutput out;
    ASSERT_TRUE(out.Open(path, ExistingOutput::Refuse)) << out.LastError();
    ASSERT_TRUE(out.Stream().Write("new", 3));
    WriteWholeFile(path, std::string("appeared"));
    EXPECT_FALSE(out.Commit());
    EXPECT_NE(out.LastError().find("File exists"), std::string::npos) << out.LastError();
    EXPECT_EQ(ReadText(path), "appeared");
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"name"});

    // The file being replaced is held while the output is written, and a
    // file another user holds is not replaced.
    ASSERT_TRUE(out.Open(path, ExistingOutput::Replace)) << out.LastError();
    File reader;
    EXPECT_FALSE(reader.Open(path, OpenMode::ReadShared));
    ASSERT_TRUE(out.Commit()) << out.LastError();
    ASSERT_TRUE(reader.Open(path, OpenMode::ReadShared)) << reader.LastError();
    AtomicOutput refused;
    EXPECT_FALSE(refused.Open(path, ExistingOutput::Replace));
    EXPECT_NE(refused.LastError().find("in use"), std::string::npos) << refused.LastError();
}

TEST(AtomicOutput, AReplacementKeepsThePermissionsAndAWriteProtectedFileIsNotReplaced)
{
    TempDir dir;
    const std::string path = dir / "out.iso";
    WriteWholeFile(path, std::string("old"));
    ASSERT_TRUE(SetFileMode(path, 0640));
    AtomicOutput out;
    ASSERT_TRUE(out.Open(path, ExistingOutput::Replace)) << out.LastError();
    ASSERT_TRUE(out.Commit()) << out.LastError();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    // As an ordinary user (root may write any file), in a folder open to all.
    ::chmod(dir.Path().c_str(), 0777);
    const std::string guarded = dir / "guarded.iso";
    const int result = test::AsOrdinaryUser([&] {
        WriteWholeFile(guarded, std::string("kept"));
        if (::chmod(guarded.c_str(), 0444) != 0) {
            return 2;
        }
        AtomicOutput refused;
        if (refused.Open(guarded, ExistingOutput::Replace)) {
            return 3;
        }
        return refused.LastError().find("Permission denied") != std::string::npos ? 0 : 4;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadText(guarded), "kept");
}

TEST(AtomicOutput, OnlyStaleTemporariesOfGoneProcessesAreRemoved)
{
    TempDir dir;
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const auto dead = static_cast<std::uint64_t>(gone);
    const std::string stale = TemporaryNameFor("out.iso", dead);
    const std::string staleOther = TemporaryNameFor("other.bin", dead);
    const std::string lockedName = TemporaryNameFor("locked.iso", dead);
    const std::vector<std::string> kept{
        TemporaryNameFor("out.iso", 1),                       // its process is there
        "out.iso",                                            // the output itself
        "." + std::string("out.iso.tarvelin-") + std::to_string(dead) + ".part.bak",
        "out.iso.tarvelin-" + std::to_string(dead) + ".part", // no leading dot
        ".out.iso.tarvelin-0" + std::to_string(dead) + ".part",
        ".out.iso.tarvelin-.part",
        lockedName, // held open
    };
    for (const std::string& name : kept) {
        WriteWholeFile(dir / name, std::string("x"));
    }
    WriteWholeFile(dir / stale, std::string("x"));
    WriteWholeFile(dir / staleOther, std::string("x"));
    // A folder and a link of a stale temporary's name are not files it wrote.
    const std::string folderName = TemporaryNameFor("folder", dead);
    const std::string linkName = TemporaryNameFor("link", dead);
    ASSERT_TRUE(MakeDirectory(dir / folderName));
    ASSERT_TRUE(MakeSymlink("out.iso", dir / linkName));
    File holder;
    ASSERT_TRUE(holder.Open(dir / lockedName, OpenMode::ReadOnly));

    EXPECT_EQ(RemoveStaleTemporaries(dir.Path(), "out.iso"), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir / stale));
    EXPECT_TRUE(std::filesystem::exists(dir / staleOther));
    EXPECT_EQ(RemoveStaleTemporaries(dir.Path()), 1u);
    std::vector<std::string> left = kept;
    left.push_back(folderName);
    left.push_back(linkName);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(Names(dir.Path()), left);

    // An output opened again removes what a killed run left for its name.
    holder.Close();
    WriteWholeFile(dir / stale, std::string("x"));
    AtomicOutput out;
    ASSERT_TRUE(out.Open(dir / "out.iso", ExistingOutput::Replace)) << out.LastError();
    EXPECT_FALSE(std::filesystem::exists(dir / stale));
}

} // namespace
} // namespace tarvelin::platform
