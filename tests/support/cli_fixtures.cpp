#include "support/cli_fixtures.h"

#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace tarvelin::test {

namespace fs = std::filesystem;

namespace {

void SetModified(const fs::path& path, std::int64_t seconds)
{
    timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_sec = static_cast<time_t>(seconds);
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        throw std::runtime_error("cannot set the time of " + path.string());
    }
}

// Runs a command with a UTF-8 locale so that peer tools print names as they are.
std::string Utf8(const std::string& commandLine) { return "LC_ALL=C.UTF-8 " + commandLine; }

// The tool's output line "key = value" -> value.
bool TakeField(const std::string& line, const std::string& key, std::string& value)
{
    if (line.rfind(key + " = ", 0) != 0) {
        return false;
    }
    value = line.substr(key.size() + 3);
    return true;
}

template <class Visit>
void ForEachSevenZipEntry(const std::string& image, const std::string& zone, Visit visit)
{
    int status = 0;
    const std::string output = RunForOutput(Utf8("TZ=" + zone + " 7z l -slt " + ShellQuote(image)), &status);
    if (status != 0) {
        throw std::runtime_error("7z failed on " + image + ":\n" + output);
    }
    // Blocks of "key = value" lines, one per entry, each starting with Path.
    std::istringstream lines(output);
    std::string line;
    bool inEntries = false;
    std::string path;
    std::string folder;
    std::string modified;
    const auto flush = [&]() {
        if (!path.empty() && path.rfind("[BOOT]", 0) != 0) {
            visit(path + (folder == "+" ? "/" : ""), modified);
        }
        path.clear();
        folder.clear();
        modified.clear();
    };
    while (std::getline(lines, line)) {
        if (line == "----------") {
            inEntries = true;
            continue;
        }
        if (!inEntries) {
            continue;
        }
        std::string value;
        if (TakeField(line, "Path", value)) {
            flush();
            path = value;
        } else if (TakeField(line, "Modified", value)) {
            modified = value;
        } else if (TakeField(line, "Folder", value)) {
            folder = value;
        }
    }
    flush();
}

} // namespace

std::string InfoField(const std::string& output, const std::string& label)
{
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(label + ":")) {
            const std::size_t start = line.find_first_not_of(' ', label.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "<missing>";
}

std::string RunForOutput(const std::string& commandLine, int* exitCode)
{
    const CommandResult result = RunCommand("{ " + commandLine + " ; } 2>/dev/null");
    if (exitCode != nullptr) {
        *exitCode = result.exitCode;
    }
    return result.output;
}

void StampTreeTimes(const std::string& root, std::int64_t base)
{
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        entries.push_back(entry.path());
    }
    // Deepest first, so that stamping an entry never touches a folder
    // already stamped.
    std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
        const auto depth = [](const fs::path& p) { return std::distance(p.begin(), p.end()); };
        return depth(a) != depth(b) ? depth(a) > depth(b) : a < b;
    });
    std::int64_t stamp = base;
    for (const fs::path& path : entries) {
        SetModified(path, stamp);
        stamp += 3607;
    }
}

void MakeTrickyTree(const std::string& root)
{
    const fs::path top(root);
    const auto file = [&top](const std::string& relative, const std::vector<std::uint8_t>& bytes) {
        fs::create_directories((top / relative).parent_path());
        WriteWholeFile((top / relative).string(), bytes);
    };
    const auto text = [](const std::string& words) { return std::vector<std::uint8_t>(words.begin(), words.end()); };

    file("a", text("one character\n"));
    file("b/c", text("one character in a one-character folder\n"));
    file(std::string(101, 'L'), text("a name of 101 characters\n"));
    file("docs/" + std::string(60, 'n') + "-and-then-some.txt", text("a name of 77 characters\n"));
    file("Grüße/Straße.txt", text("Latin with umlauts and sharp s\n"));
    file("日本語/ファイル.txt", text("CJK names\n"));
    file("1/2/3/4/5/6/7/8/9/10/11/leaf.txt", text("eleven folders down\n"));
    file("empty.dat", {});
    file("nested/empty too.bin", {});
    fs::create_directories(top / "empty folder");
    fs::create_directories(top / "nested" / "empty inside");
    file(".hidden", text("a dot file\n"));
    file(".config/settings", text("inside a dot folder\n"));
    file("with space.txt", text("a name with a space\n"));
    file("archive.tar.gz", RandomBytes(1000, 11));
    file("README", text("no extension\n"));
    file("sizes/one.bin", RandomBytes(1, 12));
    file("sizes/just-under.bin", RandomBytes(2047, 13));
    file("sizes/one-sector.bin", RandomBytes(2048, 14));
    file("sizes/just-over.bin", RandomBytes(2049, 15));
    file("sizes/chunks.bin", RandomBytes(2 * 1024 * 1024 + 512 * 1024 + 7, 16));
    StampTreeTimes(root, 1500000001);
}

void RunGenisoimage(const std::string& folder, const std::string& isoPath, const std::string& options,
                    const std::string& zone)
{
    const CommandResult result = RunCommand("TZ=" + zone + " genisoimage -quiet -input-charset utf-8 " + options
                                            + " -o " + ShellQuote(isoPath) + " " + ShellQuote(folder));
    if (result.exitCode != 0) {
        throw std::runtime_error("genisoimage failed: " + result.output);
    }
}

void RunXorrisoMkisofs(const std::string& folder, const std::string& isoPath, const std::string& options)
{
    const CommandResult result = RunCommand("TZ=UTC xorriso -as mkisofs -quiet " + options + " -o "
                                            + ShellQuote(isoPath) + " " + ShellQuote(folder));
    if (result.exitCode != 0) {
        throw std::runtime_error("xorriso failed: " + result.output);
    }
}

std::vector<std::string> SevenZipPaths(const std::string& image)
{
    std::vector<std::string> paths;
    ForEachSevenZipEntry(image, "UTC", [&paths](const std::string& path, const std::string&) { paths.push_back(path); });
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::map<std::string, std::string> SevenZipDates(const std::string& image, const std::string& zone)
{
    std::map<std::string, std::string> dates;
    ForEachSevenZipEntry(image, zone,
                         [&dates](const std::string& path, const std::string& modified) { dates[path] = modified; });
    return dates;
}

std::string MbrBootKind(const std::string& image)
{
    const std::string report = RunForOutput("xorriso -indev " + ShellQuote(image) + " -report_system_area plain 2>&1");
    for (const char* kind : {"isohybrid", "grub2-mbr"}) {
        if (report.find(std::string(" ") + kind + " ") != std::string::npos) {
            return kind;
        }
    }
    return "";
}

std::vector<std::string> BsdtarPaths(const std::string& image)
{
    int status = 0;
    const std::string output = RunForOutput(Utf8("bsdtar -tvf " + ShellQuote(image)), &status);
    if (status != 0) {
        throw std::runtime_error("bsdtar failed on " + image + ":\n" + output);
    }
    // "drwxr-xr-x  2 0      0        2048 Dec  6  2026 docs": eight fields,
    // then the name, which may hold spaces.
    std::vector<std::string> paths;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t at = 0;
        for (int field = 0; field < 8 && at != std::string::npos; ++field) {
            at = line.find_first_not_of(' ', at);
            at = at == std::string::npos ? at : line.find(' ', at);
        }
        if (at == std::string::npos || line.empty()) {
            continue;
        }
        std::string name = line.substr(at + 1);
        if (line[0] == 'l') {
            name = name.substr(0, name.rfind(" -> ")); // a link: its name, not its target
        } else if (const std::size_t partner = name.rfind(" link to "); partner != std::string::npos) {
            name = name.substr(0, partner); // a hard link: its name, not the first name of its data
        }
        if (name != ".") {
            paths.push_back(name + (line[0] == 'd' ? "/" : ""));
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::map<std::string, IsoinfoDatedEntry> IsoinfoDatedListing(const std::string& image, const std::string& options)
{
    int status = 0;
    const std::string output = RunForOutput("isoinfo " + options + " -l -i " + ShellQuote(image), &status);
    if (status != 0) {
        throw std::runtime_error("isoinfo failed on " + image + ":\n" + output);
    }
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::map<std::string, IsoinfoDatedEntry> listing;
    for (const IsoinfoLine& line : IsoinfoLines(output)) {
        if ((line.mode[0] != 'd' && line.mode[0] != '-') || line.name == "." || line.name == "..") {
            continue;
        }
        const auto month = std::find(std::begin(kMonths), std::end(kMonths), line.month) - std::begin(kMonths);
        char day[40]; // room for any three ints, so no compiler sees a cut
        std::snprintf(day, sizeof day, "%04d-%02d-%02d", std::stoi(line.year), static_cast<int>(month) + 1,
                      std::stoi(line.day));
        listing[line.folder.substr(1) + line.name + (line.mode[0] == 'd' ? "/" : "")] = {
            std::stoull(line.size), static_cast<std::uint32_t>(std::stoul(line.extent)), day};
    }
    return listing;
}

std::map<std::string, DiskEntry> SnapshotTree(const std::string& root)
{
    std::map<std::string, DiskEntry> tree;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        if (::lstat(item.path().c_str(), &info) != 0) {
            throw std::runtime_error("cannot stat " + item.path().string());
        }
        DiskEntry entry;
        entry.isDirectory = S_ISDIR(info.st_mode);
        entry.modified = info.st_mtim.tv_sec;
        std::string relative = fs::relative(item.path(), root).string();
        if (entry.isDirectory) {
            relative += "/";
        } else {
            entry.bytes = ReadFileRange(item.path().string(), 0, static_cast<std::size_t>(info.st_size));
        }
        tree[relative] = std::move(entry);
    }
    return tree;
}

std::map<std::string, LongLine> ParseLongListing(const std::string& output)
{
    std::map<std::string, LongLine> entries;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        LongLine entry;
        std::string day, time;
        if (!line.empty() && line[0] != ' ' && (line[0] < '0' || line[0] > '9')) {
            fields >> entry.mode;
        }
        if (!(fields >> entry.size >> day >> time >> entry.extent)) {
            ADD_FAILURE() << "not a long listing line: " << line;
            continue;
        }
        entry.date = day + " " + time;
        fields.ignore(2);
        std::string name;
        std::getline(fields, name);
        entries[name] = entry;
    }
    return entries;
}

std::vector<std::string> SortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string PrimaryPathShown(const std::string& path, bool upper)
{
    std::string shown;
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
        part = part.substr(0, part.find(';'));
        part = part.substr(0, part.size() - (!part.empty() && part.back() == '.' ? 1 : 0));
        if (upper) {
            std::transform(part.begin(), part.end(), part.begin(), [](unsigned char c) { return std::toupper(c); });
        }
        shown += part + "/";
    }
    return shown;
}

std::string FormatInZone(std::int64_t epochSeconds, const std::string& zone)
{
    const ScopedZone scoped(zone.c_str());
    const auto seconds = static_cast<std::time_t>(epochSeconds);
    std::tm local {};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::uint32_t XorrisoBootImageSector(const std::string& image)
{
    const std::string report = RunForOutput("xorriso -indev " + ShellQuote(image) + " -report_el_torito plain");
    const std::size_t line = report.find("El Torito boot img :");
    if (line == std::string::npos) {
        throw std::runtime_error("xorriso names no boot image in " + image + ":\n" + report);
    }
    // The last column of the line is the sector.
    std::istringstream fields(report.substr(line, report.find('\n', line) - line));
    std::string word;
    std::string last;
    while (fields >> word) {
        last = word;
    }
    return static_cast<std::uint32_t>(std::stoul(last));
}

::testing::AssertionResult BootsToMarker(const std::string& drive, const std::string& serial, const std::string& marker)
{
    std::filesystem::remove(serial);
    const std::string screen = "sed 's/\\x1b\\[[0-9;?]*[A-Za-z]//g' " + ShellQuote(serial) + " 2>/dev/null";
    RunCommand("qemu-system-x86_64 " + drive + " -m 256 -display none -no-reboot -serial "
               + ShellQuote("file:" + serial) + " </dev/null >/dev/null 2>&1 & qemu=$!; for i in $(seq 80); do "
               + screen + " | grep -q " + marker
               + " && break; kill -0 $qemu 2>/dev/null || break; sleep 0.5; done; kill $qemu 2>/dev/null; wait $qemu");
    const std::string shown = RunForOutput(screen);
    if (shown.find(marker) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << marker << " did not come:\n" << shown;
}

::testing::AssertionResult NamesOneFile(const std::string& image, const std::vector<std::string>& names,
                                        const std::string& other)
{
    const std::string listing = RunCommand("isoinfo -R -l -i " + ShellQuote(image)).output;
    std::map<std::string, IsoinfoLine> records;
    for (IsoinfoLine& line : IsoinfoLines(listing)) {
        records[line.folder + line.name] = std::move(line);
    }
    for (const std::string& name : names) {
        const auto found = records.find(name);
        if (found == records.end()) {
            return ::testing::AssertionFailure() << name << " is not listed:\n" << listing;
        }
        if (found->second.extent != records[names.front()].extent
            || found->second.links != std::to_string(names.size())) {
            return ::testing::AssertionFailure() << name << " has extent " << found->second.extent << " and "
                                                 << found->second.links << " links:\n" << listing;
        }
    }
    const TempDir out;
    const CommandResult joined = RunCommand("xorriso -hardlinks on -osirrox on -indev " + ShellQuote(image) +
                                            " -extract / " + ShellQuote(out / "x") + " 2>&1");
    if (joined.exitCode != 0) {
        return ::testing::AssertionFailure() << "xorriso did not extract the image:\n" << joined.output;
    }
    for (const std::string& name : names) {
        if (!fs::equivalent(out / ("x" + name), out / ("x" + names.front()))) {
            return ::testing::AssertionFailure() << "xorriso extracted " << name << " as a file of its own";
        }
    }
    if (fs::equivalent(out / ("x" + other), out / ("x" + names.front()))) {
        return ::testing::AssertionFailure() << "xorriso joined " << other << " with " << names.front();
    }
    return ::testing::AssertionSuccess();
}

} // namespace tarvelin::test
