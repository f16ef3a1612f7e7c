#include "core/image_file.h"

#include "core/image_journal.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/path.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin {

namespace {

// A CUE sheet is a few lines of text; anything longer is not a sheet worth
// reading to its end, and its FILE line is at the top anyway.
constexpr std::size_t kMaxCueSheetBytes = 64 * 1024;

bool IsCueSheetPath(std::string_view path)
{
    // Only these two spellings: a ".Cue" file is opened as an image itself.
    const std::string_view extension = platform::ExtensionOf(path);
    return extension == ".cue" || extension == ".CUE";
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The first word of a line, compared without regard to case.
bool StartsWithKeyword(std::string_view line, std::string_view keyword)
{
    if (line.size() < keyword.size()) {
        return false;
    }
    for (std::size_t i = 0; i < keyword.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) != keyword[i]) {
            return false;
        }
    }
    return line.size() == keyword.size() || IsBlank(line[keyword.size()]);
}

std::string_view TrimmedLeft(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

// A UTF-8 byte order mark in front of a sheet's first line is not part of
// that line: its size, 0 when there is none.
std::size_t ByteOrderMarkSize(std::string_view sheet) { return sheet.starts_with("\xEF\xBB\xBF") ? 3 : 0; }

// The lines of a sheet behind its byte order mark, one after the other,
// each without the blanks in front.
class CueLines {
public:
    explicit CueLines(std::string_view sheet) : rest_(sheet.substr(ByteOrderMarkSize(sheet))) {}

    std::optional<std::string_view> Next()
    {
        if (rest_.empty()) {
            return std::nullopt;
        }
        const std::size_t end = rest_.find_first_of("\r\n");
        const std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return TrimmedLeft(line);
    }

private:
    std::string_view rest_;
};

// The file name of a FILE line's rest: the text in double quotes, or the
// text in front of the last blank-delimited word (the file type; the only
// word where there is no type). Empty when there is none. type, when given,
// gets the file type: the word behind the name (empty when there is none).
std::string FileNameOfCueEntry(std::string_view rest, std::string_view* type = nullptr)
{
    std::size_t start = 0;
    while (start < rest.size() && IsBlank(rest[start])) {
        ++start;
    }
    rest.remove_prefix(start);
    while (!rest.empty() && IsBlank(rest.back())) {
        rest.remove_suffix(1);
    }
    if (type != nullptr) {
        *type = {};
    }
    if (rest.empty()) {
        return {};
    }
    if (rest.front() == '"') {
        const std::size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) {
            return {};
        }
        if (type != nullptr) {
            *type = TrimmedLeft(rest.substr(close + 1));
        }
        return std::string(rest.substr(1, close - 1));
    }
    // Unquoted, the name runs up to the file type, the line's last word:
    // sheets written by hand or by older tools leave a name with blanks
    // ("FILE My Disc.bin BINARY") unquoted.
    std::size_t typeStart = rest.size();
    while (typeStart > 0 && !IsBlank(rest[typeStart - 1])) {
        --typeStart;
    }
    std::size_t end = typeStart;
    while (end > 0 && IsBlank(rest[end - 1])) {
        --end;
    }
    if (end == 0) {
        return std::string(rest);
    }
    if (type != nullptr) {
        *type = rest.substr(typeStart);
    }
    return std::string(rest.substr(0, end));
}

// The name of the first FILE entry of a sheet (empty when the entry names
// none); nothing when the sheet has no FILE entry.
std::optional<std::string> FirstCueFileName(std::string_view sheet)
{
    CueLines lines(sheet);
    while (const std::optional<std::string_view> line = lines.Next()) {
        if (StartsWithKeyword(*line, "FILE")) {
            return FileNameOfCueEntry(line->substr(4));
        }
    }
    return std::nullopt;
}

// How many TRACK entries a sheet has.
std::size_t CueTrackCount(std::string_view sheet)
{
    CueLines lines(sheet);
    std::size_t tracks = 0;
    while (const std::optional<std::string_view> line = lines.Next()) {
        tracks += StartsWithKeyword(*line, "TRACK");
    }
    return tracks;
}

// mm:ss:ff (75 frames a second) as a frame count; nothing when malformed.
std::optional<std::uint64_t> CueFrames(std::string_view text)
{
    std::uint64_t parts[3] = {};
    for (std::uint64_t& part : parts) {
        std::size_t digits = 0;
        while (digits < text.size() && digits < 6 && text[digits] >= '0' && text[digits] <= '9') {
            part = part * 10 + static_cast<std::uint64_t>(text[digits] - '0');
            ++digits;
        }
        if (digits == 0) {
            return std::nullopt;
        }
        text.remove_prefix(digits);
        if (&part != &parts[2]) {
            if (text.empty() || text.front() != ':') {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
    }
    if (parts[1] >= 60 || parts[2] >= 75) {
        return std::nullopt;
    }
    return (parts[0] * 60 + parts[1]) * 75 + parts[2];
}

// Bytes a stored sector of a track of this type takes in its file; 0 for
// a type not known.
std::uint64_t CueTrackSectorBytes(std::string_view type)
{
    if (StartsWithKeyword(type, "AUDIO")) {
        return 2352;
    }
    if (StartsWithKeyword(type, "CDG")) {
        return 2448; // audio with its subchannel
    }
    const std::size_t slash = type.find('/');
    std::uint64_t bytes = 0;
    for (std::size_t i = slash == std::string_view::npos ? type.size() : slash + 1;
         i < type.size() && type[i] >= '0' && type[i] <= '9' && bytes < 100000; ++i) {
        bytes = bytes * 10 + static_cast<std::uint64_t>(type[i] - '0');
    }
    return bytes;
}

// Whether two entries start with the same word, compared without regard to case.
bool SameCueWord(std::string_view a, std::string_view b)
{
    const auto word = [](std::string_view text) { return text.substr(0, text.find_first_of(" \t\r\n")); };
    a = word(a);
    b = word(b);
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

bool IsCueDataTrackType(std::string_view type)
{
    return type.size() > 6 && (StartsWithKeyword(type.substr(0, 5), "MODE1") || StartsWithKeyword(type.substr(0, 5), "MODE2"))
           && type[5] == '/';
}

// The first data track of a sheet. INDEX positions count sectors of the
// file from its start, each of the size of the track it belongs to (a
// track's pregap, INDEX 00, is already its own); so a position is turned
// into bytes track by track. Nothing when the sheet has no data track or
// cannot be followed up to its start.
std::optional<CueDataTrack> FirstDataTrackOfSheet(std::string_view sheet)
{
    CueLines lines(sheet);
    enum class Looking { ForData, ForStart, ForNextTrack, ForNextIndex };
    Looking looking = Looking::ForData;
    CueDataTrack data;
    std::string fileName;
    bool inFile = false;
    std::uint32_t files = 0;
    // Gaps the sheet adds on the disc but the file does not hold, up to
    // the data track's INDEX 01.
    std::uint64_t unstoredFrames = 0;
    // The present track of the file: its sector size and, from its first
    // INDEX on, where it starts (as sector and as byte of the file).
    std::uint64_t sectorBytes = 0;
    bool started = false; // whether the track had an INDEX yet
    std::uint64_t firstSector = 0;
    std::uint64_t firstByte = 0;
    // Where the track before it in the same file started, and its sector size.
    bool previousStarted = false; // whether that track had an INDEX
    std::uint64_t previousFirstSector = 0;
    std::uint64_t previousFirstByte = 0;
    std::uint64_t previousSectorBytes = 0;
    std::string_view dataType; // as the data track's TRACK entry gives it
    while (const std::optional<std::string_view> next = lines.Next()) {
        const std::string_view line = *next;
        if (StartsWithKeyword(line, "FILE")) {
            if (looking == Looking::ForStart) {
                // The data track's pregap ends the file before it (a ripper
                // that appends gaps to the track in front): its INDEX 01
                // lies in this file, which holds the track from then on.
                data.fileName = FileNameOfCueEntry(line.substr(4));
                ++files;
                started = false;
                previousStarted = false;
                continue;
            }
            if (looking != Looking::ForData) {
                break; // the data track runs to the end of its file
            }
            fileName = FileNameOfCueEntry(line.substr(4));
            inFile = true;
            ++files;
            started = false;
            sectorBytes = 0;
        } else if (StartsWithKeyword(line, "TRACK") && inFile) {
            // TRACK nn TYPE
            const std::string_view rest = TrimmedLeft(line.substr(5));
            const std::size_t numberEnd = rest.find_first_of(" \t");
            const std::string_view type =
                numberEnd == std::string_view::npos ? std::string_view() : TrimmedLeft(rest.substr(numberEnd));
            if (looking == Looking::ForStart) {
                return std::nullopt; // a data track without an INDEX 01
            }
            // A further track of the data track's own type (the video tracks
            // of a Video CD, whose files the volume lists) continues it.
            if (looking == Looking::ForNextTrack && !SameCueWord(type, dataType)) {
                looking = Looking::ForNextIndex;
            }
            previousStarted = started;
            previousFirstSector = firstSector;
            previousFirstByte = firstByte;
            previousSectorBytes = sectorBytes;
            started = false;
            sectorBytes = CueTrackSectorBytes(type);
            if (looking == Looking::ForData && sectorBytes == 0) {
                return std::nullopt; // no telling where the tracks behind it start
            }
            if (looking == Looking::ForData && IsCueDataTrackType(type)) {
                looking = Looking::ForStart;
                data.fileName = fileName;
                dataType = type;
            }
        } else if ((StartsWithKeyword(line, "PREGAP") || StartsWithKeyword(line, "POSTGAP")) && inFile
                   && (looking == Looking::ForData || looking == Looking::ForStart)) {
            const std::string_view keyword = StartsWithKeyword(line, "PREGAP") ? "PREGAP" : "POSTGAP";
            unstoredFrames += CueFrames(TrimmedLeft(line.substr(keyword.size()))).value_or(0);
        } else if (StartsWithKeyword(line, "INDEX") && inFile) {
            // INDEX nn mm:ss:ff
            const std::string_view rest = TrimmedLeft(line.substr(5));
            const std::size_t numberEnd = rest.find_first_of(" \t");
            if (numberEnd == std::string_view::npos) {
                return std::nullopt;
            }
            const std::optional<std::uint64_t> sector = CueFrames(TrimmedLeft(rest.substr(numberEnd)));
            if (!sector) {
                return std::nullopt;
            }
            if (!started) {
                // The track's first INDEX ends the track before it.
                if (!previousStarted) {
                    firstByte = *sector * sectorBytes;
                } else if (*sector >= previousFirstSector) {
                    firstByte = previousFirstByte + (*sector - previousFirstSector) * previousSectorBytes;
                } else {
                    return std::nullopt;
                }
                firstSector = *sector;
                started = true;
                if (looking == Looking::ForNextIndex) {
                    // A track said to start where the data track does, or
                    // ahead of it, leaves no data track to follow.
                    if (firstByte <= data.start) {
                        return std::nullopt;
                    }
                    data.end = firstByte;
                    return data;
                }
            }
            if (*sector < firstSector) {
                return std::nullopt;
            }
            const std::string_view number = rest.substr(0, numberEnd);
            if (looking == Looking::ForStart && (number == "01" || number == "1")) {
                data.start = firstByte + (*sector - firstSector) * sectorBytes;
                // A first file starts the disc: its frames are disc sectors.
                if (files == 1 && *sector + unstoredFrames <= std::numeric_limits<std::uint32_t>::max()) {
                    data.discSector = static_cast<std::uint32_t>(*sector + unstoredFrames);
                }
                looking = Looking::ForNextTrack;
            }
        }
    }
    if (looking == Looking::ForNextTrack || looking == Looking::ForNextIndex) {
        return data;
    }
    return std::nullopt;
}

std::atomic<ImageWriteFaultHook> writeFaultHook{nullptr};

// The text of a CUE sheet, up to the most a sheet can sensibly hold.
std::optional<std::string> ReadCueSheet(const std::string& path, std::string& error)
{
    platform::File sheetFile;
    if (!sheetFile.Open(path, platform::OpenMode::ReadOnly)) {
        error = sheetFile.LastError();
        return std::nullopt;
    }
    std::string text(kMaxCueSheetBytes, '\0');
    text.resize(sheetFile.Read(text.data(), text.size()));
    return text;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The path of name below folder (empty: the current folder) where each part
// of name that does not exist as spelled is the one entry of its folder
// whose name differs from it in case alone. Nothing when a part has no
// such entry; nothing, with error set, when several match.
std::optional<std::string> FindIgnoringCase(const std::string& folder, std::string_view name, std::string& error)
{
    std::string at = folder;
    while (!name.empty()) {
        std::size_t end = 0;
        while (end < name.size() && !platform::IsPathSeparator(name[end])) {
            ++end;
        }
        const std::string_view part = name.substr(0, end);
        name.remove_prefix(std::min(end + 1, name.size()));
        if (part.empty()) {
            // A root, or doubled separators.
            if (at.empty() || !platform::IsPathSeparator(at.back())) {
                at += platform::PathSeparator();
            }
            continue;
        }
        std::string exact = at + std::string(part);
        if (platform::PathExists(exact)) {
            at = std::move(exact);
        } else {
            platform::DirectorySearch search;
            std::vector<std::string> matches;
            if (search.Open(at.empty() ? std::string(".") : at)) {
                platform::FileInfo info;
                while (search.Next(info)) {
                    if (EqualIgnoringCase(info.name, part)) {
                        matches.push_back(info.name);
                    }
                }
            }
            if (matches.empty()) {
                return std::nullopt;
            }
            if (matches.size() > 1) {
                std::sort(matches.begin(), matches.end());
                error = "several files match '" + std::string(part) + "' but for case (";
                for (std::size_t i = 0; i < matches.size(); ++i) {
                    error += (i > 0 ? ", " : "") + matches[i];
                }
                error += ") in '" + (at.empty() ? std::string(".") : at) + "'";
                return std::nullopt;
            }
            at += matches.front();
        }
        if (!name.empty()) {
            at += platform::PathSeparator();
        }
    }
    return at;
}

} // namespace

void SetImageWriteFaultHook(ImageWriteFaultHook hook) { writeFaultHook.store(hook); }

bool ResolveImagePath(const std::string& path, std::string& dataPath, std::string& error)
{
    dataPath = path;
    if (!IsCueSheetPath(path)) {
        return true;
    }
    const std::optional<std::string> sheet = ReadCueSheet(path, error);
    if (!sheet) {
        return false;
    }
    // The file of the first data track; the first file when no track says
    // it holds data.
    const std::optional<CueDataTrack> dataTrack = FirstDataTrackOfSheet(*sheet);
    const std::optional<std::string> entry = dataTrack ? dataTrack->fileName : FirstCueFileName(*sheet);
    if (!entry) {
        error = "the CUE sheet '" + path + "' has no FILE entry";
        return false;
    }
    if (entry->empty()) {
        error = "the FILE entry of the CUE sheet '" + path + "' names no file";
        return false;
    }
    // A relative name ("disc.bin", "data/disc.bin") lies below the sheet's
    // folder, wherever the program runs: the sheet's path up to and
    // including its last separator, followed by the name.
    const std::string_view sheetName = platform::FileNameOf(path);
    const std::string sheetFolder = path.substr(0, path.size() - sheetName.size());
    const auto place = [&](const std::string& name) {
        return platform::HasRoot(name) ? name : sheetFolder + name;
    };
    dataPath = place(*entry);
    if (platform::PathExists(dataPath)) {
        return true;
    }
    // Sheets are mostly written on Windows: "Sub\Disc.BIN" for the file
    // sub/disc.bin.
    const std::string name = platform::PathFromWindows(*entry);
    dataPath = place(name);
    if (platform::PathExists(dataPath)) {
        return true;
    }
    std::string ambiguity;
    const std::optional<std::string> found =
        FindIgnoringCase(platform::HasRoot(name) ? std::string() : sheetFolder, name, ambiguity);
    if (!ambiguity.empty()) {
        error = "the CUE sheet '" + path + "' names '" + *entry + "', and " + ambiguity;
        return false;
    }
    if (found) {
        dataPath = *found;
    }
    return true;
}

std::optional<CueDataTrack> CueDataTrackOf(const std::string& path)
{
    if (!IsCueSheetPath(path)) {
        return std::nullopt;
    }
    std::string error;
    const std::optional<std::string> sheet = ReadCueSheet(path, error);
    return sheet ? FirstDataTrackOfSheet(*sheet) : std::nullopt;
}

bool CueSheetListsFurtherTracks(const std::string& path)
{
    if (!IsCueSheetPath(path)) {
        return false;
    }
    std::string error;
    const std::optional<std::string> sheet = ReadCueSheet(path, error);
    return sheet && CueTrackCount(*sheet) > 1;
}

std::string UnfollowedCueSheetWarning(const std::string& path)
{
    if (!IsCueSheetPath(path) || CueDataTrackOf(path)) {
        return {};
    }
    return "the CUE sheet '" + path + "' names no data track, or none that can be followed: its first file was read"
           " whole, and the volume was found by what it holds";
}

std::string DataTrackBeyondEnd(const std::optional<CueDataTrack>& track, const std::string& dataPath,
                               std::uint64_t fileLength)
{
    if (!track || track->start < fileLength) {
        return {};
    }
    return "the CUE sheet puts its data track at byte " + std::to_string(track->start) + " of '" + dataPath
           + "', which ends at byte " + std::to_string(fileLength) + ": the file is shorter than the sheet says";
}

std::optional<std::string> CueSheetForCopy(const std::string& path, std::string_view newDataName)
{
    std::string error;
    std::optional<std::string> sheet = IsCueSheetPath(path) ? ReadCueSheet(path, error) : std::nullopt;
    if (!sheet) {
        return std::nullopt;
    }
    std::string_view rest = *sheet;
    std::string copy(rest.substr(0, ByteOrderMarkSize(rest)));
    rest.remove_prefix(copy.size());
    int files = 0;
    while (!rest.empty()) {
        const std::size_t end = rest.find_first_of("\r\n");
        const std::string_view line = rest.substr(0, end);
        const std::string_view ending =
            end == std::string_view::npos ? std::string_view() : rest.substr(end, rest.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        rest.remove_prefix(line.size() + ending.size());
        const std::string_view entry = TrimmedLeft(line);
        if (!StartsWithKeyword(entry, "FILE")) {
            copy.append(line).append(ending);
            continue;
        }
        if (++files > 1) {
            return std::nullopt;
        }
        std::string_view type;
        FileNameOfCueEntry(entry.substr(4), &type);
        copy.append(line.substr(0, line.size() - entry.size()))
            .append("FILE \"")
            .append(newDataName)
            .append("\" ")
            .append(type.empty() ? std::string_view("BINARY") : type)
            .append(ending);
    }
    if (files != 1) {
        return std::nullopt;
    }
    return copy;
}

class CImageFile final : public IImageFile {
public:
    bool Reserved() override { return true; }

    ~CImageFile() override
    {
        // A save still open here was abandoned; the image goes back to what
        // it was (and if even that fails, the journal stays for the next
        // open).
        if (journal_.Active()) {
            journal_.Rollback();
        }
    }

    bool Open(const char* path) override
    {
        if (journal_.Active()) {
            journal_.Rollback();
        }
        recovered_ = false;
        file_.Close();
        lastError_.clear();
        path_.clear();
        if (path == nullptr || *path == '\0') {
            lastError_ = "no image file named";
            return false;
        }
        std::string dataPath;
        if (!ResolveImagePath(path, dataPath, lastError_)) {
            return false;
        }
        // Read-write so that an edited image can be saved in place; an image
        // that may not be written (read-only file or medium) can still be
        // browsed and extracted from. Neither mode creates a missing file.
        readOnlyReason_.clear();
        if (!file_.Open(dataPath, platform::OpenMode::ReadWrite)) {
            readOnlyReason_ = file_.LastReason().empty() ? file_.LastError() : file_.LastReason();
        }
        if (!file_.IsOpen() && !file_.Open(dataPath, platform::OpenMode::ReadOnly)) {
            lastError_ = file_.LastError();
            if (dataPath != path) {
                lastError_ += " (named by the CUE sheet '" + std::string(path) + "')";
            }
            return false;
        }
        std::string recoveryError;
        if (!ImageJournal::Recover(dataPath, file_, recovered_, recoveryError)) {
            file_.Close();
            lastError_ = recoveryError;
            return false;
        }
        path_ = dataPath;
        return true;
    }

    bool SeekToEnd() override { return Check(file_.SeekToEnd()); }
    bool Seek(std::uint64_t position) override { return Check(file_.Seek(position)); }

    std::uint32_t Read(void* buffer, std::uint32_t count) override
    {
        return static_cast<std::uint32_t>(file_.Read(buffer, count));
    }

    std::uint32_t ReadAt(std::uint64_t position, void* buffer, std::uint32_t count) override
    {
        if (!Seek(position)) {
            return 0;
        }
        return Read(buffer, count);
    }

    std::uint64_t GetLength() override
    {
        std::uint64_t length = 0;
        return file_.Length(length) ? length : 0;
    }

    bool Write(const void* buffer, std::uint32_t count) override
    {
        return MayWrite(file_.Position(), count) && Check(file_.Write(buffer, count));
    }

    bool WriteAt(std::uint64_t position, const void* buffer, std::uint32_t count) override
    {
        return MayWrite(position, count) && Check(file_.WriteAt(position, buffer, count));
    }

    bool Flush() override { return Check(file_.Flush()); }
    bool IsReadOnly() override { return file_.IsOpen() && !file_.IsWritable(); }
    const char* GetReadOnlyReason() override { return IsReadOnly() ? readOnlyReason_.c_str() : ""; }
    const char* GetPath() override { return path_.c_str(); }
    const char* GetLastError() override { return lastError_.c_str(); }

    bool BeginSave() override
    {
        if (journal_.Active()) {
            return Fail("a save of this image is already under way");
        }
        if (!file_.IsOpen()) {
            return Fail("no image file is open");
        }
        if (!file_.IsWritable()) {
            return Fail("'" + path_ + "' can only be read (" + readOnlyReason_ + "); it cannot be saved");
        }
        return journal_.Begin(file_) || Fail(journal_.LastError());
    }

    bool CommitSave() override { return journal_.Commit() || Fail(journal_.LastError()); }
    bool RollbackSave() override { return journal_.Rollback() || Fail(journal_.LastError()); }
    bool IsSaving() override { return journal_.Active(); }
    bool ForgoUndo(std::uint64_t position, std::uint64_t count) override
    {
        return journal_.Forgo(position, count) || Fail(journal_.LastError());
    }
    bool ProtectAhead(std::uint64_t position, std::uint64_t count) override
    {
        return journal_.ProtectAhead(position, count) || Fail(journal_.LastError());
    }
    bool Truncate(std::uint64_t length) override
    {
        if (journal_.Active()) {
            return Fail("the image cannot be cut while a save of it is under way");
        }
        return Check(file_.Truncate(length));
    }
    bool WasRecovered() override { return recovered_; }

private:
    bool Fail(const std::string& why)
    {
        lastError_ = why;
        return false;
    }

    // The test hook may refuse the write; during a save the bytes it
    // replaces are kept first.
    bool MayWrite(std::uint64_t position, std::uint32_t count)
    {
        const ImageWriteFaultHook hook = writeFaultHook.load();
        if (hook != nullptr && !hook()) {
            return Fail("cannot write '" + path_ + "': write fault injected by a test");
        }
        if (journal_.Active() && !journal_.Protect(position, count)) {
            return Fail(journal_.LastError());
        }
        return true;
    }

    bool Check(bool succeeded)
    {
        if (!succeeded) {
            lastError_ = file_.LastError().empty() ? "no image file is open" : file_.LastError();
        }
        return succeeded;
    }

    platform::File file_;
    ImageJournal journal_;
    bool recovered_ = false;
    std::string path_;
    std::string readOnlyReason_;
    std::string lastError_;
};

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CImageFile, tarvelin::IImageFile, RwFile1, RwFile2)
