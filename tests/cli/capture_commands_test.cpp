// tarvelin-cli drives, rip and floppy on the simulated drive and diskette files: refusals leave no file, the questions
// about bad sectors, the list of sectors not read, Ctrl+C and usage errors.

#include "capture/capture_fixtures.h"
#include "capture/floppy.h"
#include "command.h"
#include "platform/directory.h"
#include "support/cli_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::PromptAnswer;
using test::CommandResult;
using test::ShellQuote;

const std::string kReadError = "Read error, maybe the CDROM has bad sector. ";
const std::string kIgnoreAll = "Do you want to ignore all bad sectors? ";

CommandResult RunCli(const std::string& arguments, const std::string& environment = "")
{
    return test::RunCommand(environment + " " + ShellQuote(TARVELIN_CLI_PATH) + " " + arguments);
}

using test::Contains;

class CaptureCommandTest : public ::testing::Test {
protected:
    // A real ISO of a little more than 600 sectors, made by genisoimage.
    void MakeIso()
    {
        std::filesystem::create_directories(dir_ / "tree/docs");
        test::WriteWholeFile(dir_ / "tree/big.bin", test::RandomBytes(1200 * 1024, 3));
        test::WriteWholeFile(dir_ / "tree/docs/readme.txt", std::string("a disc to rip\n"));
        test::RunGenisoimage(dir_ / "tree", iso(), "-J -R");
        source_ = test::ReadWholeFile(iso());
        ASSERT_EQ(source_.size() % 2048, 0u);
        ASSERT_GT(source_.size() / 2048, 600u);
    }
    std::string iso() const { return dir_ / "source.iso"; }
    std::string out() const { return dir_ / "out.iso"; }
    std::string Simulated(const std::string& image, const std::string& more = "") const
    {
        return "TARVELIN_SIMULATED_CDROM=" + ShellQuote(image) + " " + more;
    }
    Bytes SourceWithZeroSector(std::uint32_t sector) const
    {
        Bytes expected = source_;
        std::fill_n(expected.begin() + std::ptrdiff_t{sector} * 2048, 2048, 0);
        return expected;
    }

    test::TempDir dir_;
    Bytes source_;
};

// drives names the simulated drive with its inquiry answer; rip gives the exact ISO by letter or device, the track
// alone where it ends before the volume, and a bad sector among the last 150 zero without a question; floppy copies a
// diskette image byte for byte.
TEST_F(CaptureCommandTest, DrivesRipAndFloppyGiveTheExactImages)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    MakeIso();
    const CommandResult drives = RunCli("drives", Simulated(iso()));
    EXPECT_EQ(drives.exitCode, 0);
    EXPECT_EQ(drives.output, "D: simulated:" + iso() + " TARVELIN SIMULATED CDROM\n");
    const std::string sectors = std::to_string(source_.size() / 2048);
    for (const std::string& drive : std::vector<std::string>{"D", "d:", "simulated:" + iso()}) {
        SCOPED_TRACE(drive);
        const CommandResult result = RunCli("rip " + ShellQuote(drive) + " " + ShellQuote(out()), Simulated(iso()));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(result.output, out() + ": " + sectors + " sectors of 2048 bytes from D:\n");
        EXPECT_TRUE(test::ReadWholeFile(out()) == source_);
    }
    // A disc whose track ends before its volume does: the ISO is the
    // track, and the user is told that the volume goes on.
    const Bytes track(source_.begin(), source_.begin() + 500 * 2048);
    test::WriteWholeFile(dir_ / "short.iso", track);
    const CommandResult result = RunCli("rip D " + ShellQuote(out()), Simulated(dir_ / "short.iso"));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Contains(result.output, out() + ": 500 sectors of 2048 bytes from D:\n")) << result.output;
    const std::string beyond = std::to_string(source_.size() / 2048 - 500);
    EXPECT_TRUE(Contains(result.output, "tarvelin-cli: warning: the disc's track ends " + beyond
                                            + " sectors before its volume does (the volume has " + sectors
                                            + "): the image holds only the 500 sectors of the track\n"))
        << result.output;
    EXPECT_TRUE(test::ReadWholeFile(out()) == track);

    const auto last = static_cast<std::uint32_t>(source_.size() / 2048 - 1);
    const CommandResult skipped = RunCli("rip D " + ShellQuote(out()),
                                         Simulated(iso(), "TARVELIN_SIMULATED_CDROM_BAD=" + std::to_string(last)));
    ASSERT_EQ(skipped.exitCode, 0) << skipped.output;
    EXPECT_TRUE(Contains(skipped.output, "tarvelin-cli: warning: 1 sector could not be read and is zero in the image: " +
                                             std::to_string(last) + "\n"))
        << skipped.output;
    EXPECT_TRUE(test::ReadWholeFile(out()) == SourceWithZeroSector(last));

    const Bytes diskette = test::RandomBytes(1474560, 21);
    test::WriteWholeFile(dir_ / "diskette.img", diskette);
    const std::string image = dir_ / "boot.image";
    const CommandResult floppy =
        RunCli("floppy " + ShellQuote(image) + " --device " + ShellQuote(dir_ / "diskette.img"));
    ASSERT_EQ(floppy.exitCode, 0) << floppy.output;
    EXPECT_EQ(floppy.output, image + ": 1474560 bytes copied from " + (dir_ / "diskette.img") + "\n");
    EXPECT_TRUE(test::ReadWholeFile(image) == diskette);
}

// Every refusal and failure exits 1, says why (the whole output where exact) and leaves no file (a diskette named as
// its own image as it was). Without a terminal nobody can answer the question about a bad sector: the rip is aborted.
// ulimit -f counts 1024-byte blocks here: writes beyond 200 KB fail, as on a full disk.
TEST_F(CaptureCommandTest, RefusalsAndFailuresSayWhyAndLeaveNoFile)
{
    TARVELIN_REQUIRE_TOOL("genisoimage");
    MakeIso();
    test::WriteWholeFile(dir_ / "empty.iso", Bytes());
    test::WriteWholeFile(dir_ / "diskette.img", test::RandomBytes(1474560, 22));
    const std::string rip = "rip D " + ShellQuote(out());
    const std::string cannot = "tarvelin-cli: cannot rip drive D: ";
    const std::string fileMode = ", please use \"file\" mode to make ISO.\n";
    const std::string sameFile =
        "The target boot image file and the floppy disk are the same file! Please specify another file name.\n";
    const std::string tracks = "TARVELIN_SIMULATED_CDROM_TRACKS=";
    const std::string limited = "trap '' XFSZ; ulimit -f 200; ";
    const struct {
        std::string environment;
        std::string arguments;
        std::string said;
        bool exact;
        bool outIsTheDiskette = false;
        std::string alsoSaid = "";
    } cases[] = {
        {Simulated(dir_ / "missing.iso"), "drives", "TARVELIN_SIMULATED_CDROM: cannot load", false},
        {Simulated(iso(), tracks + "0x14@0,14"), "drives",
         "tarvelin-cli: TARVELIN_SIMULATED_CDROM_TRACKS: '14' is not ADRCONTROL@START (such as 0x14@0)\n", true},
        {Simulated(iso(), "TARVELIN_SIMULATED_CDROM_BAD=30,x"), "drives",
         "tarvelin-cli: TARVELIN_SIMULATED_CDROM_BAD: 'x' is not a sector number\n", true},
        {Simulated(iso(), tracks + "0x14@0,0x14@300"), rip, cannot + "The CDROM has multi-tracks" + fileMode, true},
        {Simulated(iso(), tracks + "0x04@0"), rip, cannot + "The CDROM has no data track" + fileMode, true},
        {Simulated(iso(), tracks + "0x16@0"), rip, cannot + "The CDROM has no data track" + fileMode, true},
        {Simulated(dir_ / "empty.iso"), rip,
         cannot + "The data track of the CDROM is empty, there is nothing to make an ISO of.\n", true},
        {Simulated(iso()), "rip E " + ShellQuote(out()), "no CD-ROM drive 'E' (the drives: D: simulated:", false},
        {Simulated(iso()), "rip D " + ShellQuote(dir_ / "missing/out.iso"),
         cannot + "Can not create target-ISO file! Please specify another file name.\n", true},
        {Simulated(iso(), "TARVELIN_SIMULATED_CDROM_BAD=30"), rip, "Make ISO: " + kReadError, false, false,
         "tarvelin-cli: rip aborted at an unreadable sector; no image was written"},
        {limited + Simulated(iso()), rip, cannot + "Can not write the target-ISO file: ", false, false,
         "; no image was written\n"},
        {limited, "floppy " + ShellQuote(out()) + " --device " + ShellQuote(dir_ / "diskette.img"),
         "Can not write the target boot image file: ", false},
        {"", "floppy " + ShellQuote(out()) + " --device=" + ShellQuote(dir_ / "no-drive"),
         "tarvelin-cli: cannot copy the diskette in " + (dir_ / "no-drive")
             + ": Can not open floppy! Please make sure the floppy disk has been inserted.\n", true},
        {"", "floppy " + ShellQuote(out()) + " --device " + ShellQuote(out()),
         "tarvelin-cli: cannot copy the diskette in " + out() + ": " + sameFile, true, true},
        {"", "floppy " + ShellQuote(dir_ / "link.iso") + " --device=" + ShellQuote(out()),
         "tarvelin-cli: cannot copy the diskette in " + out() + ": " + sameFile, true, true},
    };
    std::filesystem::create_symlink(out(), dir_ / "link.iso");
    const Bytes diskette = test::RandomBytes(1474560, 23);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.environment + c.arguments);
        if (c.outIsTheDiskette) {
            test::WriteWholeFile(out(), diskette);
        }
        const CommandResult result = RunCli(c.arguments, c.environment);
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_TRUE(c.exact ? result.output == c.said : Contains(result.output, c.said)) << result.output;
        EXPECT_TRUE(Contains(result.output, c.alsoSaid)) << result.output;
        if (c.outIsTheDiskette) {
            EXPECT_TRUE(test::ReadWholeFile(out()) == diskette);
            std::filesystem::remove(out());
        }
        EXPECT_FALSE(platform::PathExists(out()));
    }
}

// On a terminal: the bar, and Ctrl+C typed while a question about a bad sector waits for its answer, which interrupts
// the question and cancels the rip (the shell waits for the question to show, then types ^C).
TEST_F(CaptureCommandTest, ATerminalGetsAProgressBarAndCtrlCInterruptsAQuestion)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "script");
    MakeIso();
    const std::string command =
        Simulated(iso()) + ShellQuote(TARVELIN_CLI_PATH) + " rip D " + ShellQuote(out());
    const CommandResult result = test::RunCommand("script -qec " + ShellQuote(command) + " /dev/null < /dev/null");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Contains(result.output, "\rrip [")) << result.output;
    EXPECT_TRUE(Contains(result.output, "########################################] 100%")) << result.output;
    EXPECT_TRUE(test::ReadWholeFile(out()) == source_);

    const std::string keys = dir_ / "keys";
    const std::string log = dir_ / "terminal.log";
    const std::string asked = "exec env " + Simulated(iso(), "TARVELIN_SIMULATED_CDROM_BAD=30 ") +
                              ShellQuote(TARVELIN_CLI_PATH) + " rip D " + ShellQuote(dir_ / "cancelled.iso");
    const CommandResult interrupted = test::RunCommand(
        "mkfifo " + ShellQuote(keys) + " || exit 1; { timeout 120 script -qec " + ShellQuote(asked) + " /dev/null < " +
        ShellQuote(keys) + " > " + ShellQuote(log) + " 2>&1; echo \"exit $?\"; } & exec 3> " + ShellQuote(keys) +
        "; timeout 120 sh -c 'until grep -qs abort/retry/ignore \"$0\"; do sleep 0.05; done' " + ShellQuote(log) +
        "; printf '\\003' >&3; wait; cat " + ShellQuote(log));
    EXPECT_TRUE(Contains(interrupted.output, "exit 1\n")) << interrupted.output;
    EXPECT_TRUE(Contains(interrupted.output, "Make ISO: " + kReadError + " [abort/retry/ignore]"))
        << interrupted.output;
    EXPECT_TRUE(Contains(interrupted.output, "tarvelin-cli: rip cancelled; no image was written"))
        << interrupted.output;
    EXPECT_FALSE(platform::PathExists(dir_ / "cancelled.iso"));
}

TEST_F(CaptureCommandTest, UsageErrorsExit64)
{
    const char* const cases[][2] = {
        {"rip", "no drive named"},
        {"rip D", "no output file named"},
        {"rip D a.iso b.iso", "too many arguments"},
        {"rip --fast D a.iso", "unknown option '--fast'"},
        {"floppy", "no output file named"},
        {"floppy a.image --device", "--device needs a path"},
        {"floppy a.image b.image", "too many arguments"},
        {"drives now", "drives takes no arguments"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        const CommandResult result = RunCli(c[0]);
        EXPECT_EQ(result.exitCode, 64) << result.output;
        EXPECT_TRUE(Contains(result.output, c[1])) << result.output;
        EXPECT_TRUE(Contains(result.output, "usage: tarvelin-cli ")) << result.output;
    }
    const CommandResult help = RunCli("help");
    for (const char* line : {"drives", "rip      DRIVE OUT.iso", "floppy   OUT.image [--device PATH]"}) {
        EXPECT_TRUE(Contains(help.output, line)) << help.output;
    }
    for (const char* asked : {"rip --help", "floppy -h", "ls a.iso -R --help"}) {
        const CommandResult usage = RunCli(asked);
        EXPECT_EQ(usage.exitCode, 0) << asked;
        EXPECT_TRUE(Contains(usage.output, "usage: tarvelin-cli " + std::string(asked, std::strcspn(asked, " ")) + " ")) << usage.output;
    }
}

// In-process: the commands' questions answered by a script, as a user at the terminal would, and Ctrl+C pressed while a
// question is up.
class CaptureQuestionsTest : public test::CaptureTest {
protected:
    static int Run(const std::string& name, const cli::Arguments& args)
    {
        for (const cli::Command& command : cli::Commands()) {
            if (name == command.name) {
                return command.run(args);
            }
        }
        ADD_FAILURE() << "no command " << name;
        return -1;
    }
    // The command's exit code, with what it wrote on standard error in errors.
    static int Run(const std::string& name, const cli::Arguments& args, std::string& errors)
    {
        testing::internal::CaptureStderr();
        const int status = Run(name, args);
        errors = testing::internal::GetCapturedStderr();
        return status;
    }
    void InsertDisc(std::uint32_t sectors) { user_ = InsertRandomDisc(sectors); }
    std::string out() const { return dir_ / "out.iso"; }

    test::TempDir dir_;
    Bytes user_;
};

TEST_F(CaptureQuestionsTest, IgnoreAllZeroFillsAndListsTheSectors)
{
    InsertDisc(400);
    drive_.FailSector(30, capture::SimulatedCdRom::kAlways);
    drive_.FailSector(50, capture::SimulatedCdRom::kAlways);
    prompt_.Answer(PromptAnswer::Ignore);
    prompt_.Answer(PromptAnswer::Yes);
    std::string errors;
    const int status = Run("rip", {"D:", out()}, errors);
    ASSERT_EQ(status, 0) << errors;
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{kReadError, kIgnoreAll}));
    EXPECT_EQ(errors, "tarvelin-cli: warning: 25 sectors could not be read and are zero in the image: 30, 48-71\n");
    Bytes expected = user_;
    std::fill_n(expected.begin() + 30 * 2048, 2048, 0);
    std::fill_n(expected.begin() + 48 * 2048, 24 * 2048, 0);
    EXPECT_TRUE(test::ReadWholeFile(out()) == expected);
}

// Ctrl+C while the question is up; the answer given is Ignore, and the capture stops at its next report.
class InterruptingPrompt final : public platform::IPrompt {
public:
    platform::PromptAnswer Ask(std::string_view, std::string_view, platform::PromptButtons buttons,
                               platform::PromptIcon) override
    {
        ++asked;
        if (buttons == platform::PromptButtons::AbortRetryIgnore) {
            std::raise(SIGINT);
            return platform::PromptAnswer::Ignore;
        }
        return platform::PromptAnswer::No;
    }
    int asked = 0;
};

// Abort, or Ctrl+C while the question is up, ends the rip and the floppy copy in order, without an image.
TEST_F(CaptureQuestionsTest, AbortAndCtrlCEndTheRipAndTheFloppyCopyWithoutAnImage)
{
    InsertDisc(400);
    drive_.FailSector(60, capture::SimulatedCdRom::kAlways);
    test::WriteWholeFile(dir_ / "diskette.img", test::RandomBytes(1474560, 8));
    InterruptingPrompt interrupting;
    for (const bool ctrlC : {false, true}) {
        SCOPED_TRACE(ctrlC ? "Ctrl+C" : "Abort");
        const std::string ended = ctrlC ? " cancelled; " : " aborted at an unreadable sector; ";
        if (ctrlC) {
            platform::SetPrompt(&interrupting);
        } else {
            prompt_.Answer(PromptAnswer::Abort);
            prompt_.Answer(PromptAnswer::Abort);
        }
        std::string errors;
        EXPECT_EQ(Run("rip", {"D", out()}, errors), 1);
        EXPECT_EQ(errors, "tarvelin-cli: rip" + ended + "no image was written\n");
        EXPECT_FALSE(platform::PathExists(out()));
        EXPECT_EQ(interrupting.asked, ctrlC ? 2 : 0);
        SetFloppyReadFault([](std::uint32_t index) { return index == 200; });
        EXPECT_EQ(Run("floppy", {dir_ / "boot.image", "--device", dir_ / "diskette.img"}, errors), 1);
        SetFloppyReadFault(nullptr);
        EXPECT_EQ(errors, "tarvelin-cli: floppy copy" + ended + "no image was written\n");
        EXPECT_FALSE(platform::PathExists(dir_ / "boot.image"));
    }
    platform::SetPrompt(&prompt_);
}

TEST_F(CaptureQuestionsTest, FloppyBadSectorIgnoredIsZeroAndListed)
{
    Bytes diskette = test::RandomBytes(1474560, 7);
    test::WriteWholeFile(dir_ / "diskette.img", diskette);
    SetFloppyReadFault([](std::uint32_t index) { return index == 200 || index == 201; });
    prompt_.Answer(PromptAnswer::Ignore);
    prompt_.Answer(PromptAnswer::Yes);
    std::string errors;
    const int status = Run("floppy", {dir_ / "boot.image", "--device", dir_ / "diskette.img"}, errors);
    SetFloppyReadFault(nullptr);
    ASSERT_EQ(status, 0) << errors;
    EXPECT_EQ(errors, "tarvelin-cli: warning: 2 sectors could not be read and are zero in the image: 200-201\n");
    EXPECT_EQ(prompt_.Texts(), (std::vector<std::string>{"Read error, maybe the floppy disk has bad sector. ",
                                                        kIgnoreAll}));
    std::fill_n(diskette.begin() + 200 * 512, 2 * 512, 0);
    EXPECT_TRUE(test::ReadWholeFile(dir_ / "boot.image") == diskette);
}

} // namespace
} // namespace tarvelin
