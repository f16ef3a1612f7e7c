#pragma once

// Fixtures of the command tests: folder trees with the names and shapes that
// readers trip over, images made of them by peer tools, the listings those
// tools print (normalised to one form), and snapshots of folder trees on disk
// to compare extracted trees with their sources.

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarvelin::test {

// Writes under root (which must exist):
//   one-character names, a 101-character name (Joliet with -joliet-long),
//   non-ASCII names (Latin, CJK), folders nested 11 deep, empty files and
//   folders, dot files and a dot folder, names with spaces and several dots,
//   files of 1, 2047, 2048 and 2049 bytes and one of 2.5 MiB (more than one
//   read chunk);
// then gives every file and folder a distinct modification time with odd
// seconds (folders last, deepest first, so that no later write moves them).
void MakeTrickyTree(const std::string& root);

// Gives every entry below root (not root itself) a distinct modification
// time from base on, in steps of 3607 s.
void StampTreeTimes(const std::string& root, std::int64_t base);

// genisoimage with UTF-8 input names and the given options; throws with the
// tool's output when it fails. zone: the TZ the tool runs in ("" keeps UTC).
void RunGenisoimage(const std::string& folder, const std::string& isoPath, const std::string& options,
                    const std::string& zone = "UTC");
// xorriso in its mkisofs mode; throws with the tool's output when it fails.
void RunXorrisoMkisofs(const std::string& folder, const std::string& isoPath, const std::string& options);

// Entry paths relative to the root, folders ending in '/', sorted; what each
// peer tool lists ("[BOOT]" pseudo entries of 7-Zip left out).
std::vector<std::string> SevenZipPaths(const std::string& image);
std::vector<std::string> BsdtarPaths(const std::string& image);
// Which boot code xorriso finds in an image's MBR: "isohybrid" or
// "grub2-mbr" when it loads the image's El Torito boot image (xorriso checks
// the block it names), else "".
std::string MbrBootKind(const std::string& image);
// Path (as above) -> modification time as 7-Zip shows it in the zone,
// "YYYY-MM-DD HH:MM:SS".
std::map<std::string, std::string> SevenZipDates(const std::string& image, const std::string& zone);

// One entry of `isoinfo -l`, keyed by its path ("DOCS/README.TXT;1",
// folders ending in '/'): size, extent and the recorded day "YYYY-MM-DD".
struct IsoinfoDatedEntry {
    std::uint64_t size = 0;
    std::uint32_t extent = 0;
    std::string day;
};
std::map<std::string, IsoinfoDatedEntry> IsoinfoDatedListing(const std::string& image, const std::string& options);

// What a folder tree on disk holds, by path relative to its root (folders
// ending in '/'): bytes of files and modification times (seconds).
struct DiskEntry {
    bool isDirectory = false;
    std::vector<std::uint8_t> bytes;
    std::int64_t modified = 0;
    bool operator==(const DiskEntry&) const = default;
};
std::map<std::string, DiskEntry> SnapshotTree(const std::string& root);

// One line of `tarvelin-cli ls -l`: the mode where the image records it,
// size, date "YYYY-MM-DD HH:MM:SS" and extent, by the name that follows them.
struct LongLine {
    std::string mode;
    std::uint64_t size = 0;
    std::string date;
    std::uint32_t extent = 0;
};
std::map<std::string, LongLine> ParseLongListing(const std::string& output);

// Lines of text, sorted.
std::vector<std::string> SortedLines(const std::string& text);

// A path of ISO 9660 identifiers as readers show it: each part without its version and the dot of an empty extension,
// and followed by '/'; upper-cased too when `upper` (to match names as they are without Rock Ridge and Joliet).
std::string PrimaryPathShown(const std::string& path, bool upper);

// The keys of a map by path, in order.
template <class Map>
std::vector<std::string> PathsOf(const Map& map)
{
    std::vector<std::string> paths;
    for (const auto& entry : map) {
        paths.push_back(entry.first);
    }
    return paths;
}

// The epoch second as local time in the zone, "YYYY-MM-DD HH:MM:SS".
std::string FormatInZone(std::int64_t epochSeconds, const std::string& zone);

// Runs a command line and returns its standard output alone; standard error
// is dropped. exitCode gets the exit status.
std::string RunForOutput(const std::string& commandLine, int* exitCode = nullptr);

// What info prints on the line "label:", trimmed; "<missing>" when absent.
std::string InfoField(const std::string& output, const std::string& label);

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The command ran and exited 0; a failure shows its exit code and what it said.
inline ::testing::AssertionResult Succeeded(const CommandResult& result)
{
    if (result.exitCode == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "exit code " << result.exitCode << ":\n" << result.output;
}

#ifdef TARVELIN_CLI_PATH
// tarvelin-cli with the arguments as a command line, run in the time zone
// when one is named.
inline std::string CliLine(const std::string& arguments, const std::string& zone = "")
{
    return (zone.empty() ? "" : "env TZ=" + zone + " ") + ShellQuote(TARVELIN_CLI_PATH) + " " + arguments;
}
inline CommandResult RunCli(const std::string& arguments) { return RunCommand(CliLine(arguments)); }
// The standard output of tarvelin-cli with the arguments, run in the zone ("" leaves it); it must exit 0.
inline std::string CliOutput(const std::string& arguments, const std::string& zone = "UTC")
{
    int status = -1;
    const std::string output = RunForOutput(CliLine(arguments, zone), &status);
    EXPECT_EQ(status, 0) << arguments << "\n" << output;
    return output;
}

// A tarvelin-cli command line that must fail: its exit code and a part of
// what it says; prefix goes before it in the shell (limits, a folder).
struct Refusal {
    Refusal(std::string args, int code, std::string said = "", std::string before = "")
        : arguments(std::move(args)), exitCode(code), says(std::move(said)), prefix(std::move(before)) {}
    std::string arguments;
    int exitCode;
    std::string says;
    std::string prefix;
};
// Runs each row and checks it, then whatever after checks of its traces.
inline void ExpectRefusals(const std::vector<Refusal>& rows,
                           const std::function<void(const Refusal&)>& after = nullptr)
{
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.arguments);
        const CommandResult result = RunCommand(row.prefix + CliLine(row.arguments));
        EXPECT_EQ(result.exitCode, row.exitCode) << result.output;
        EXPECT_TRUE(Contains(result.output, row.says)) << result.output;
        if (after) {
            after(row);
        }
    }
}
#endif

// The image's sector of the boot catalog's default entry, as xorriso
// reports it; throws when xorriso names none.
std::uint32_t XorrisoBootImageSector(const std::string& image);

// Boots QEMU (TCG) with the drive options until the marker reaches the serial port (written to the file serial) or
// 80 looks half a second apart found nothing; QEMU is stopped as soon as it does. A firmware that copies its screen
// to the serial port puts cursor moves in between: those are taken out. A failure shows what came.
::testing::AssertionResult BootsToMarker(const std::string& drive, const std::string& serial,
                                         const std::string& marker);

// The names of one file (its hard links, "/folder/name") in an image with Rock Ridge: one extent, a link count of
// as many names in each record, and one file again when xorriso extracts them joining hard links by their serial
// number. The file named last must not be one of them.
::testing::AssertionResult NamesOneFile(const std::string& image, const std::vector<std::string>& names,
                                        const std::string& other);

} // namespace tarvelin::test
