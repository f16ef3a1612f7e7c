// Outputs of the writing commands are complete or absent: killed at random moments, on a full file system, on a
// read-only mount or write-protected image; a killed run's temporaries are cleared by the next run.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

// Starts the command-line tool with words as its arguments, standard output and error going to log; as the ordinary
// user when asked and running as root.
pid_t Spawn(const std::vector<std::string>& words, const std::string& log, bool ordinaryUser = false)
{
    std::vector<char*> argv{const_cast<char*>(TARVELIN_CLI_PATH)};
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        if (ordinaryUser && ::geteuid() == 0
            && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0
                || ::setresuid(65534, 65534, 65534) != 0)) {
            ::_exit(126);
        }
        ::execv(TARVELIN_CLI_PATH, argv.data());
        ::_exit(127);
    }
    return child;
}

// The exit code of a spawned process, or 1000 + the signal that ended it.
int Reap(pid_t child)
{
    int status = 0;
    if (::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

test::CommandResult RunCli(const std::vector<std::string>& words, const std::string& log, bool ordinaryUser = false)
{
    test::CommandResult run;
    run.exitCode = Reap(Spawn(words, log, ordinaryUser));
    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(log);
    run.output.assign(bytes.begin(), bytes.end());
    return run;
}

// Everything below folder, relative, sorted; folders end in '/'.
std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::end(it); it.increment(error)) {
        const std::string relative = fs::relative(it->path(), folder).string();
        entries.push_back(it->is_directory() && !it->is_symlink() ? relative + "/" : relative);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Whether the two files are of one size and hold the same bytes from from on.
bool SameBytes(const std::string& a, const std::string& b, std::uint64_t from = 0)
{
    const std::string compare = "cmp -s -i " + std::to_string(from) + " " + ShellQuote(a) + " " + ShellQuote(b);
    return test::RunCommand(compare).exitCode == 0;
}

std::int64_t ModificationNanoseconds(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
}

// --------------------------------------------------------------------------- Kills at random moments

// Shared by the kill cases: a folder with a large sparse file and a small one, and the image the tool builds of it.
struct KillSources {
    test::TempDir dir;
    std::string folder = dir / "src";
    std::string image = dir / "image.iso";

    KillSources()
    {
        fs::create_directories(folder);
        // The commands take a good part of a second to write it.
        test::WriteSparseFile(folder + "/big.bin", test::RandomBytes(1 << 16, 7), std::uint64_t{160} << 20);
        test::WriteWholeFile(folder + "/small.txt", "small\n");
        const test::CommandResult built = RunCli({"build", image, folder, "--label", "KILLED"}, dir / "log");
        if (built.exitCode != 0) {
            throw std::runtime_error("cannot build the image of the kill tests: " + built.output);
        }
    }
};

const KillSources& Sources()
{
    static const KillSources sources;
    return sources;
}

struct KillCase {
    const char* name;
    // The arguments that write into the target folder.
    std::vector<std::string> (*words)(const KillSources& sources, const std::string& target);
    // What a finished run leaves in the target folder, sorted; the files among them are what a killed run may leave
    // too, complete.
    std::vector<std::string> entries;
    // Two images built at different moments differ in their dates: they are compared from the first sector of file data
    // on.
    bool comparedFromData;
};

const KillCase kKillCases[] = {
    {"build",
     [](const KillSources& sources, const std::string& target) -> std::vector<std::string> {
         return {"build", target + "/out.iso", sources.folder, "--label", "KILLED"};
     },
     {"out.iso"}, true},
    {"iso2bin",
     [](const KillSources& sources, const std::string& target) -> std::vector<std::string> {
         return {"iso2bin", sources.image, target + "/out.bin"};
     },
     {"out.bin", "out.cue"}, false},
    {"extract",
     [](const KillSources& sources, const std::string& target) -> std::vector<std::string> {
         return {"extract", sources.image, "-C", target};
     },
     {"src/", "src/big.bin", "src/small.txt"}, false},
    {"compact",
     [](const KillSources& sources, const std::string& target) -> std::vector<std::string> {
         return {"compact", sources.image, "-o", target + "/out.iso"};
     },
     {"out.iso"}, true},
};

void PrintTo(const KillCase& kase, std::ostream* out) { *out << kase.name; }

class KilledCommand : public ::testing::TestWithParam<KillCase> {
protected:
    test::TempDir dir;
    std::string reference = dir / "reference";
    std::string target = dir / "target";
    std::uint64_t dataStart = 0;

    // Each file of the target is absent or the same as the finished run's.
    void ExpectCompleteOrAbsent()
    {
        for (const std::string& entry : GetParam().entries) {
            const std::string path = target + "/" + entry;
            if (entry.back() != '/' && fs::exists(path)) {
                EXPECT_TRUE(SameBytes(path, reference + "/" + entry, dataStart)) << entry << " is not complete";
            }
        }
    }

    // The first file left in the target that a finished run does not leave.
    std::string Leftover()
    {
        const std::vector<std::string> expected = GetParam().entries;
        for (const std::string& entry : Entries(target)) {
            if (std::find(expected.begin(), expected.end(), entry) == expected.end()) {
                return entry;
            }
        }
        return {};
    }
};

TEST_P(KilledCommand, LeavesCompleteOutputsOrNoneAndTheNextRunClearsItsTemporaries)
{
    TARVELIN_REQUIRE_TOOL("isoinfo");
    const KillCase& kase = GetParam();
    const KillSources& sources = Sources();
    fs::create_directories(reference);
    fs::create_directories(target);

    const auto started = std::chrono::steady_clock::now();
    const test::CommandResult finished = RunCli(kase.words(sources, reference), dir / "log");
    const auto duration = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(finished.exitCode, 0) << finished.output;
    ASSERT_EQ(Entries(reference), kase.entries);
    if (kase.comparedFromData) {
        std::uint32_t first = UINT32_MAX;
        for (const auto& [path, entry] : test::IsoinfoDatedListing(reference + "/out.iso", "")) {
            if (path.back() != '/' && entry.size > 0) {
                first = std::min(first, entry.extent);
            }
        }
        ASSERT_NE(first, UINT32_MAX);
        dataStart = std::uint64_t{first} * test::kLogicalSectorSize;
    }

    // First a kill once a temporary holds data, then kills at random moments of the time a finished run took (some
    // after its end).
    const std::uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int64_t> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(duration).count() * 6 / 5);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const pid_t child = Spawn(kase.words(sources, target), dir / "log");
        ASSERT_GT(child, 0);
        if (round == 0) {
            // The target is empty: a file of it that holds data is being written.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            const auto writing = [&] {
                std::error_code error;
                for (const std::string& entry : Entries(target)) {
                    const std::string path = target + "/" + entry;
                    if (entry.back() != '/' && fs::file_size(path, error) > (std::uint64_t{1} << 20)) {
                        return true;
                    }
                }
                return false;
            };
            while (!writing() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        }
        ::kill(child, SIGKILL);
        const int status = Reap(child);
        ExpectCompleteOrAbsent();
        if (round == 0) {
            ASSERT_EQ(status, 1000 + SIGKILL) << "the run ended before it was killed";
            EXPECT_NE(Leftover(), "") << "killed while writing, the run leaves its temporary";
        }
    }

    ASSERT_TRUE(test::Succeeded(RunCli(kase.words(sources, target), dir / "log")));
    EXPECT_EQ(Entries(target), kase.entries) << "stale temporaries are left";
    ExpectCompleteOrAbsent();
}

INSTANTIATE_TEST_SUITE_P(Commands, KilledCommand, ::testing::ValuesIn(kKillCases),
                         [](const ::testing::TestParamInfo<KillCase>& param) { return param.param.name; });

void CompactKilledInPlace(bool udf)
{
    test::TempDir dir;
    // The first file removed leaves a hole the two others slide down over.
    fs::create_directories(dir / "src");
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        test::WriteSparseFile(dir / ("src/" + std::string(name)), test::RandomBytes(1 << 16, name[0]),
                              std::uint64_t{48} << 20);
    }
    const std::string holed = dir / "holed.iso";
    const std::string image = dir / "work.iso";
    std::vector<std::string> build{"build", holed, dir / "src/a.bin", dir / "src/b.bin", dir / "src/c.bin"};
    if (udf) {
        build.push_back("--udf");
    }
    ASSERT_EQ(RunCli(build, dir / "log").exitCode, 0);
    ASSERT_EQ(RunCli({"rm", holed, "a.bin"}, dir / "log").exitCode, 0);
    fs::copy_file(holed, image);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(RunCli({"compact", image}, dir / "log").exitCode, 0);
    const auto duration = std::chrono::steady_clock::now() - started;
    const auto compactedSize = fs::file_size(image);
    ASSERT_LT(compactedSize, fs::file_size(holed));

    const std::uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int64_t> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(duration).count() * 6 / 5);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::copy_file(holed, image, fs::copy_options::overwrite_existing);
        const pid_t child = Spawn({"compact", image}, dir / "log");
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        ::kill(child, SIGKILL);
        Reap(child);
        // The next open puts an interrupted save back; the image is the one it was or the compacted one, and holds the
        // files whole.
        ASSERT_EQ(RunCli({"ls", image}, dir / "log").exitCode, 0);
        EXPECT_TRUE(fs::file_size(image) == fs::file_size(holed) || fs::file_size(image) == compactedSize);
        const std::string out = dir / ("x" + std::to_string(round));
        ASSERT_EQ(test::RunCommand("7z x -y -o" + test::ShellQuote(out) + " " + test::ShellQuote(image)).exitCode, 0);
        EXPECT_EQ(Entries(out), (std::vector<std::string>{"b.bin", "c.bin"}));
        EXPECT_TRUE(SameBytes(out + "/b.bin", dir / "src/b.bin") && SameBytes(out + "/c.bin", dir / "src/c.bin"));
        if (udf) {
            EXPECT_NE(test::RunCommand("7z l -slt " + test::ShellQuote(image)).output.find("Type = Udf"),
                      std::string::npos);
        }
    }
}

// Twice: on an image of ISO 9660 alone and on one with a UDF bridge (which 7-Zip then reads: its UDF side must be whole
// before or after too).
TEST(KilledCompact, InPlaceTheNextOpenFindsTheImageWholeBeforeOrAfter)
{
    TARVELIN_REQUIRE_TOOL("7z");
    for (const bool udf : {false, true}) {
        SCOPED_TRACE(udf ? "with UDF" : "ISO 9660 alone");
        CompactKilledInPlace(udf);
    }
}

// --------------------------------------------------------------------------- Full and read-only file systems

// A tmpfs of 4 MiB mounted at path for as long as the object lives.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& path) : path_(path)
    {
        fs::create_directories(path);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=4m") == 0;
        error_ = mounted_ ? "" : std::strerror(errno);
    }
    ~SmallFileSystem()
    {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool Mounted() const { return mounted_; }
    const std::string& Error() const { return error_; }
    bool MakeReadOnly() { return ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }
    void Clear()
    {
        for (const auto& entry : fs::directory_iterator(path_)) {
            fs::remove_all(entry.path());
        }
    }
    // Fills the file system up to keep bytes.
    void FillUpTo(std::uint64_t keep)
    {
        struct statvfs info {};
        ASSERT_EQ(::statvfs(path_.c_str(), &info), 0);
        const std::uint64_t free = std::uint64_t{info.f_bavail} * info.f_frsize;
        std::ofstream filler(path_ + "/filler", std::ios::binary);
        const std::vector<char> zeros(4096, 0);
        for (std::uint64_t written = 0; written + zeros.size() + keep <= free; written += zeros.size()) {
            filler.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
        }
    }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

class OutputSafety : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string small = dir / "small";

    void SetUp() override
    {
        // 6 MB that will not fit into 4 MiB, and an image of them.
        fs::create_directories(dir / "src/deep");
        test::WriteWholeFile(dir / "src/first.txt", "first\n");
        test::WriteWholeFile(dir / "src/deep/large.bin", test::RandomBytes(6'000'000, 3));
        fs::create_directories(small);
        test::WriteWholeFile(small + "/a.txt", "a\n");
        test::WriteWholeFile(small + "/boot.img", test::RandomBytes(2048, 4));
        for (const auto& [image, folder] : {std::pair{dir / "big.iso", dir / "src"}, {dir / "small.iso", small}}) {
            ASSERT_TRUE(test::Succeeded(RunCli({"build", image, folder}, dir / "log")));
        }
        fs::copy_file(dir / "small.iso", dir / "boot.iso");
        ASSERT_TRUE(test::Succeeded(RunCli({"boot", "load", dir / "boot.iso", small + "/boot.img"}, dir / "log")));
    }
};

TEST_F(OutputSafety, OnAFullFileSystemEveryWritingCommandFailsWithTheReasonAndLeavesNothingHalfWritten)
{
    TARVELIN_REQUIRE(::geteuid() == 0, "root, to mount a small file system,");
    const std::string full = dir / "full";
    SmallFileSystem mount(full);
    ASSERT_TRUE(mount.Mounted()) << mount.Error();

    constexpr std::uint64_t kNotFilled = UINT64_MAX;
    struct Case {
        const char* name;
        std::vector<std::string> words;
        bool imageInside;       // the image the command edits is copied in first
        std::uint64_t roomLeft; // bytes left free before the command runs
    };
    const std::string image = full + "/small.iso";
    const std::vector<Case> cases{
        {"build", {"build", full + "/out.iso", dir / "src"}, false, kNotFilled},
        {"bin2iso", {"bin2iso", dir / "big.iso", full + "/out.iso"}, false, kNotFilled},
        {"iso2bin", {"iso2bin", dir / "big.iso", full + "/out.bin"}, false, kNotFilled},
        {"extract", {"extract", dir / "big.iso", "-C", full + "/x"}, false, kNotFilled},
        {"boot save", {"boot", "save", dir / "boot.iso", full + "/boot.img"}, false, 0},
        // The save's data does not fit; then not even its undo file does.
        {"add", {"add", image, dir / "src/deep/large.bin"}, true, 256 << 10},
        {"mkdir", {"mkdir", image, "/new"}, true, 0},
    };
    for (const Case& kase : cases) {
        SCOPED_TRACE(kase.name);
        mount.Clear();
        std::vector<std::uint8_t> imageBefore;
        if (kase.imageInside) {
            fs::copy_file(dir / "small.iso", image);
            imageBefore = test::ReadWholeFile(image);
        }
        if (kase.roomLeft != kNotFilled) {
            mount.FillUpTo(kase.roomLeft);
        }
        const std::vector<std::string> before = Entries(full);
        const test::CommandResult run = RunCli(kase.words, dir / "log");
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_NE(run.output.find("No space left on device"), std::string::npos) << run.output;
        if (kase.imageInside) {
            EXPECT_TRUE(test::ReadWholeFile(image) == imageBefore) << "the save did not leave the image as it was";
        }
        if (std::string(kase.name) == "extract") {
            // What is there is complete: no half file, no temporary.
            for (const std::string& entry : Entries(full + "/x")) {
                if (entry.back() != '/') {
                    EXPECT_TRUE(SameBytes(full + "/x/" + entry, dir / entry)) << entry;
                }
            }
            EXPECT_TRUE(fs::exists(full + "/x/src/first.txt"));
            EXPECT_FALSE(fs::exists(full + "/x/src/deep/large.bin"));
        } else {
            EXPECT_EQ(Entries(full), before) << "a partial output is left";
        }
    }
}

// A CUE sheet that cannot be put in place once its BIN is (a mount holds its name: the rename fails) fails the
// conversion with a message naming both, and leaves the BIN, complete: it has replaced the old BIN already, and
// removing it would lose both. The old sheet stays.
TEST_F(OutputSafety, AnIso2BinWhoseCueSheetCannotBePutInPlaceKeepsItsCompleteBin)
{
    TARVELIN_REQUIRE(::geteuid() == 0, "root, to mount a file over the CUE sheet,");
    const std::string reference = dir / "reference";
    fs::create_directories(reference);
    ASSERT_TRUE(test::Succeeded(RunCli({"iso2bin", dir / "small.iso", reference + "/out.bin"}, dir / "log")));
    const std::string target = dir / "target";
    fs::create_directories(target);
    test::WriteWholeFile(target + "/out.bin", "old BIN\n");
    test::WriteWholeFile(target + "/out.cue", "old sheet\n");
    test::WriteWholeFile(dir / "cover", "covering file\n");
    const std::string cue = target + "/out.cue";
    ASSERT_EQ(::mount((dir / "cover").c_str(), cue.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    const test::CommandResult run = RunCli({"iso2bin", dir / "small.iso", target + "/out.bin"}, dir / "log");
    ::umount2(cue.c_str(), MNT_DETACH);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("'" + target + "/out.bin' was written, but its CUE sheet was not: cannot rename the "
                              "finished file to '" + cue + "'"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(SameBytes(target + "/out.bin", reference + "/out.bin"));
    const std::string oldSheet = "old sheet\n";
    EXPECT_EQ(test::ReadWholeFile(cue), std::vector<std::uint8_t>(oldSheet.begin(), oldSheet.end()));
    EXPECT_EQ(Entries(target), (std::vector<std::string>{"out.bin", "out.cue"}));
}

// The image opens read-only and every edit command is refused with the reason, its bytes, its date and its folder
// untouched.
void ExpectEveryEditRefused(const std::string& image, const std::string& reason, const std::string& folder,
                            const std::string& source, const std::string& log, bool ordinaryUser)
{
    const std::vector<std::uint8_t> bytes = test::ReadWholeFile(image);
    const std::int64_t modified = ModificationNanoseconds(image);
    const std::vector<std::string> entries = Entries(folder);
    const test::CommandResult info = RunCli({"info", image}, log, ordinaryUser);
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("access:          read-only"), std::string::npos) << info.output;
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"add", image, source},
             {"mkdir", image, "/new"},
             {"rm", image, "/small/a.txt"},
             {"rename", image, "/small/a.txt", "b.txt"},
             {"boot", "load", image, source},
             {"boot", "remove", image},
         }) {
        SCOPED_TRACE(words[0] + " " + words[1]);
        const test::CommandResult run = RunCli(words, log, ordinaryUser);
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_NE(run.output.find("cannot edit '" + image + "': it can only be read (" + reason + ")"),
                  std::string::npos)
            << run.output;
    }
    EXPECT_TRUE(test::ReadWholeFile(image) == bytes);
    EXPECT_EQ(ModificationNanoseconds(image), modified);
    EXPECT_EQ(Entries(folder), entries);
}

TEST_F(OutputSafety, AnImageOnAReadOnlyMountOpensReadOnlyAndRefusesEveryEditUnwritten)
{
    TARVELIN_REQUIRE(::geteuid() == 0, "root, to mount a small file system,");
    const std::string place = dir / "place";
    SmallFileSystem mount(place);
    ASSERT_TRUE(mount.Mounted()) << mount.Error();
    fs::copy_file(dir / "small.iso", place + "/small.iso");
    ASSERT_TRUE(mount.MakeReadOnly()) << std::strerror(errno);
    ExpectEveryEditRefused(place + "/small.iso", "Read-only file system", place, small + "/boot.img", dir / "log",
                           false);
}

TEST_F(OutputSafety, AWriteProtectedImageOpensReadOnlyAndRefusesEveryEditUnwritten)
{
    // Root may write any file: the commands run as an ordinary user then, who must reach the tool and the image.
    if (::geteuid() == 0) {
        const int reachable = test::AsOrdinaryUser([] { return ::access(TARVELIN_CLI_PATH, X_OK) == 0 ? 0 : 1; });
        if (reachable != 0) {
            GTEST_SKIP() << "the ordinary user cannot run " << TARVELIN_CLI_PATH
                         << "; the read-only mount covers a root run";
        }
        fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                                        | fs::perms::others_read | fs::perms::others_exec);
    }
    const std::string image = dir / "small.iso";
    fs::permissions(image, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ExpectEveryEditRefused(image, "Permission denied", dir.Path(), small + "/boot.img", dir / "log", true);
}

} // namespace
} // namespace tarvelin
