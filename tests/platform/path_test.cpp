#include "platform/path.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

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
    EXPECT_TRUE(IsPlainName("a\\b")) << "a backslash is part of a name here";
    EXPECT_TRUE(IsPlainName("a:b"));
    EXPECT_TRUE(IsPlainName(".. "));
    EXPECT_FALSE(IsPlainName("a/b"));
    EXPECT_TRUE(HasRoot("/a/b"));
    EXPECT_FALSE(HasRoot("a/b"));
    EXPECT_FALSE(HasRoot("../b"));
    EXPECT_FALSE(HasRoot(""));
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

TEST(PlatformPath, TempFolderFollowsTmpdir)
{
    const char* set = std::getenv("TMPDIR");
    const std::optional<std::string> saved = set ? std::optional<std::string>(set) : std::nullopt;
    const std::pair<const char*, const char*> cases[] = {
        {"/var/scratch/", "/var/scratch"}, {"/var/scratch", "/var/scratch"}, {"", "/tmp"}, {nullptr, "/tmp"},
        {"/", "/"}};
    for (const auto& [value, folder] : cases) {
        value ? ::setenv("TMPDIR", value, 1) : ::unsetenv("TMPDIR");
        EXPECT_EQ(TempFolder(), folder) << (value ? value : "unset");
    }
    saved ? ::setenv("TMPDIR", saved->c_str(), 1) : ::unsetenv("TMPDIR");
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
