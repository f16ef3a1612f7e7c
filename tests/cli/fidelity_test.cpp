// Edits saved in place keep everything the user did not touch, as the peer tools see it: each row copies a Debian boot
// image or a peer-made one, makes one edit (add, mkdir, rename, rm) and runs every check of kChecks before and after.
// The edited GRUB rescue CD also boots in QEMU as a CD and as a disk.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/iso_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::RunForOutput;
using test::ShellQuote;

enum class Edit { Add, Mkdir, Rename, Remove };
const char* const kEditNames[] = {"Add", "Mkdir", "Rename", "Remove"};

struct ImageRow {
    const char* name;
    const char* origin;  // the Debian package that ships the image, or the peer tool that makes it here
    const char* options; // the end of the image's path in the package, or the tool's options
    const char* folder;  // where add and mkdir put their entry ("" is the root)
    const char* renamed; // the entry renamed to renamed.txt
    const char* removed; // the entry removed
};

const ImageRow kImages[] = {
    // xorriso, Rock Ridge, no Joliet, isohybrid MBR; i386-pc is a folder of 19 sectors.
    {"GrubRescue", "grub-rescue-pc", "/grub-rescue-cdrom.iso", "boot/grub", "boot/grub/i386-pc/acpi.mod",
     "boot/grub/locale"},
    // isolinux and an EFI image, Rock Ridge and Joliet.
    {"Ipxe", "ipxe", "/ipxe.iso", "", "isolinux.cfg", "ipxe.krn"},
    // A floppy-emulation entry and an EFI partition appended after the volume.
    {"Memtest64", "memtest86+", "/memtest86+x64.iso", "EFI/BOOT", "EFI/BOOT/bootx64.efi", "EFI"},
    {"Memtest32", "memtest86+", "/memtest86+ia32.iso", "EFI/BOOT", "EFI/BOOT/bootia32.efi", "EFI"},
    // xorriso -as mkisofs -R -J -joliet-long -o IMG FOLDER (no Joliet records for links)
    {"XorrisoRockJoliet", "xorriso", "-R -J -joliet-long", "ro", "rel-link", "README.TXT"},
    // genisoimage -input-charset utf-8 -R -J -hidden secret.txt -o IMG FOLDER (d8 goes to rr_moved; folders count their
    // folders in their links)
    {"GenisoRockJoliet", "genisoimage", "-R -J -hidden secret.txt", "ro", "rel-link", "ro"},
    // genisoimage -input-charset utf-8 -J -o IMG FOLDER (no links, nothing below d7)
    {"GenisoJoliet", "genisoimage", "-J", "ro", "run.sh", "README.TXT"},
    // xorriso -as mkisofs -R -o IMG FOLDER
    {"XorrisoRock", "xorriso", "-R", "ro", "rel-link", "README.TXT"},
};

const char kAddedText[] = "added by the fidelity test\n";

// The entry an edit takes away or makes, as paths from the root, and the one folder whose records it changes.
struct EditPaths {
    std::string gone;     // "/README.TXT", or empty
    std::string appeared; // "/ro/added.txt", or empty
    std::string folder;   // "/ro/"
};

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }
bool StartsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

EditPaths PathsOf(const ImageRow& image, Edit edit)
{
    const std::string folder = std::string("/") + image.folder + (*image.folder != '\0' ? "/" : "");
    const std::string renamed = std::string("/") + image.renamed;
    const std::string removed = std::string("/") + image.removed;
    switch (edit) {
    case Edit::Add: return {"", folder + "added.txt", folder};
    case Edit::Mkdir: return {"", folder + "newdir", folder};
    case Edit::Rename: return {renamed, Parent(renamed) + "renamed.txt", Parent(renamed)};
    case Edit::Remove: break;
    }
    return {removed, "", Parent(removed)};
}

// A path as it matches without Rock Ridge and Joliet.
std::string IsoFolded(const std::string& path) { return test::PrimaryPathShown(path, true); }

// A directory record as isoinfo -l prints it, or an entry as xorriso's lsdl prints it ("." stands for the root there).
struct Record {
    std::string folder; // "/boot/grub/"
    std::string name;
    std::string size;
    std::string links;
    std::string rest; // mode, owner, group, date, flags, link target: all but the extent
    std::string extent; // isoinfo's alone

    bool IsDirectory() const { return !rest.empty() && rest[0] == 'd'; }
    // The folder a directory record stands for.
    std::string Referent() const
    {
        if (!IsDirectory() || name == ".") {
            return IsDirectory() ? folder : "";
        }
        if (name != "..") {
            return folder + name + "/";
        }
        return folder == "/" ? folder : Parent(folder.substr(0, folder.size() - 1));
    }
};

// isoinfo OPTIONS -l: the records in the order the directories hold them.
std::vector<Record> IsoinfoListing(const std::string& image, const std::string& options)
{
    std::vector<Record> records;
    for (const test::IsoinfoLine& line :
         test::IsoinfoLines(RunForOutput("TZ=UTC isoinfo " + options + " -l -i " + ShellQuote(image)))) {
        const std::size_t arrow = line.name.find(" -> ");
        const std::string target = arrow == std::string::npos ? "" : line.name.substr(arrow);
        records.push_back({line.folder, line.name.substr(0, arrow), line.size, line.links,
                           line.mode + " " + line.user + " " + line.group + " " + line.month + " " + line.day + " "
                               + line.year + " " + line.flags + target,
                           line.extent});
    }
    return records;
}

// xorriso -find / -exec lsdl: the tree as xorriso reads it.
std::vector<Record> XorrisoListing(const std::string& image)
{
    std::vector<Record> records;
    std::istringstream lines(RunForOutput("TZ=UTC xorriso -indev " + ShellQuote(image) + " -find / -exec lsdl"));
    for (std::string line; std::getline(lines, line);) {
        // "lrwxrwxrwx    1 0        0     0 Dec  6 23:02 '/abs-link' -> '/etc/hostname'"
        const std::size_t quote = line.find(" '");
        const std::size_t end = line.find('\'', quote + 2);
        if (quote == std::string::npos || end == std::string::npos || line.find_first_not_of("-bcdelpsrwxStT") != 10) {
            continue; // xorriso's own messages
        }
        std::istringstream fields(line.substr(0, quote));
        std::string mode, links, user, group, size, date;
        fields >> mode >> links >> user >> group >> size;
        std::getline(fields, date);
        const std::string path = line.substr(quote + 2, end - quote - 2);
        records.push_back({Parent(path), path == "/" ? "." : path.substr(path.rfind('/') + 1), size, links,
                           mode + " " + user + " " + group + date + line.substr(end + 1), ""});
    }
    return records;
}

// Paths (folders ending in '/') -> "dir", "-> target" or "= " and the bytes.
using Tree = std::map<std::string, std::string>;

Tree Snapshot(const std::string& root)
{
    Tree tree;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(root)) {
        const std::string path = item.path().lexically_relative(root).string();
        if (item.is_symlink()) {
            // 7-Zip puts its destination before absolute link targets.
            const std::string target = fs::read_symlink(item.path()).string();
            tree[path] = "-> " + (StartsWith(target, root + "/") ? target.substr(root.size()) : target);
        } else if (item.is_directory()) {
            tree[path + "/"] = "dir";
        } else {
            const std::vector<std::uint8_t> bytes = test::ReadWholeFile(item.path().string());
            tree[path] = "= " + std::string(bytes.begin(), bytes.end());
        }
    }
    return tree;
}

Tree TreeOf(const std::vector<std::string>& paths)
{
    Tree tree;
    for (const std::string& path : paths) {
        tree[path] = "";
    }
    return tree;
}

// bsdtar leaves out the folder that holds relocated deep folders, and so do we; a save puts the folders back in their
// places and drops it.
Tree WithoutRelocationFolder(Tree tree)
{
    tree.erase("rr_moved/");
    return tree;
}

// One line per path the trees do not agree on: "-" only expected, "+" only there, "~" other content.
void ExpectSame(const Tree& expected, const Tree& actual, const std::string& what)
{
    std::string lines;
    for (const auto& [path, content] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            lines += "\n  - " + path;
        } else if (found->second != content) {
            const bool shown = content.size() + found->second.size() < 160;
            lines += "\n  ~ " + path + (shown ? "  '" + content + "' became '" + found->second + "'" : "");
        }
    }
    for (const auto& [path, content] : actual) {
        lines += expected.contains(path) ? "" : "\n  + " + path + (content.size() < 80 ? "  " + content : "");
    }
    EXPECT_TRUE(lines.empty()) << what << ":" << lines;
}

// The tree an extraction of the original gives, with the edit made to it.
Tree Edited(const Tree& before, Edit edit, const EditPaths& paths)
{
    Tree after;
    for (const auto& [path, content] : before) {
        const bool edited =
            !paths.gone.empty() && ("/" + path == paths.gone || StartsWith("/" + path, paths.gone + "/"));
        if (!edited) {
            after[path] = content;
        } else if (edit == Edit::Rename) {
            after[paths.appeared.substr(1) + path.substr(paths.gone.size() - 1)] = content;
        }
    }
    if (edit == Edit::Add) {
        after[paths.appeared.substr(1)] = std::string("= ") + kAddedText;
    } else if (edit == Edit::Mkdir) {
        after[paths.appeared.substr(1) + "/"] = "dir";
    }
    return after;
}

// What the peer tools see in one image.
struct Observation {
    std::map<std::string, std::vector<Record>> listings; // by the command that lists
    std::string boot;                                    // El Torito entries without their load RBA
    std::vector<std::vector<std::uint8_t>> bootImages;   // what each entry loads
    std::map<std::string, Tree> extracted;               // by the tool that extracts
    bool joliet = false;
};

// The El Torito entries as xorriso reports them; bootImages gets the bytes each loads, without the boot info table
// (bytes 8..63) that says where they lie.
std::string BootEntries(const std::string& image, std::vector<std::vector<std::uint8_t>>& bootImages)
{
    const std::string report = RunForOutput("xorriso -indev " + ShellQuote(image) + " -report_el_torito plain");
    std::string entries;
    for (std::string line : test::SortedLines(report)) {
        if (StartsWith(line, "El Torito boot img")) {
            // "El Torito boot img :   1  BIOS  y   none  0x0000  0x00      4        1394"
            std::istringstream fields(line.substr(line.find(':') + 1));
            std::string number, platform, bootable, emulation, segment, hdpt;
            std::uint64_t loadSectors = 0, rba = 0;
            fields >> number >> platform >> bootable >> emulation >> segment >> hdpt >> loadSectors >> rba;
            std::vector<std::uint8_t> loaded = test::ReadFileRange(image, rba * 2048, loadSectors * 512);
            if (report.find("img opts :   " + number + "  boot-info-table") != std::string::npos) {
                std::fill(loaded.begin() + std::min<std::ptrdiff_t>(8, std::ssize(loaded)),
                          loaded.begin() + std::min<std::ptrdiff_t>(64, std::ssize(loaded)), 0);
            }
            bootImages.push_back(std::move(loaded));
            line = line.substr(0, line.find_last_not_of(' ', line.find_last_not_of("0123456789")) + 1);
        }
        entries += StartsWith(line, "Boot record") || StartsWith(line, "El Torito boot img")
                || StartsWith(line, "El Torito img") ? line + "\n" : "";
    }
    return entries;
}

Observation Observe(const std::string& image, const std::string& scratch)
{
    Observation seen;
    const std::string description = RunForOutput("TZ=UTC isoinfo -d -debug -i " + ShellQuote(image));
    seen.joliet = description.find("Joliet with UCS level") != std::string::npos;
    if (description.find("Rock Ridge signatures") != std::string::npos) {
        seen.listings["isoinfo -R -l"] = IsoinfoListing(image, "-R");
    }
    if (seen.joliet) {
        seen.listings["isoinfo -J -l"] = IsoinfoListing(image, "-J");
    }
    seen.listings["isoinfo -l"] = IsoinfoListing(image, "");
    seen.listings["xorriso lsdl"] = XorrisoListing(image);
    seen.boot = BootEntries(image, seen.bootImages);
    const auto into = [&scratch](const char* tool) { return ShellQuote(scratch + "/" + tool); };
    const std::map<std::string, std::string> extractors = {
        {"7z", "7z x -y -o" + into("7z") + " " + ShellQuote(image)},
        {"bsdtar", "bsdtar -x -f " + ShellQuote(image) + " -C " + into("bsdtar")},
        {"xorriso", "xorriso -osirrox on -indev " + ShellQuote(image) + " -extract / " + into("xorriso")},
        {"tarvelin", ShellQuote(TARVELIN_CLI_PATH) + " extract " + ShellQuote(image) + " -C " + into("tarvelin")},
    };
    for (const auto& [tool, command] : extractors) {
        fs::create_directories(scratch + "/" + tool);
        int status = 0;
        const std::string output = RunForOutput(command, &status);
        EXPECT_EQ(status, 0) << command << "\n" << output;
        seen.extracted[tool] = Snapshot(scratch + "/" + tool);
        // 7-Zip's pseudo files of the boot catalog are no files of the image.
        std::erase_if(seen.extracted[tool], [](const auto& item) { return StartsWith(item.first, "[BOOT]"); });
        test::RunCommand("chmod -R u+w " + into(tool.c_str())); // read-only folders, so that TempDir can go
    }
    return seen;
}

struct Row {
    Edit edit;
    EditPaths paths;
    std::string before, after;
    const Observation& was;
    const Observation& is;
};

// Each folder of a listing: how many folders it holds, and the link counts of the records that stand for it.
std::map<std::string, std::pair<std::size_t, std::set<std::string>>> FoldersOf(const std::vector<Record>& records)
{
    std::map<std::string, std::pair<std::size_t, std::set<std::string>>> folders;
    for (const Record& r : records) {
        if (r.IsDirectory()) {
            folders[r.Referent()].second.insert(r.links);
            folders[r.folder].first += r.name != "." && r.name != ".." ? 1 : 0;
        }
    }
    return folders;
}

// Each file of a listing that has data: how many files name that data (its hard links, stored once).
std::map<std::string, std::size_t> DataNamesOf(const std::vector<Record>& records)
{
    std::map<std::string, std::size_t> byExtent;
    const auto hasData = [](const Record& r) {
        return !r.extent.empty() && !r.rest.empty() && r.rest[0] == '-' && r.size != "0";
    };
    for (const Record& r : records) {
        byExtent[r.extent] += hasData(r) ? 1 : 0;
    }
    std::map<std::string, std::size_t> names;
    for (const Record& r : records) {
        if (hasData(r)) {
            names[r.folder + r.name] = byExtent[r.extent];
        }
    }
    return names;
}

// 1. Every listing the same but for the edited entry, the sizes and link counts of the records that stand for the one
// folder it changes, the link counts of a folder that lost its relocated folders (check 7) and those of files whose
// hard links came or went (check 8).
void UntouchedEntriesListTheSame(const Row& row)
{
    for (const auto& [command, listing] : row.is.listings) {
        SCOPED_TRACE(command);
        const bool isoNames = command == "isoinfo -l";
        const auto same = [&](const std::string& a, const std::string& b) {
            return isoNames ? IsoFolded(a) == IsoFolded(b) : a == b;
        };
        const auto was = FoldersOf(row.was.listings.at(command)), is = FoldersOf(listing);
        const auto namesWere = DataNamesOf(row.was.listings.at(command)), namesAre = DataNamesOf(listing);
        const auto keyed = [&](const std::vector<Record>& records) {
            std::map<std::string, Record> byKey;
            for (const Record& r : records) {
                const bool changed = r.IsDirectory() && same(r.Referent(), row.paths.folder);
                const auto before = was.find(r.Referent()), after = is.find(r.Referent());
                const auto namesBefore = namesWere.find(r.folder + r.name), namesAfter = namesAre.find(r.folder + r.name);
                const bool recounted = (r.IsDirectory() && before != was.end() && after != is.end()
                                        && before->second.first != after->second.first)
                                    || (namesBefore != namesWere.end() && namesAfter != namesAre.end()
                                        && namesBefore->second != namesAfter->second);
                byKey[r.folder + r.name + " | " + (changed ? "*" : r.size + " " + (recounted ? "*" : r.links)) + " | "
                      + r.rest] = r;
            }
            return byKey;
        };
        const auto before = keyed(row.was.listings.at(command));
        const auto after = keyed(listing);
        // The ISO 9660 name a peer gave the entry cannot be told from its other names: its folder must do.
        const auto isEntry = [&](const Record& r, const std::string& path, bool nameKnown) {
            return !path.empty() && r.name != "." && r.name != ".."
                && (nameKnown ? same(r.folder + r.name, path) : same(r.folder, Parent(path)));
        };
        const auto isBelow = [&](const Record& r, const std::string& path) {
            return !path.empty()
                && (isoNames ? StartsWith(IsoFolded(r.folder), IsoFolded(path)) : StartsWith(r.folder, path + "/"));
        };
        // genisoimage moves folders deeper than eight levels below "rr_moved" and leaves a placeholder at their place;
        // a save puts them back where Rock Ridge says they are (xorriso, bsdtar and the kernel show them there), so the
        // primary tree's own listings see them move, and the emptied "rr_moved" go.
        std::vector<std::string> relocated{"/RR_MOVED/"};
        for (const Record& r : row.was.listings.at(command)) {
            if (IsoFolded(r.folder) == "/RR_MOVED/" && r.name != "." && r.name != "..") {
                for (const Record& placeholder : row.was.listings.at(command)) {
                    if (IsoFolded(placeholder.name) == IsoFolded(r.name) && placeholder.size == "0") {
                        relocated.push_back(IsoFolded(placeholder.folder + placeholder.name));
                    }
                }
            }
        }
        const auto moved = [&](const Record& r) {
            const std::string path = IsoFolded(r.folder + r.name);
            return std::any_of(relocated.begin(), relocated.end(),
                               [&](const std::string& place) { return StartsWith(path, place); });
        };
        std::vector<Record> gone, appeared;
        std::string unexplained;
        const auto sortOut = [&](const auto& from, const auto& to, const std::string& path, bool nameKnown,
                                 std::vector<Record>& entries, const char* sign) {
            for (const auto& [key, record] : from) {
                if (to.contains(key) || moved(record)) {
                    continue;
                } else if (isEntry(record, path, nameKnown)) {
                    entries.push_back(record);
                } else if (!isBelow(record, path)) {
                    unexplained += std::string("\n  ") + sign + " " + key;
                }
            }
        };
        sortOut(before, after, row.paths.gone, !isoNames, gone, "-");
        sortOut(after, before, row.paths.appeared, true, appeared, "+");
        EXPECT_TRUE(unexplained.empty()) << "records the edit did not touch changed (- was, + is):" << unexplained;
        // A tree without the entry (xorriso writes no Joliet record for a link) goes on without it.
        const bool inTree = isoNames || std::any_of(before.begin(), before.end(), [&](const auto& item) {
                                return isEntry(item.second, row.paths.gone, true);
                            });
        EXPECT_EQ(gone.size(), !row.paths.gone.empty() && inTree ? 1u : 0u) << "gone from " << row.paths.folder;
        EXPECT_EQ(appeared.size(), !row.paths.appeared.empty() && (row.paths.gone.empty() || inTree) ? 1u : 0u)
            << "made: " << row.paths.appeared;
        if (isoNames && appeared.size() == 1 && !appeared[0].IsDirectory()) {
            EXPECT_TRUE(appeared[0].name.ends_with(";1")) << "a file identifier without version: " << appeared[0].name;
        }
        if (gone.size() == 1 && appeared.size() == 1) { // renamed: all else stays
            const auto facts = [](const Record& r) { return r.size + " " + r.links + " " + r.rest; };
            EXPECT_EQ(facts(appeared[0]), facts(gone[0]));
        }
    }
}

// Records in a directory go by file name, then extension, each padded with spaces, then by version, highest first (a
// folder, without one, first).
bool IsoOrdered(const std::string& a, const std::string& b)
{
    struct Parts {
        std::string name, extension;
        long version;
    };
    const auto split = [](const std::string& id) {
        const std::size_t semicolon = std::min(id.find(';'), id.size());
        const std::size_t dot = std::min(id.find('.'), semicolon);
        return Parts{id.substr(0, dot), dot < semicolon ? id.substr(dot + 1, semicolon - dot - 1) : "",
                     semicolon < id.size() ? -std::stol("0" + id.substr(semicolon + 1)) : -(1L << 40)};
    };
    const auto padded = [](std::string x, std::string y) {
        x.resize(std::max(x.size(), y.size()), ' ');
        y.resize(x.size(), ' ');
        return x.compare(y); // char_traits<char> compares bytes as unsigned
    };
    const Parts x = split(a), y = split(b);
    const int name = padded(x.name, y.name), extension = padded(x.extension, y.extension);
    return name != 0 ? name < 0 : extension != 0 ? extension < 0 : x.version < y.version;
}

// 2. Records in the order readers expect (isoinfo prints them in directory order). Joliet names go unit by unit over
// the whole name, as peers sort them; UTF-8 bytes sort as UCS-2 units do.
void DirectoriesAreOrdered(const Row& row)
{
    for (const std::string command : {"isoinfo -l", "isoinfo -J -l"}) {
        const std::vector<Record> none;
        const std::vector<Record>& records = row.is.listings.contains(command) ? row.is.listings.at(command) : none;
        for (std::size_t i = 1; i < records.size(); ++i) {
            const Record& a = records[i - 1];
            const Record& b = records[i];
            if (a.folder == b.folder && a.name != "." && a.name != "..") {
                EXPECT_TRUE(command == "isoinfo -l" ? IsoOrdered(a.name, b.name) : a.name < b.name)
                    << command << ": '" << a.name << "' before '" << b.name << "' in " << a.folder;
            }
        }
    }
}

// 3. Every extractor gets the original bytes, and ours what bsdtar and xorriso get.
void ExtractionsKeepTheBytes(const Row& row)
{
    for (const auto& [tool, tree] : row.is.extracted) {
        ExpectSame(WithoutRelocationFolder(Edited(row.was.extracted.at(tool), row.edit, row.paths)),
                   WithoutRelocationFolder(tree), tool + ": original, edited -> saved");
    }
    const Tree& ours = row.is.extracted.at("tarvelin");
    ExpectSame(WithoutRelocationFolder(row.is.extracted.at("xorriso")), ours, "xorriso -> tarvelin-cli extract");
    ExpectSame(WithoutRelocationFolder(row.is.extracted.at("bsdtar")), WithoutRelocationFolder(ours),
               "bsdtar -> tarvelin-cli extract");
}

// 4. The same boot entries loading the same bytes, and the same kind of MBR.
void BootEntriesStay(const Row& row)
{
    EXPECT_EQ(row.is.boot, row.was.boot);
    EXPECT_TRUE(row.is.bootImages == row.was.bootImages) << "the bytes the boot entries load changed";
}

// 5. Our listing names what the peers list, before and after the edit.
void ListingsNameTheSamePaths(const Row& row)
{
    for (const auto& [image, seen] : {std::pair{row.before, &row.was}, std::pair{row.after, &row.is}}) {
        SCOPED_TRACE(image);
        const auto ours = [&image](const std::string& names) {
            const std::string cli = ShellQuote(TARVELIN_CLI_PATH);
            return TreeOf(test::SortedLines(RunForOutput(cli + " ls -R " + ShellQuote(image) + names)));
        };
        Tree xorriso;
        for (const Record& r : seen->listings.at("xorriso lsdl")) {
            xorriso[r.folder.substr(1) + r.name + (r.IsDirectory() ? "/" : "")] = "";
        }
        xorriso.erase("./");
        ExpectSame(WithoutRelocationFolder(xorriso), ours(""), "xorriso -find -> tarvelin-cli ls -R");
        ExpectSame(WithoutRelocationFolder(TreeOf(test::BsdtarPaths(image))), WithoutRelocationFolder(ours("")),
                   "bsdtar tf -> tarvelin-cli ls -R");
        // 7-Zip reads Joliet where there is Joliet.
        ExpectSame(TreeOf(test::SevenZipPaths(image)), ours(seen->joliet ? " --names joliet" : ""),
                   "7z l -> tarvelin-cli ls -R");
    }
}

// 6. isovfy, which checks each record and its Rock Ridge entries (an RR entry's flags among them), finds no fault the
// image did not have. It marks a fault with "!=" or "*****" (and lists hidden files without one).
void IsovfyFindsNothingNew(const Row& row)
{
    const auto faults = [](const std::string& image, std::string& output) {
        output = RunForOutput("isovfy " + ShellQuote(image));
        std::size_t count = 0;
        for (const std::string& line : test::SortedLines(output)) {
            count += line.find("!=") != std::string::npos || line.find("*****") != std::string::npos ? 1 : 0;
        }
        return count;
    };
    std::string was, is;
    const std::size_t before = faults(row.before, was);
    EXPECT_LE(faults(row.after, is), before) << "before:\n" << was << "after:\n" << is;
}

// 7. Rock Ridge folder link counts: a folder that gained or lost a folder counts 2 and one for each folder in it on
// every record that stands for it, where the image counted so (xorriso gives folders 1); every other record keeps its
// count. A new folder counts 2.
void FolderLinksCountTheirFolders(const Row& row)
{
    const std::string command = "isoinfo -R -l";
    if (!row.is.listings.contains(command)) {
        return;
    }
    const auto was = FoldersOf(row.was.listings.at(command));
    for (const auto& [folder, is] : FoldersOf(row.is.listings.at(command))) {
        const auto before = was.find(folder);
        std::set<std::string> expected{std::to_string(2 + is.first)};
        if (before != was.end()) {
            expected.clear();
            for (const std::string& links : before->second.second) {
                const bool counted = links == std::to_string(2 + before->second.first);
                expected.insert(counted ? std::to_string(2 + is.first) : links);
            }
        }
        EXPECT_EQ(is.second, expected) << folder << " holds " << is.first << " folders";
    }
}

// 8. Rock Ridge file link counts: a file whose data lost or gained names (a hard link removed) counts the names left on
// its record, where the image counted links; every other record keeps its count.
void FileLinksCountTheNamesOfTheirData(const Row& row)
{
    const std::string command = "isoinfo -R -l";
    if (!row.is.listings.contains(command)) {
        return;
    }
    std::map<std::string, std::string> linksWere;
    for (const Record& r : row.was.listings.at(command)) {
        linksWere[r.folder + r.name] = r.links;
    }
    const auto namesWere = DataNamesOf(row.was.listings.at(command));
    const std::vector<Record>& listing = row.is.listings.at(command);
    for (const auto& [path, names] : DataNamesOf(listing)) {
        const auto before = namesWere.find(path);
        if (before == namesWere.end()) {
            continue;
        }
        const auto record = std::find_if(listing.begin(), listing.end(),
                                         [&](const Record& r) { return r.folder + r.name == path; });
        const bool recounted = before->second != names && linksWere.at(path) != "1";
        EXPECT_EQ(record->links, recounted ? std::to_string(names) : linksWere.at(path))
            << path << ": " << names << " name(s) of its data, " << before->second << " before";
    }
}

const struct {
    const char* name;
    void (*run)(const Row&);
} kChecks[] = {
    {"1 untouched entries list the same", UntouchedEntriesListTheSame},
    {"2 records in order", DirectoriesAreOrdered},
    {"3 extracted bytes stay", ExtractionsKeepTheBytes},
    {"4 boot entries stay", BootEntriesStay},
    {"5 listings agree", ListingsNameTheSamePaths},
    {"6 isovfy finds nothing new", IsovfyFindsNothingNew},
    {"7 folder link counts", FolderLinksCountTheirFolders},
    {"8 file link counts", FileLinksCountTheNamesOfTheirData},
};

// The folder peers make images of: long names, names apart only in case, a ';', links, a hard link, modes, a hidden
// file and a folder 10 deep; and the images of kImages that peers make of it, under the rows' names.
const std::string& MadeImages()
{
    static const std::unique_ptr<test::TempDir> made = [] {
        auto dir = std::make_unique<test::TempDir>();
        const std::string src = *dir / "src";
        fs::create_directories(src + "/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10");
        fs::create_directories(src + "/ro");
        for (const char* name : {"README.TXT", "ReadMe.Txt", "readme.txt", "semi;colon.txt", ".hidden", "secret.txt",
                                 "run.sh", "ro/inside.txt", "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/leaf.txt"}) {
            test::WriteWholeFile(src + "/" + name, std::string("bytes of ") + name + "\n");
        }
        test::WriteWholeFile(src + "/" + std::string(70, 'l') + ".txt", test::RandomBytes(5000, 7));
        fs::create_symlink("readme.txt", src + "/rel-link");
        fs::create_symlink("/etc/hostname", src + "/abs-link");
        // Removing README.TXT (or ro, in which its partner lies) leaves the other name alone.
        fs::create_hard_link(src + "/README.TXT", src + "/ro/readme-link.txt");
        fs::permissions(src + "/run.sh", static_cast<fs::perms>(0751));
        fs::permissions(src + "/ro", static_cast<fs::perms>(0555));
        test::StampTreeTimes(src, 1600000001);
        for (const ImageRow& image : kImages) {
            const std::string path = *dir / (std::string(image.name) + ".iso");
            if (std::string(image.origin) == "xorriso") {
                test::RunXorrisoMkisofs(src, path, image.options);
            } else if (std::string(image.origin) == "genisoimage") {
                test::RunGenisoimage(src, path, image.options);
            }
        }
        fs::permissions(src + "/ro", fs::perms::owner_write, fs::perm_options::add); // so that TempDir can go
        return dir;
    }();
    return made->Path();
}

// The image of a row; empty when its package does not hold it.
std::string ImageOf(const ImageRow& image)
{
    if (std::string(image.origin) == "xorriso" || std::string(image.origin) == "genisoimage") {
        return MadeImages() + "/" + image.name + ".iso";
    }
    for (const std::string& path : test::SortedLines(RunForOutput("dpkg -L " + std::string(image.origin)))) {
        if (path.ends_with(image.options)) {
            return path;
        }
    }
    return "";
}

void PrintTo(const ImageRow& image, std::ostream* out) { *out << image.name; }
void PrintTo(Edit edit, std::ostream* out) { *out << kEditNames[static_cast<int>(edit)]; }

class Fidelity : public ::testing::TestWithParam<std::tuple<ImageRow, Edit>> {};

TEST_P(Fidelity, AnEditSavedInPlaceChangesOnlyTheEditedEntry)
{
    TARVELIN_REQUIRE_TOOLS("isoinfo", "isovfy", "xorriso", "7z", "bsdtar", "genisoimage", "dpkg");
    const auto& [image, edit] = GetParam();
    const std::string original = ImageOf(image);
    TARVELIN_REQUIRE(!original.empty() && fs::exists(original), "the image of package " << image.origin);
    test::TempDir dir;
    const std::string before = dir / "before.iso";
    const std::string after = dir / "after.iso";
    fs::copy_file(original, before);
    fs::copy_file(original, after);
    fs::permissions(after, fs::perms::owner_write, fs::perm_options::add);
    const Observation was = Observe(before, dir / "was");

    const EditPaths paths = PathsOf(image, edit);
    test::WriteWholeFile(dir / "added.txt", std::string(kAddedText));
    const std::string commands[] = {
        "add " + ShellQuote(after) + " " + ShellQuote(dir / "added.txt") + " --to " + ShellQuote(paths.folder),
        "mkdir " + ShellQuote(after) + " " + ShellQuote(paths.appeared),
        "rename " + ShellQuote(after) + " " + ShellQuote(paths.gone) + " renamed.txt",
        "rm " + ShellQuote(after) + " " + ShellQuote(paths.gone),
    };
    const std::string& command = commands[static_cast<int>(edit)];
    ASSERT_TRUE(test::Succeeded(test::RunCommand(ShellQuote(TARVELIN_CLI_PATH) + " " + command))) << command;

    const Observation is = Observe(after, dir / "is");
    for (const auto& check : kChecks) {
        SCOPED_TRACE(check.name);
        check.run(Row{edit, paths, before, after, was, is});
    }
}

INSTANTIATE_TEST_SUITE_P(Images, Fidelity,
                         ::testing::Combine(::testing::ValuesIn(kImages),
                                            ::testing::Values(Edit::Add, Edit::Mkdir, Edit::Rename, Edit::Remove)),
                         [](const auto& row) {
                             return std::string(std::get<0>(row.param).name) + "_"
                                  + kEditNames[static_cast<int>(std::get<1>(row.param))];
                         });

// The GRUB rescue CD with a grub.cfg that prints a marker on the serial port, once copied with the file by xorriso,
// once with the file added by tarvelin-cli and once more compacted after a removal: each must reach the marker, booted
// as a CD and as a disk (the isohybrid MBR).
TEST(FidelityBoot, GrubRescueWithAGrubCfgAddedBootsAsCdAndDiskLikeXorrisosCopy)
{
    TARVELIN_REQUIRE_TOOLS("xorriso", "qemu-system-x86_64");
    const std::string original = "/usr/lib/grub-rescue/grub-rescue-cdrom.iso";
    TARVELIN_REQUIRE(fs::exists(original), original << " of grub-rescue-pc");
    test::TempDir dir;
    const std::string cfg = "serial\nterminal_output serial\necho TARVELIN-GRUB-OK\nhalt\n";
    test::WriteWholeFile(dir / "grub.cfg", cfg);
    // xorriso -indev ORIGINAL -outdev xorriso.iso -boot_image any replay -map grub.cfg /boot/grub/grub.cfg
    const test::CommandResult made =
        test::RunCommand("xorriso -indev " + ShellQuote(original) + " -outdev " + ShellQuote(dir / "xorriso.iso")
                         + " -boot_image any replay -map " + ShellQuote(dir / "grub.cfg") + " /boot/grub/grub.cfg");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    fs::copy_file(original, dir / "tarvelin.iso");
    fs::permissions(dir / "tarvelin.iso", fs::perms::owner_write, fs::perm_options::add);
    const test::CommandResult added = test::RunCommand(ShellQuote(TARVELIN_CLI_PATH) + " add "
                                                       + ShellQuote(dir / "tarvelin.iso") + " "
                                                       + ShellQuote(dir / "grub.cfg") + " --to /boot/grub");
    ASSERT_EQ(added.exitCode, 0) << added.output;
    // The same, then a module removed and the image compacted: the files move, the boot image with them, and it still
    // boots.
    fs::copy_file(dir / "tarvelin.iso", dir / "compacted.iso");
    for (const std::string& command : {"rm " + ShellQuote(dir / "compacted.iso") + " /boot/grub/fonts/unicode.pf2",
                                      "compact " + ShellQuote(dir / "compacted.iso")}) {
        const test::CommandResult done = test::RunCommand(ShellQuote(TARVELIN_CLI_PATH) + " " + command);
        ASSERT_EQ(done.exitCode, 0) << command << "\n" << done.output;
    }
    // The GRUB MBR loads the boot image from where compacting moved it.
    EXPECT_EQ(test::MbrBootKind(dir / "compacted.iso"), "grub2-mbr");
    for (const char* maker : {"xorriso", "tarvelin", "compacted"}) {
        const std::string image = ShellQuote(dir / (std::string(maker) + ".iso"));
        for (const std::string& drive : {"-cdrom " + image, "-drive file=" + image + ",format=raw"}) {
            EXPECT_TRUE(test::BootsToMarker(drive, dir / "serial.txt", "TARVELIN-GRUB-OK")) << maker << ": " << drive;
        }
    }
}

// Images made for BIOS and UEFI, edited and booted by UEFI firmware (OVMF) as a CD and as a disk: GRUB must find the
// volume and read the file added. grub-mkrescue's has an MBR, a GPT whose EFI partition is the EFI boot image inside
// the volume (the added folder grows the metadata over it, so it moves) and an Apple partition map; compacted after a
// removal it keeps its size, says so, and boots the same way. The other is laid out as Ubuntu's are: the EFI image
// appended as a second partition, and the first partition from block 64 with a copy of the file system's metadata of
// its own, which must list the added file afterwards. The third has the same GPT without the copy: its first partition
// must not grow over the appended ones, or the firmware skips the overlapping EFI partition.
TEST(FidelityBoot, BiosAndUefiHybridsEditedBootUnderUefiAsCdAndDisk)
{
    TARVELIN_REQUIRE_TOOLS("grub-mkrescue", "mformat", "xorriso", "isoinfo", "qemu-system-x86_64");
    const std::string firmware = "/usr/share/OVMF/OVMF_CODE_4M.fd";
    const std::string variables = "/usr/share/OVMF/OVMF_VARS_4M.fd";
    const std::string grubMbr = "/usr/lib/grub/i386-pc/boot_hybrid.img";
    for (const std::string& file : {firmware, variables, grubMbr, std::string("/usr/lib/grub/x86_64-efi/moddep.lst")}) {
        TARVELIN_REQUIRE_FILE(file);
    }
    test::TempDir dir;
    fs::create_directories(dir / "src/boot/grub");
    fs::create_directories(dir / "added");
    test::WriteWholeFile(dir / "src/boot/grub/grub.cfg", std::string("serial\nterminal_input serial\nterminal_output serial\n"
                                                                    "cat /added/note.txt\nhalt\n"));
    test::WriteWholeFile(dir / "added/note.txt", std::string("TARVELIN-UEFI-OK\n"));
    const std::string cli = ShellQuote(TARVELIN_CLI_PATH) + " ";
    const std::string mkrescue = ShellQuote(dir / "mkrescue.iso");
    const std::string compacted = ShellQuote(dir / "compacted.iso");
    const std::string ubuntu = ShellQuote(dir / "ubuntu.iso");
    const std::string appended = ShellQuote(dir / "appended.iso");
    const std::string tree = ShellQuote(dir / "tree");
    const auto run = [](const std::string& command) {
        const test::CommandResult done = test::RunCommand(command + " 2>&1");
        EXPECT_EQ(done.exitCode, 0) << command << "\n" << done.output;
        return done.output;
    };
    run("grub-mkrescue -o " + mkrescue + " " + ShellQuote(dir / "src"));
    run("xorriso -osirrox on -indev " + mkrescue + " -extract / " + tree + " && chmod -R u+w " + tree + " && mv "
        + tree + "/efi.img " + ShellQuote(dir / "efi.img") + " && rm " + tree + "/boot.catalog");
    for (const auto& [image, options] : {std::pair{ubuntu, "-partition_offset 16 "}, std::pair{appended, ""}}) {
        run("xorriso -as mkisofs -o " + image + " -R -J --grub2-mbr " + grubMbr + " " + options +
            "--mbr-force-bootable -append_partition 2 28732ac11ff8d211ba4b00a0c93ec93b " + ShellQuote(dir / "efi.img")
            + " -appended_part_as_gpt -iso_mbr_part_type a2a0d0ebe5b9334487c068b6b72699c7 -c boot.catalog "
              "-b boot/grub/i386-pc/eltorito.img -no-emul-boot -boot-load-size 4 -boot-info-table --grub2-boot-info "
              "-eltorito-alt-boot -e --interval:appended_partition_2::: -no-emul-boot " + tree);
    }
    run(cli + "add " + mkrescue + " " + ShellQuote(dir / "added"));
    run("cp " + mkrescue + " " + compacted + " && " + cli + "rm " + compacted + " /boot/grub/fonts/unicode.pf2");
    EXPECT_NE(run(cli + "compact " + compacted).find("the image keeps its size (partition tables"), std::string::npos);
    // The folder goes behind the appended partition, out of the first partition's reach, and the save says so.
    for (const std::string& image : {ubuntu, appended}) {
        EXPECT_NE(run(cli + "add " + image + " " + ShellQuote(dir / "added")).find("cannot be read through that"),
                  std::string::npos) << image;
    }
    const std::string partition = ShellQuote(dir / "partition.iso");
    EXPECT_NE(run("dd if=" + ubuntu + " of=" + partition + " bs=2048 skip=16 status=none && isoinfo -R -f -i "
                  + partition).find("/added/note.txt"),
              std::string::npos);
    ASSERT_FALSE(::testing::Test::HasFailure());
    for (const std::string& image : {mkrescue, compacted, ubuntu, appended}) {
        for (const std::string& drive : {"-cdrom " + image, "-drive file=" + image + ",format=raw"}) {
            fs::copy_file(variables, dir / "vars.fd", fs::copy_options::overwrite_existing);
            const std::string uefi = "-drive if=pflash,format=raw,readonly=on,file=" + ShellQuote(firmware)
                                   + " -drive if=pflash,format=raw,file=" + ShellQuote(dir / "vars.fd") + " ";
            EXPECT_TRUE(test::BootsToMarker(uefi + drive, dir / "serial.txt", "TARVELIN-UEFI-OK"))
                << image << ": " << drive;
        }
    }
}

// Images that carry a volume for Macs share their files' data with it, and keep its catalog in sectors the ISO 9660
// tree does not list. Saves leave all of that in place: files added (sized to fit the gaps between), a file removed and
// another added in its place, a compaction: each time the Mac volume, read by a peer, lists the same files with the
// same bytes, and our tree has the edits. New folders that would reach the Mac volume are refused.
struct MacImage {
    const char* name;
    const char* make;     // the peer's options, then IMG SRC
    const char* listing;  // lists the Mac volume of $IMG, then writes its beta.bin to standard output
};
const MacImage kMacImages[] = {
    {"GenisoHfs", "genisoimage -quiet -hfs -R -J -o",
     "hmount \"$IMG\" >/dev/null && hls -lR && hcopy -r :beta.bin - ; humount >/dev/null"},
    {"XorrisoHfsPlus", "xorriso -as mkisofs -quiet -hfsplus -R -J -o",
     "rm -rf apm; 7z x -tapm -oapm \"$IMG\" >/dev/null; 7z l -thfs apm/HFSPLUS_Hybrid.hfs | grep ISOIMAGE"
     " && 7z x -so -thfs apm/HFSPLUS_Hybrid.hfs ISOIMAGE/beta.bin"},
};

TEST(FidelityMac, SavesKeepWhatAVolumeForMacsHolds)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "xorriso", "hmount", "7z");
    for (const MacImage& row : kMacImages) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        fs::create_directories(dir / "src/sub");
        fs::create_directories(dir / "fill");
        fs::create_directories(dir / "many");
        test::WriteWholeFile(dir / "src/alpha.txt", std::string("alpha\n"));
        test::WriteWholeFile(dir / "src/sub/gamma.txt", std::string("gamma\n"));
        test::WriteWholeFile(dir / "src/beta.bin", test::RandomBytes(100000, 1));
        for (std::size_t kib : {10, 20, 100, 300, 680}) {
            test::WriteWholeFile(dir / ("fill/f" + std::to_string(kib)), test::RandomBytes(kib * 1000, kib));
        }
        test::WriteWholeFile(dir / "again.bin", test::RandomBytes(100000, 2));
        for (int i = 0; i < 300; ++i) {
            test::WriteWholeFile(dir / ("many/a-file-with-a-long-name-" + std::to_string(i)), std::string("x"));
        }
        const std::string image = dir / "mac.iso";
        const std::string img = ShellQuote(image);
        ASSERT_TRUE(test::Succeeded(
            test::RunCommand(std::string(row.make) + " " + img + " " + ShellQuote(dir / "src") + " 2>&1")));
        const auto macView = [&] {
            return test::RunCommand("cd " + ShellQuote(dir.Path()) + " && HOME=" + ShellQuote(dir.Path()) + " IMG="
                                    + img + " sh -c " + ShellQuote(row.listing) + " 2>/dev/null").output;
        };
        const std::string before = macView();
        ASSERT_TRUE(test::Contains(before, "gamma.txt") && before.size() > 100000) << before;
        const struct {
            std::string command;
            std::string path; // a file our tree must give back afterwards, and its source
            std::string source;
        } steps[] = {
            {"add " + img + " " + ShellQuote(dir / "fill"), "/fill/f680", dir / "fill/f680"},
            {"rm " + img + " beta.bin", "/fill/f10", dir / "fill/f10"},
            {"add " + img + " " + ShellQuote(dir / "again.bin"), "/again.bin", dir / "again.bin"},
            {"compact " + img, "/fill/f300", dir / "fill/f300"},
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(step.command);
            const test::CommandResult done = test::RunCli(step.command);
            ASSERT_EQ(done.exitCode, 0) << done.output;
            EXPECT_TRUE(test::Contains(done.output, "volume for Macs")) << done.output;
            EXPECT_TRUE(macView() == before);
            EXPECT_EQ(test::RunCommand(test::CliLine("cat " + img + " " + step.path) + " | cmp - "
                                       + ShellQuote(step.source)).exitCode, 0);
        }
        const auto saved = test::ReadWholeFile(image);
        test::ExpectRefusals({{"add " + img + " " + ShellQuote(dir / "many"), 1, "keeps its files and catalog"}},
                             [&](const test::Refusal&) { EXPECT_TRUE(test::ReadWholeFile(image) == saved); });
    }
}

// Checksums of the whole image that other tools put in it, for media checks (as Fedora and RHEL install images carry)
// or in xorriso's tags: a save leaves them as they were and says that they no longer match, as their own checks find.
TEST(FidelityChecksums, ASaveSaysTheImagesChecksumsNoLongerMatch)
{
    TARVELIN_REQUIRE_TOOLS("genisoimage", "xorriso", "implantisomd5", "checkisomd5");
    const struct {
        const char* make;  // of $SRC into $IMG
        const char* check; // of $IMG; passes before the save, and after it when it still finds the old session
        bool failsAfter;
        const char* says;
    } rows[] = {
        {"genisoimage -quiet -R -J -o $IMG $SRC", "implantisomd5 $IMG && checkisomd5 $IMG", true,
         "media check of it fails until the checksum is implanted anew"},
        {"xorriso -as mkisofs -quiet --md5 -R -J -o $IMG $SRC", "xorriso -md5 on -indev $IMG -check_md5 FAILURE --",
         true, "xorriso's check of the image may report a mismatch or find no checksums of its files"},
        // xorriso's own layout: a session at 32, its descriptors copied to 16 with a tag of their own behind them.
        {"xorriso -md5 on -outdev $IMG -joliet on -map $SRC / -commit",
         "xorriso -md5 on -indev $IMG -check_md5 FAILURE --", false, "xorriso's check of the image may report"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.make);
        test::TempDir dir;
        fs::create_directories(dir / "src");
        test::WriteWholeFile(dir / "src/packages.bin", test::RandomBytes(3000000, 3)); // a tiny image fails its check
        const std::string img = ShellQuote(dir / "dvd.iso");
        const std::string check = "IMG=" + img + " sh -c " + ShellQuote(row.check) + " >/dev/null 2>&1";
        ASSERT_TRUE(test::Succeeded(test::RunCommand("IMG=" + img + " SRC=" + ShellQuote(dir / "src") + " sh -c "
                                                     + ShellQuote(row.make) + " && " + check)));
        const auto descriptor = [&] {
            const auto bytes = test::ReadWholeFile(dir / "dvd.iso");
            return std::vector<std::uint8_t>(bytes.begin() + 16 * 2048, bytes.begin() + 17 * 2048);
        };
        const auto before = descriptor();
        const test::CommandResult refused = test::RunCli("mkdir " + img + " missing/folder");
        EXPECT_FALSE(test::Contains(refused.output, "checksum")) << refused.output; // nothing saved, nothing said
        const test::CommandResult saved = test::RunCli("mkdir " + img + " isolinux");
        ASSERT_EQ(saved.exitCode, 0) << saved.output;
        EXPECT_TRUE(test::Contains(saved.output, row.says)) << saved.output;
        const auto after = descriptor();
        EXPECT_TRUE(std::equal(before.begin() + 883, before.begin() + 883 + 512, after.begin() + 883));
        EXPECT_EQ(test::RunCommand(check).exitCode != 0, row.failsAfter);
    }
}

} // namespace
} // namespace tarvelin
