// The naming rule of temporary outputs and what an output does alike on every
// platform.

#include "platform/atomic_output.h"

#include "platform/path.h"

#include <cstdint>
#include <string>
#include <utility>

namespace tarvelin::platform {

namespace {

constexpr std::string_view kMarker = ".tarvelin-";
constexpr std::string_view kSuffix = ".part";
// Bytes of the final name kept in the temporary one: with the dot, the
// marker, 20 digits and the suffix it stays below the 255 bytes that file
// systems allow for a name.
constexpr std::size_t kKeptNameBytes = 200;

// The part of name a temporary name keeps: the name itself, or when that
// is longer than kKeptNameBytes its start, not ending inside a UTF-8
// sequence, and a hash of the whole name. The hash keeps apart the
// temporaries of long names that start alike (an extraction writes several
// files of one folder at once).
std::string KeptName(std::string_view name)
{
    if (name.size() <= kKeptNameBytes) {
        return std::string(name);
    }
    std::uint64_t hash = 0xcbf29ce484222325u; // FNV-1a
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    }
    constexpr std::size_t kHashDigits = 16;
    std::size_t end = kKeptNameBytes - 1 - kHashDigits;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    std::string kept(name.substr(0, end));
    kept += '~';
    for (std::size_t shift = 4 * kHashDigits; shift > 0; shift -= 4) {
        kept += "0123456789abcdef"[(hash >> (shift - 4)) & 0xF];
    }
    return kept;
}

} // namespace

std::string TemporaryNameFor(std::string_view name, std::uint64_t pid)
{
    std::string temporary = ".";
    temporary += KeptName(name);
    temporary += kMarker;
    temporary += std::to_string(pid);
    temporary += kSuffix;
    return temporary;
}

std::optional<std::uint64_t> TemporaryNameProcess(std::string_view fileName, std::string_view forName)
{
    if (fileName.size() < 1 + 1 + kMarker.size() + 1 + kSuffix.size() || fileName.front() != '.'
        || !fileName.ends_with(kSuffix)) {
        return std::nullopt;
    }
    std::string_view rest = fileName.substr(1, fileName.size() - 1 - kSuffix.size());
    std::size_t digits = 0;
    while (digits < rest.size() && rest[rest.size() - 1 - digits] >= '0' && rest[rest.size() - 1 - digits] <= '9') {
        ++digits;
    }
    // A process number: 1 to 10 digits without a leading zero.
    if (digits == 0 || digits > 10 || rest[rest.size() - digits] == '0') {
        return std::nullopt;
    }
    const std::string_view number = rest.substr(rest.size() - digits);
    rest.remove_suffix(digits);
    if (!rest.ends_with(kMarker)) {
        return std::nullopt;
    }
    rest.remove_suffix(kMarker.size());
    if (rest.empty() || (!forName.empty() && rest != KeptName(forName))) {
        return std::nullopt;
    }
    std::uint64_t pid = 0;
    for (const char digit : number) {
        pid = pid * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    return pid;
}

bool CopyToNewFile(const std::string& source, const std::string& target, std::string& error)
{
    File from;
    std::uint64_t length = 0;
    if (!from.Open(source, OpenMode::ReadShared) || !from.Length(length)) {
        error = "cannot read '" + source + "': " + from.LastError();
        return false;
    }
    AtomicOutput to;
    std::uint64_t copied = 0;
    if (!to.Open(target, ExistingOutput::Refuse) || !to.Stream().CopyFrom(from, length, copied) || copied != length
        || !to.Commit()) {
        error = "cannot copy to '" + target + "': " + (to.LastError().empty() ? from.LastError() : to.LastError());
        return false;
    }
    return true;
}

AtomicOutput::~AtomicOutput() { Discard(); }

AtomicOutput::AtomicOutput(AtomicOutput&& other) noexcept { *this = std::move(other); }

AtomicOutput& AtomicOutput::operator=(AtomicOutput&& other) noexcept
{
    if (this != &other) {
        Discard();
        file_ = std::move(other.file_);
        held_ = std::exchange(other.held_, -1);
        finalPath_ = std::move(other.finalPath_);
        existing_ = other.existing_;
        direct_ = other.direct_;
        lastError_ = std::move(other.lastError_);
    }
    return *this;
}

bool AtomicOutput::Fail(const std::string& why)
{
    lastError_ = why;
    return false;
}

} // namespace tarvelin::platform
