#include "platform/path.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace tarvelin::platform {
namespace {

TEST(PlatformPath, JoinPathAddsExactlyOneSeparator)
{
    EXPECT_EQ(PathSeparator(), '/');
    EXPECT_EQ(JoinPath("a", "b.iso"), "a/b.iso");
    EXPECT_EQ(JoinPath("a/", "b.iso"), "a/b.iso");
    EXPECT_EQ(JoinPath("a", "/b.iso"), "a/b.iso");
    EXPECT_EQ(JoinPath("a/", "/b.iso"), "a/b.iso");
    EXPECT_EQ(JoinPath("/", "b.iso"), "/b.iso");
    EXPECT_EQ(JoinPath("", "b.iso"), "b.iso");
    EXPECT_EQ(JoinPath("a", ""), "a/");
    EXPECT_TRUE(ContainsPathSeparator("a/b"));
    EXPECT_FALSE(ContainsPathSeparator("a\\b")) << "a backslash is part of a name here";
    EXPECT_TRUE(IsPathSeparator('/'));
    EXPECT_FALSE(IsPathSeparator('\\'));
}

TEST(PlatformPath, NamePartsOfAPath)
{
    EXPECT_EQ(FileNameOf("a/b.iso"), "b.iso");
    EXPECT_EQ(FileNameOf("b.iso"), "b.iso");
    EXPECT_EQ(FileNameOf("a/"), "");
    EXPECT_EQ(FolderOf("a/b.iso"), "a");
    EXPECT_EQ(FolderOf("/x/y/b.iso"), "/x/y");
    EXPECT_EQ(FolderOf("b.iso"), "");
    EXPECT_EQ(FolderOf("/b.iso"), "/") << "a file in the root stays in the root";
    EXPECT_EQ(JoinPath(FolderOf("/b.iso"), FileNameOf("/b.iso")), "/b.iso");
    EXPECT_EQ(ExtensionOf("b.iso"), ".iso");
    EXPECT_EQ(ExtensionOf("a/b.tar.gz"), ".gz");
    EXPECT_EQ(ExtensionOf("dir.d/readme"), "") << "a dot in the folder is not the file's extension";
    EXPECT_EQ(ExtensionOf("name."), ".");
    EXPECT_EQ(ExtensionOf(""), "");
}

// Sets or clears TMPDIR for one test and puts it back.
class TmpDirVariable {
public:
    TmpDirVariable()
    {
        if (const char* value = std::getenv("TMPDIR")) {
            saved_ = value;
        }
    }
    ~TmpDirVariable()
    {
        if (saved_) {
            ::setenv("TMPDIR", saved_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }
    TmpDirVariable(const TmpDirVariable&) = delete;
    TmpDirVariable& operator=(const TmpDirVariable&) = delete;

private:
    std::optional<std::string> saved_;
};

TEST(PlatformPath, TempFolderFollowsTmpdir)
{
    TmpDirVariable restore;
    ::setenv("TMPDIR", "/var/scratch/", 1);
    EXPECT_EQ(TempFolder(), "/var/scratch");
    ::setenv("TMPDIR", "/var/scratch", 1);
    EXPECT_EQ(TempFolder(), "/var/scratch");
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(TempFolder(), "/tmp");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(TempFolder(), "/tmp");
    ::setenv("TMPDIR", "/", 1);
    EXPECT_EQ(TempFolder(), "/");
}

TEST(PlatformPath, FreeDiskSpaceMatchesDf)
{
    TARVELIN_REQUIRE_TOOL("df");
    test::TempDir dir;
    std::uint64_t ours = 0;
    ASSERT_TRUE(FreeDiskSpace(dir.Path(), ours));
    const auto df = test::RunCommand("df -B1 --output=avail " + test::ShellQuote(dir.Path()) + " | tail -n 1");
    ASSERT_EQ(df.exitCode, 0) << df.output;
    const std::uint64_t theirs = std::stoull(df.output);
    // Other work on the machine writes meanwhile; the two must still agree
    // far more closely than a unit mistake (blocks against bytes) would.
    const std::uint64_t difference = ours > theirs ? ours - theirs : theirs - ours;
    EXPECT_LT(difference, 256ULL << 20) << "ours " << ours << ", df " << theirs;

    std::uint64_t untouched = 12345;
    EXPECT_FALSE(FreeDiskSpace(dir / "missing/deeper", untouched));
    EXPECT_EQ(untouched, 12345u);
}

} // namespace
} // namespace tarvelin::platform
