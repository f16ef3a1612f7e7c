// tarvelin-cli extract: trees equal their sources in bytes and dates on every stored form; failures leave no short
// file; names and links from an image or planted in the destination never lead outside it.

#include "cli/tricky_images.h"
#include "edit/iso_extract.h"
#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;

std::string Cli(const std::string& arguments, const std::string& zone = "UTC") { return test::CliLine(arguments, zone); }

using test::Contains;

// The part of a snapshot below prefix, with prefix taken off the paths.
std::map<std::string, test::DiskEntry> Below(const std::map<std::string, test::DiskEntry>& tree,
                                             const std::string& prefix)
{
    std::map<std::string, test::DiskEntry> part;
    for (const auto& [path, entry] : tree) {
        if (path.rfind(prefix, 0) == 0 && path.size() > prefix.size()) {
            part[path.substr(prefix.size())] = entry;
        }
    }
    return part;
}

class ExtractCommandTest : public test::TrickyImagesTest {
protected:
    static const std::map<std::string, test::DiskEntry>& Source()
    {
        static const auto source = test::SnapshotTree(At("tree"));
        return source;
    }

    TempDir out_;
};

TEST_F(ExtractCommandTest, WholeTreeEqualsTheSourceInBytesAndDatesOnEveryStoredForm)
{
    // The dates are the same instants whatever the zone the extraction runs in.
    const std::pair<const char*, const char*> cases[] = {{"jr.iso", "UTC"}, {"joliet.iso", "UTC"},
        {"jr-mode1.bin", "UTC"}, {"jr-mode2.bin", "UTC"}, {"joliet.iso", "America/New_York"}};
    for (const auto& [image, zone] : cases) {
        SCOPED_TRACE(std::string(image) + " in " + zone);
        // A destination that does not exist yet, two levels deep.
        const std::string destination = out_ / (std::string(zone) == "UTC" ? image : "new-york") + "/made/here";
        const CommandResult result =
            RunCommand(Cli("extract " + ShellQuote(At(image)) + " -C " + ShellQuote(destination), zone));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        // No terminal, so no progress bar and nothing else to say.
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(test::SnapshotTree(destination), Source());
    }
}

TEST_F(ExtractCommandTest, FolderAndFilePathsLandUnderTheirOwnNames)
{
    const std::string image = ShellQuote(At("jr.iso"));
    const std::string destination = out_ / "parts";
    const CommandResult result = RunCommand(Cli("extract " + image + " nested /1/2/3 Grüße/straße.TXT " + ShellQuote(std::string(101, 'L'))
                                                + " -C " + ShellQuote(destination)));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const auto extracted = test::SnapshotTree(destination);
    // A folder comes with everything below it and keeps its date.
    EXPECT_EQ(Below(extracted, "nested/"), Below(Source(), "nested/"));
    EXPECT_EQ(extracted.at("nested/"), Source().at("nested/"));
    EXPECT_EQ(Below(extracted, "3/"), Below(Source(), "1/2/3/"));
    EXPECT_EQ(extracted.at("Straße.txt"), Source().at("Grüße/Straße.txt"));
    EXPECT_EQ(extracted.at(std::string(101, 'L')), Source().at(std::string(101, 'L')));
    EXPECT_EQ(extracted.size(), 2 + Below(Source(), "nested/").size() + 1 + Below(Source(), "1/2/3/").size() + 1);

    // The root is the whole tree, straight into the destination.
    const std::string whole = out_ / "whole";
    ASSERT_EQ(RunCommand(Cli("extract " + image + " / -C " + ShellQuote(whole))).exitCode, 0);
    EXPECT_EQ(test::SnapshotTree(whole), Source());
}

TEST_F(ExtractCommandTest, ExistingFilesAreReplacedAndLinksInTheDestinationAreNotFollowed)
{
    const std::string destination = out_ / "planted";
    const std::string outside = out_ / "outside";
    fs::create_directories(destination);
    fs::create_directories(outside);
    test::WriteWholeFile(outside + "/victim", std::string("must stay\n"));
    // A link where a file of the image goes, and one where a folder goes.
    fs::create_symlink(outside + "/victim", destination + "/README");
    fs::create_symlink(outside, destination + "/sizes");
    test::WriteWholeFile(destination + "/a", std::string("an older, longer file in the way\n"));

    const CommandResult result =
        RunCommand(Cli("extract " + ShellQuote(At("jr.iso")) + " -C " + ShellQuote(destination)));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    // The folder not made is counted with everything below it.
    const std::size_t below = Below(Source(), "sizes/").size();
    EXPECT_TRUE(Contains(result.output, "sizes' is a symbolic link; not followed; the " + std::to_string(below)
                                            + " entries inside it not extracted")) << result.output;
    EXPECT_TRUE(Contains(result.output, std::to_string(below + 1) + " entries could not be extracted")) << result.output;

    const std::vector<std::uint8_t> victim = test::ReadWholeFile(outside + "/victim");
    EXPECT_EQ(std::string(victim.begin(), victim.end()), "must stay\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::is_symlink(destination + "/README"));
    EXPECT_EQ(test::ReadWholeFile(destination + "/README"), Source().at("README").bytes);
    EXPECT_EQ(test::ReadWholeFile(destination + "/a"), Source().at("a").bytes);
}

TEST_F(ExtractCommandTest, AReadFailureRemovesThePartFileAndNamesIt)
{
    // The image ends in the middle of the 2.5 MiB file: its first chunk can be read, the rest cannot.
    const std::string image = out_ / "cut.iso";
    fs::copy_file(At("jr.iso"), image);
    const auto listed = test::ParseLongListing(test::CliOutput("ls -l " + ShellQuote(image) + " sizes/chunks.bin"));
    const std::uint32_t extent = listed.contains("chunks.bin") ? listed.at("chunks.bin").extent : 0;
    ASSERT_GT(extent, 0u);
    fs::resize_file(image, (std::uint64_t{extent} + 700) * 2048);

    CommandResult result = RunCommand(Cli("ls -R " + ShellQuote(image)));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Contains(result.output, "warning")) << result.output;
    EXPECT_TRUE(Contains(result.output, "beyond the end of the image")) << result.output;

    const std::string destination = out_ / "cut";
    result = RunCommand(Cli("extract " + ShellQuote(image) + " -C " + ShellQuote(destination)));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_TRUE(Contains(result.output, "chunks.bin' not extracted: cannot read it from the image")) << result.output;
    EXPECT_FALSE(fs::exists(destination + "/sizes/chunks.bin"));
    // Every file that is there is there in full; the ones lying behind the cut are missing, but not short.
    std::size_t files = 0;
    for (const auto& [path, entry] : test::SnapshotTree(destination)) {
        if (!entry.isDirectory) {
            EXPECT_EQ(entry.bytes, Source().at(path).bytes) << path;
            ++files;
        }
    }
    EXPECT_GT(files, 5u);

    // Cut three bytes into a small file's one sector: the rest of that sector is no data of the file, and it is not
    // given out as if it were.
    const auto readme = test::ParseLongListing(test::CliOutput("ls -l " + ShellQuote(At("jr.iso"))));
    ASSERT_TRUE(readme.contains("README"));
    ASSERT_GT(readme.at("README").size, 3u);
    fs::resize_file(image, std::uint64_t{readme.at("README").extent} * 2048 + 3);
    test::ExpectRefusals({{"cat " + ShellQuote(image) + " README", 1, "beyond the end of the image"}});
}

TEST_F(ExtractCommandTest, AWriteFailureRemovesThePartFileAndNamesIt)
{
    // A file size limit of 1 MiB: the second chunk of the 2.5 MiB file cannot be written (EFBIG; the signal is
    // ignored).
    const std::string destination = out_ / "limited";
    const CommandResult result =
        RunCommand("bash -c " + ShellQuote("trap '' XFSZ; ulimit -f 1024; exec " + Cli("extract " + ShellQuote(At("jr.iso")) + " -C " + ShellQuote(destination))));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_TRUE(Contains(result.output, "chunks.bin' not extracted: cannot write")) << result.output;
    EXPECT_TRUE(Contains(result.output, "1 entry could not be extracted")) << result.output;
    EXPECT_FALSE(fs::exists(destination + "/sizes/chunks.bin"));
    auto extracted = test::SnapshotTree(destination);
    auto expected = Source();
    expected.erase("sizes/chunks.bin");
    // The folder holding the failed file has its date all the same.
    EXPECT_EQ(extracted, expected);
}

TEST_F(ExtractCommandTest, AnUnwritableDestinationFailsWithoutLeavingFiles)
{
    const std::string destination = out_ / "locked";
    fs::create_directories(destination);
    std::string prefix;
    if (::geteuid() == 0) {
        // Root may write anywhere; try as an ordinary user.
        TARVELIN_REQUIRE_TOOL("setpriv");
        ASSERT_EQ(::chmod(out_.Path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(At("").c_str(), 0755), 0);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        if (RunCommand(prefix + "test -r " + ShellQuote(At("jr.iso")) + " -a -x " + ShellQuote(TARVELIN_CLI_PATH)).exitCode != 0) {
            GTEST_SKIP() << "the image or the program cannot be reached by an unprivileged user here";
        }
    } else {
        ASSERT_EQ(::chmod(destination.c_str(), 0555), 0);
    }
    const CommandResult result =
        RunCommand(prefix + Cli("extract " + ShellQuote(At("jr.iso")) + " a sizes -C " + ShellQuote(destination)));
    ::chmod(destination.c_str(), 0755);
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_TRUE(Contains(result.output, "Permission denied")) << result.output;
    EXPECT_TRUE(Contains(result.output, "/locked/a")) << result.output;
    EXPECT_TRUE(fs::is_empty(destination));
}

TEST_F(ExtractCommandTest, FailuresBeforeExtractingCreateNothing)
{
    const std::string image = ShellQuote(At("jr.iso"));
    const std::string destination = out_ / "never";
    const std::string to = " -C " + ShellQuote(destination);
    test::WriteWholeFile(out_ / "noise.bin", test::RandomBytes(100000, 9));
    test::ExpectRefusals({{"extract " + image + " a no/such" + to, 1, "'/no' not found"},
                          {"extract " + ShellQuote(out_ / "missing.iso") + to, 1, "missing.iso"},
                          {"extract " + ShellQuote(out_ / "noise.bin") + to, 2},
                          {"extract " + image, 64},
                          {"extract " + to, 64},
                          {"extract " + image + " -C", 64},
                          {"extract " + image + " -q" + to, 64}},
                         [&](const test::Refusal&) { EXPECT_FALSE(fs::exists(destination)); });
}

// An image with names that would leave the destination if used as they stand, beside one good file, one good folder
// and a name that would clear the terminal and ring its bell if printed as it stands. Joliet names can carry any
// character, '/' included. Listings show control characters as '?'; extraction keeps such a name as the image has it.
TEST(ExtractUntrustedNamesTest, NamesThatWouldLeaveTheDestinationAreRefusedAndControlCharactersNeverShown)
{
    TempDir dir;
    test::MemorySector image(40);
    const std::string good = "good data\n";
    const std::string evil = "must never be written\n";
    std::copy(good.begin(), good.end(), image.SectorData(30));
    std::copy(evil.begin(), evil.end(), image.SectorData(31));
    const auto size = [](const std::string& text) { return static_cast<std::uint32_t>(text.size()); };
    const std::string bell = "bell\a\x1b[2Jclear\x7f.txt";
    const std::vector<iso::DirectoryRecord> inner{
        test::MakeRecord(test::JolietId(".."), 31, size(evil)),
        test::MakeRecord(test::JolietId("inner.txt"), 30, size(good)),
    };
    const std::uint32_t innerLength = test::MemorySector::DirectoryLength(inner);
    const std::vector<iso::DirectoryRecord> root{
        test::MakeRecord(test::JolietId(".."), 31, size(evil)),
        test::MakeRecord(test::JolietId("."), 31, size(evil)),
        test::MakeRecord(test::JolietId("../escaped.txt"), 31, size(evil)),
        test::MakeRecord(test::JolietId("/tmp/absolute.txt"), 31, size(evil)),
        test::MakeRecord(test::JolietId(bell), 30, size(good)),
        test::MakeRecord(test::JolietId("folder"), 23, innerLength, iso::DirectoryFlags::kDirectory),
        test::MakeRecord(test::JolietId("good.txt"), 30, size(good)),
    };
    const std::uint32_t rootLength = image.WriteDirectory(22, 22, 0, root);
    image.WriteDirectory(23, 22, rootLength, inner);
    const std::uint32_t primaryLength = image.WriteDirectory(20, 20, 0, {});
    image.WriteDescriptors(20, primaryLength, std::make_pair(22u, rootLength));
    const std::string imagePath = dir / "untrusted.iso";
    test::WriteWholeFile(imagePath, image.bytes);

    for (const char* options : {"ls ", "ls -R -l "}) {
        const CommandResult listed = RunCommand(Cli(options + ShellQuote(imagePath)));
        EXPECT_EQ(listed.exitCode, 0) << listed.output;
        EXPECT_TRUE(Contains(listed.output, "bell??[2Jclear?.txt\n")) << listed.output;
        EXPECT_FALSE(Contains(listed.output, "\x1b")) << listed.output;
        EXPECT_FALSE(Contains(listed.output, "\a")) << listed.output;
    }
    const CommandResult longListed = RunCommand(Cli("ls -l " + ShellQuote(imagePath)));
    EXPECT_TRUE(Contains(longListed.output, "          10  ")) << "the size right-aligned in 12 columns: "
                                                                    << longListed.output;
    EXPECT_TRUE(Contains(longListed.output, "          30  bell??")) << "the extent in 10 columns, then the name: "
                                                                      << longListed.output;

    const std::string destination = dir / "deep/out";
    const CommandResult result = RunCommand(Cli("extract " + ShellQuote(imagePath) + " -C " + ShellQuote(destination)));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    for (const char* name : {"'..'", "'.'", "'../escaped.txt'", "'/tmp/absolute.txt'"}) {
        EXPECT_TRUE(Contains(result.output, std::string("refusing the entry ") + name)) << result.output;
    }
    EXPECT_TRUE(Contains(result.output, "5 entries could not be extracted")) << result.output;
    // The good entries are there; nothing else is, here or above.
    EXPECT_EQ(test::PathsOf(test::SnapshotTree(dir.Path())),
              (std::vector<std::string>{"deep/", "deep/out/", "deep/out/" + bell, "deep/out/folder/",
                                        "deep/out/folder/inner.txt", "deep/out/good.txt", "untrusted.iso"}));
    EXPECT_FALSE(fs::exists("/tmp/absolute.txt"));
    for (const std::string& name : {std::string("good.txt"), bell}) {
        EXPECT_EQ(test::ReadWholeFile(destination + "/" + name), std::vector<std::uint8_t>(good.begin(), good.end()));
    }
}

// Two versions of one file, listed highest first as ECMA-119 orders them (genisoimage's records of FOO.TXT and FOP.TXT
// renamed FOO.TXT;2 and FOO.TXT;1): the name is version 1's, as 7-Zip and bsdtar (and the Linux kernel) give it, and
// the other version keeps its version in its name, as they extract it.
TEST(ExtractUntrustedNamesTest, OfTwoVersionsOfAFileVersionOneTakesTheName)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "7z", "bsdtar");
    TempDir dir;
    const std::string one = "version one\n";
    fs::create_directories(dir / "src");
    test::WriteWholeFile(dir / "src/foo.txt", std::string("version two, longer\n"));
    test::WriteWholeFile(dir / "src/fop.txt", one);
    const std::string imagePath = dir / "versions.iso";
    test::RunGenisoimage(dir / "src", imagePath, "");
    std::vector<std::uint8_t> bytes = test::ReadWholeFile(imagePath);
    using Renaming = std::pair<std::string, std::string>;
    for (const auto& [from, to] : {Renaming{"FOO.TXT;1", "FOO.TXT;2"}, Renaming{"FOP.TXT;1", "FOO.TXT;1"}}) {
        const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
        ASSERT_NE(at, bytes.end()) << from;
        std::copy(to.begin(), to.end(), at);
    }
    test::WriteWholeFile(imagePath, bytes);

    const std::string two = "version two, longer\n";
    const std::string by7z = dir / "7z", byBsdtar = dir / "bsdtar";
    fs::create_directories(byBsdtar);
    for (const std::string& line : {"7z x -y -o" + ShellQuote(by7z) + " " + ShellQuote(imagePath),
                                    "bsdtar -xf " + ShellQuote(imagePath) + " -C " + ShellQuote(byBsdtar)}) {
        ASSERT_EQ(RunCommand(line).exitCode, 0) << line;
    }
    const std::string destination = dir / "out";
    const CommandResult result = RunCommand(Cli("extract " + ShellQuote(imagePath) + " -C " + ShellQuote(destination)));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    for (const std::string& root : {by7z, byBsdtar, destination}) {
        EXPECT_EQ(test::ReadWholeFile(root + "/FOO.TXT"), std::vector<std::uint8_t>(one.begin(), one.end())) << root;
        EXPECT_EQ(test::ReadWholeFile(root + "/FOO.TXT;2"), std::vector<std::uint8_t>(two.begin(), two.end())) << root;
    }
    EXPECT_EQ(RunCommand(Cli("cat " + ShellQuote(imagePath) + " FOO.TXT")).output, one);
    EXPECT_EQ(RunCommand(Cli("cat " + ShellQuote(imagePath) + " 'FOO.TXT;2'")).output, two);
}

// A tree held in memory: what the extraction reads of an image, with any POSIX facts a test wants.
class MemoryTree final : public ExtractTree {
public:
    struct Node {
        ItemInfo info;
        std::string data;
        std::vector<ExtractNode> children;
    };

    MemoryTree() { Add(nullptr, "", true, 0, ""); }
    const Node* Root() const { return &nodes_.front(); }

    // A file (or link, by its mode) or folder below parent; mode 0: none recorded.
    const Node* Add(const Node* parent, const std::string& name, bool folder, std::uint32_t mode,
                    const std::string& text)
    {
        Node& node = nodes_.emplace_back();
        node.info.name = name;
        node.info.isDirectory = folder;
        node.info.posix.known = mode != 0;
        node.info.posix.mode = mode;
        if (iso::IsSymlinkMode(mode)) {
            node.info.posix.linkTarget = text;
        } else {
            node.data = text;
            node.info.size = text.size();
        }
        if (parent != nullptr) {
            const_cast<Node*>(parent)->children.push_back(&node);
        }
        return &node;
    }

    bool IsRoot(ExtractNode node) override { return node == Root(); }
    ItemInfo Info(ExtractNode node) override { return Of(node).info; }
    void Children(ExtractNode node, std::vector<ExtractNode>& out) override { out = Of(node).children; }
    bool Read(ExtractNode node, std::uint64_t offset, std::uint8_t* buffer, std::uint32_t count,
              std::string* problem) override
    {
        const std::string& data = Of(node).data;
        if (offset + count > data.size()) {
            *problem = "no such data";
            return false;
        }
        std::memcpy(buffer, data.data() + offset, count);
        return true;
    }

private:
    static const Node& Of(ExtractNode node) { return *static_cast<const Node*>(node); }
    std::deque<Node> nodes_;
};

constexpr std::uint32_t kFile = iso::kModeRegular;
constexpr std::uint32_t kFolder = iso::kModeDirectory;
constexpr std::uint32_t kLink = iso::kModeSymlink | 0777;

struct Expected {
    std::string path;
    std::uint32_t type;      // S_IFREG, S_IFDIR, S_IFLNK
    std::uint32_t permissions; // checked for files and folders
    std::string linkTarget;
};

void ExpectOnDisk(const std::string& root, const std::vector<Expected>& rows)
{
    for (const Expected& row : rows) {
        SCOPED_TRACE(row.path);
        struct stat self {};
        ASSERT_EQ(::lstat((root + "/" + row.path).c_str(), &self), 0) << std::strerror(errno);
        EXPECT_EQ(self.st_mode & S_IFMT, row.type);
        if (row.type == S_IFLNK) {
            EXPECT_EQ(fs::read_symlink(root + "/" + row.path).string(), row.linkTarget);
        } else {
            EXPECT_EQ(self.st_mode & 07777, row.permissions);
        }
    }
}

TEST(ExtractPosixTest, ModesAreAppliedWithoutSetIdBitsAndLinksAreMadeAsLinks)
{
    // Folders an ordinary user can write in; the outside one too, so that anything written through a link would land
    // there.
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string work = dir / "work";
    const std::string outside = dir / "outside";
    for (const std::string& folder : {work, outside}) {
        fs::create_directories(folder);
        ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    }

    MemoryTree tree;
    const MemoryTree::Node* root = tree.Root();
    tree.Add(root, "run.sh", false, kFile | 0751, "#!/bin/sh\n");
    tree.Add(root, "setid", false, kFile | 06755, "x");
    tree.Add(root, "plain", false, 0, "no facts recorded");
    tree.Add(root, "folder-mode", false, kFolder | 0700, "a file whose record says folder");
    tree.Add(root, "link-abs", false, kLink, "/etc/passwd");
    tree.Add(root, "link-rel", false, kLink, "run.sh");
    tree.Add(root, "link-up", false, kLink, "../../outside");
    // Not even searchable: nothing below it can be done once its mode is set.
    const MemoryTree::Node* readOnly = tree.Add(root, "ro", true, kFolder | 0444, "");
    tree.Add(readOnly, "inside.txt", false, kFile | 0444, "read only\n");
    const MemoryTree::Node* deeper = tree.Add(readOnly, "deeper", true, kFolder | 0500, "");
    tree.Add(deeper, "leaf", false, kFile | 0600, "leaf\n");
    tree.Add(root, "shared", true, kFolder | 03777, "");
    // A link, then a folder and a file of the same name: neither goes through it.
    tree.Add(root, "evil", false, kLink, outside);
    const MemoryTree::Node* evilFolder = tree.Add(root, "evil", true, kFolder | 0755, "");
    tree.Add(evilFolder, "planted", false, kFile | 0644, "must not land outside\n");
    tree.Add(root, "evil", false, kFile | 0644, "nor this\n");

    const std::string destination = work + "/out";
    const int failures = test::AsOrdinaryUser([&] {
        ExtractOptions options;
        options.report = [&](ExtractProblem, std::string_view message) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
        };
        return static_cast<int>(ExtractEntries(tree, {root}, destination, options).failures);
    });
    EXPECT_EQ(failures, 3) << "the folder (with the file inside it) and the file in the way of the link 'evil'";

    const mode_t mask = ::umask(0);
    ::umask(mask);
    ExpectOnDisk(destination, {
        {"run.sh", S_IFREG, 0751, ""},
        {"setid", S_IFREG, 0755, ""},
        {"plain", S_IFREG, 0666 & ~mask, ""},
        {"folder-mode", S_IFREG, 0666 & ~mask, ""},
        {"link-abs", S_IFLNK, 0, "/etc/passwd"},
        {"link-rel", S_IFLNK, 0, "run.sh"},
        {"link-up", S_IFLNK, 0, "../../outside"},
        {"ro", S_IFDIR, 0444, ""},
        {"ro/inside.txt", S_IFREG, 0444, ""},
        {"ro/deeper", S_IFDIR, 0500, ""},
        {"ro/deeper/leaf", S_IFREG, 0600, ""},
        {"shared", S_IFDIR, 01777, ""},
        {"evil", S_IFLNK, 0, outside},
    });
    EXPECT_TRUE(fs::is_empty(outside));
    // Let the temporary folder be removed.
    ::chmod((destination + "/ro").c_str(), 0755);
    ::chmod((destination + "/ro/deeper").c_str(), 0755);
}

TEST(ExtractPosixTest, WhatHoldsALinksPlaceInAnExistingFolderIsReplacedNotFollowed)
{
    TempDir dir;
    const std::string destination = dir / "out";
    const std::string victim = dir / "victim";
    test::WriteWholeFile(victim, std::string("must stay\n"));
    fs::create_directories(destination + "/a folder/inside");
    fs::permissions(destination + "/a folder/inside", fs::perms::owner_all);
    test::WriteWholeFile(destination + "/was-a-file", std::string("old\n"));
    fs::create_symlink(victim, destination + "/was-a-link");

    MemoryTree tree;
    const MemoryTree::Node* root = tree.Root();
    tree.Add(root, "was-a-file", false, kLink, "target one");
    tree.Add(root, "was-a-link", false, kLink, "target two");
    tree.Add(root, "a folder", false, kLink, "target three");
    tree.Add(root, "no-target", false, kLink, "");
    std::vector<ExtractProblem> problems;
    ExtractOptions options;
    options.report = [&](ExtractProblem problem, std::string_view) { problems.push_back(problem); };
    const ExtractTotals totals = ExtractEntries(tree, {root}, destination, options);
    EXPECT_EQ(totals.files, 2u);
    EXPECT_EQ(problems, (std::vector<ExtractProblem>{ExtractProblem::CannotCreate, ExtractProblem::CannotCreate}));

    ExpectOnDisk(destination, {
        {"was-a-file", S_IFLNK, 0, "target one"},
        {"was-a-link", S_IFLNK, 0, "target two"},
        {"a folder/inside", S_IFDIR, 0700, ""},
    });
    EXPECT_FALSE(fs::exists(fs::symlink_status(destination + "/no-target")));
    const std::vector<std::uint8_t> kept = test::ReadWholeFile(victim);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "must stay\n");
}

// Two entries of one folder that the system takes for one name (a damaged image here; "D" and "d" on Windows, which
// tests/windows/cross_check.sh runs) in a folder that was there before or one the extraction makes: the second is
// refused and said so, never merged into the first or put over it. Files of 4 MiB are placed on their own, each before
// the next is opened.
TEST(ExtractPosixTest, AnEntryNamedTwiceInAnExistingFolderIsRefusedNotPutOverTheFirst)
{
    TempDir dir;
    const std::string destination = dir / "out";
    fs::create_directories(destination);
    const std::string first(std::size_t{4} << 20, 'a');
    const std::string second(std::size_t{4} << 20, 'b');
    MemoryTree tree;
    const MemoryTree::Node* root = tree.Root();
    tree.Add(tree.Add(root, "dup", true, 0, ""), "x", false, 0, first);
    const MemoryTree::Node* again = tree.Add(root, "dup", true, 0, "");
    tree.Add(again, "x", false, 0, second);
    tree.Add(again, "y", false, 0, "only in the second\n");
    tree.Add(root, "big", false, 0, first);
    tree.Add(root, "big", false, 0, second);
    tree.Add(root, "link", false, kLink, "first");
    tree.Add(root, "link", false, kLink, "second");
    std::vector<std::string> messages;
    ExtractOptions options;
    options.report = [&](ExtractProblem, std::string_view message) { messages.emplace_back(message); };
    const ExtractTotals totals = ExtractEntries(tree, {root}, destination, options);
    EXPECT_EQ(totals.failures, 5u) << "the second 'dup' with its 2 files, the second 'big' and the second 'link'";
    EXPECT_EQ(totals.files, 3u);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_TRUE(Contains(messages[0], "dup' is a folder extracted before under another entry's name")) << messages[0];
    EXPECT_TRUE(Contains(messages[0], "the 2 entries inside it not extracted")) << messages[0];
    EXPECT_TRUE(Contains(messages[1], "big' not extracted: an entry extracted before under another name")) << messages[1];
    EXPECT_TRUE(Contains(messages[2], "link' not extracted")) << messages[2];
    EXPECT_EQ(test::ReadWholeFile(destination + "/dup/x"), std::vector<std::uint8_t>(first.begin(), first.end()));
    EXPECT_EQ(test::ReadWholeFile(destination + "/big"), std::vector<std::uint8_t>(first.begin(), first.end()));
    EXPECT_FALSE(fs::exists(destination + "/dup/y"));
    EXPECT_EQ(fs::read_symlink(destination + "/link").string(), "first");

    // In a folder the extraction makes, alike, and said so.
    messages.clear();
    const std::string fresh = dir / "fresh";
    const ExtractTotals inFresh = ExtractEntries(tree, {root}, fresh, options);
    EXPECT_EQ(inFresh.failures, 5u);
    EXPECT_EQ(inFresh.files, 3u);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_TRUE(Contains(messages[0], "dup' is a folder extracted before under another entry's name")) << messages[0];
    for (const std::size_t i : {1u, 2u}) {
        EXPECT_TRUE(Contains(messages[i], "' not extracted: another entry of that name was extracted there before"))
            << messages[i];
    }
    EXPECT_EQ(test::ReadWholeFile(fresh + "/big"), std::vector<std::uint8_t>(first.begin(), first.end()));
    EXPECT_EQ(fs::read_symlink(fresh + "/link").string(), "first");
}

// Rock Ridge as xorriso writes it: extract applies the modes and makes the link. The POSIX facts come from the Rock
// Ridge reader of the tree.
TEST(ExtractPosixTest, RockRidgeModesLinksPipesAndDevicesOfAnXorrisoImage)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    TempDir dir;
    const std::string source = dir / "src";
    fs::create_directories(source + "/locked");
    test::WriteWholeFile(source + "/tool", std::string("#!/bin/sh\n"));
    test::WriteWholeFile(source + "/locked/note.txt", std::string("note\n"));
    fs::create_symlink("locked/note.txt", source + "/shortcut");
    const timespec linkTimes[2] = {{981173106, 0}, {981173106, 0}}; // 2001-02-03 04:05:06 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, (source + "/shortcut").c_str(), linkTimes, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(::chmod((source + "/tool").c_str(), 0751), 0);
    ASSERT_EQ(::chmod((source + "/locked/note.txt").c_str(), 0444), 0);
    ASSERT_EQ(::chmod((source + "/locked").c_str(), 0555), 0);
    ASSERT_EQ(::mkfifo((source + "/pipe").c_str(), 0640), 0);
    const std::string image = dir / "rr.iso";
    // The device node is recorded as one (no privilege needed to read it).
    test::RunXorrisoMkisofs(source, image, "-R -graft-points null=/dev/null");
    ::chmod((source + "/locked").c_str(), 0755);

    const std::string destination = dir / "out";
    const CommandResult result = RunCommand(Cli("extract " + ShellQuote(image) + " -C " + ShellQuote(destination)));
    // A named pipe is made as one; a device is refused and said so, never an empty file in its place.
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_TRUE(Contains(result.output, "null' not extracted: it is a device file")) << result.output;
    EXPECT_FALSE(fs::exists(fs::symlink_status(destination + "/null")));
    ExpectOnDisk(destination, {
        {"tool", S_IFREG, 0751, ""},
        {"locked", S_IFDIR, 0555, ""},
        {"locked/note.txt", S_IFREG, 0444, ""},
        {"shortcut", S_IFLNK, 0, "locked/note.txt"},
        {"pipe", S_IFIFO, 0640, ""},
    });
    struct stat link {};
    ASSERT_EQ(::lstat((destination + "/shortcut").c_str(), &link), 0);
    EXPECT_EQ(link.st_mtime, 981173106) << "the link keeps its own date";
    ::chmod((destination + "/locked").c_str(), 0755);
    // cat has no bytes to write for any of them: each is refused, nothing passes for an empty file.
    test::ExpectRefusals({
        {"cat " + ShellQuote(image) + " /shortcut", 1, "'/shortcut' is a symbolic link to 'locked/note.txt', not a file"},
        {"cat " + ShellQuote(image) + " /pipe", 1, "'/pipe' is a named pipe, not a file"},
        {"cat " + ShellQuote(image) + " /null", 1, "'/null' is a device file, not a file"},
    });
}

// Files xorriso stored compressed (zisofs) come out as they went in, at each block size, through extract, cat,
// ls -l and after a save; a damaged block fails its file and says so, and the files beside it are extracted.
TEST(ExtractPosixTest, ZisofsCompressedFilesAreExpanded)
{
    TARVELIN_REQUIRE_TOOL("xorriso");
    TempDir dir;
    const std::string source = dir / "src";
    fs::create_directories(source);
    std::string text;
    for (int i = 0; text.size() < 300000; ++i) {
        text += std::to_string(i * 7919 % 100003) + (i % 13 == 0 ? "\n" : " ");
    }
    const std::map<std::string, std::string> files = {
        {"text.txt", text},                          // several blocks
        {"zeros.bin", std::string(140000, '\0')},     // blocks stored as nothing
        {"two.txt", text.substr(0, 65536)},           // exactly two blocks of 32 KiB
        {"plain.txt", "plain\n"},                     // too small to compress
    };
    for (const auto& [name, bytes] : files) {
        test::WriteWholeFile(source + "/" + name, bytes);
    }
    const auto expectFiles = [&](const std::string& image, const std::string& destination) {
        const CommandResult result = RunCommand(Cli("extract " + ShellQuote(image) + " -C " + ShellQuote(destination)));
        EXPECT_EQ(result.exitCode, 0) << result.output;
        for (const auto& [name, bytes] : files) {
            const std::vector<std::uint8_t> out = test::ReadWholeFile(destination + "/" + name);
            EXPECT_TRUE(std::string(out.begin(), out.end()) == bytes) << name;
        }
    };
    for (const char* blockSize : {"32k", "128k"}) {
        SCOPED_TRACE(blockSize);
        const std::string image = dir / ("z" + std::string(blockSize) + ".iso");
        const CommandResult made =
            RunCommand("xorriso -outdev " + ShellQuote(image) + " -zisofs level=9:block_size=" + blockSize + " -map "
                       + ShellQuote(source) + " / -set_filter_r --zisofs / -- -commit 2>&1");
        ASSERT_EQ(made.exitCode, 0) << made.output;
        // Stored compressed: the record's size is that of the compressed data, ls -l gives the file's.
        ASSERT_FALSE(Contains(RunCommand("isoinfo -l -i " + ShellQuote(image)).output, " 300"));
        const std::string listing = RunCommand(Cli("ls -l " + ShellQuote(image))).output;
        EXPECT_TRUE(Contains(listing, " " + std::to_string(text.size()) + " ")) << listing;
        EXPECT_TRUE(Contains(listing, " 140000 ")) << listing;
        expectFiles(image, dir / ("out" + std::string(blockSize)));
        EXPECT_EQ(RunCommand(Cli("cat " + ShellQuote(image) + " /two.txt")).output, files.at("two.txt"));

        // A save moves the compressed data as it is.
        test::WriteWholeFile(dir / "added.txt", "added\n");
        ASSERT_EQ(RunCommand(Cli("add " + ShellQuote(image) + " " + ShellQuote(dir / "added.txt"))).exitCode, 0);
        expectFiles(image, dir / ("saved" + std::string(blockSize)));
    }

    // One byte of text.txt's first block changed: that file fails, the others come out.
    const std::string image = dir / "z32k.iso";
    std::istringstream row(RunCommand(Cli("ls -l " + ShellQuote(image) + " /text.txt")).output);
    std::vector<std::string> columns{std::istream_iterator<std::string>(row), {}};
    ASSERT_GE(columns.size(), 2U);
    const std::uint64_t extent = std::stoull(columns[columns.size() - 2]); // mode size date time extent name
    std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const std::uint64_t data = extent * 2048;
    const std::uint32_t firstBlock = bytes[data + 16] | bytes[data + 17] << 8;
    bytes[data + firstBlock + 40] ^= 0x55;
    test::WriteWholeFile(image, std::string(bytes.begin(), bytes.end()));
    const std::string destination = dir / "damaged";
    const CommandResult result = RunCommand(Cli("extract " + ShellQuote(image) + " -C " + ShellQuote(destination)));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_TRUE(Contains(result.output, "the compressed data of 'text.txt' is damaged: block 0")) << result.output;
    EXPECT_FALSE(fs::exists(fs::symlink_status(destination + "/text.txt")));
    EXPECT_EQ(test::ReadWholeFile(destination + "/plain.txt"), std::vector<std::uint8_t>({'p', 'l', 'a', 'i', 'n', '\n'}));
}

} // namespace
} // namespace tarvelin
