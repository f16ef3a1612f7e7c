// The sources of both conversions: `bin2iso` reading an image of any
// layout, `iso2bin` reading a plain ISO, each converting it whole.
//
// A conversion that succeeds writes every logical sector (2048 bytes each
// for an ISO, 2352 for a BIN, and the BIN's CUE sheet); one that fails
// leaves nothing behind; and ISO -> BIN -> ISO gives the ISO back.

#include "fuzz_input.h"

#include "convert/bin2iso.h"
#include "convert/iso2bin.h"

#include <filesystem>
#include <fstream>
#include <vector>

using namespace tarvelin;

namespace {

constexpr std::uint64_t kRawSectorSize = 2352;

// In one read: a loop over the bytes would be instrumented, and slow.
std::vector<char> ReadWhole(const std::string& path)
{
    std::error_code error;
    std::vector<char> bytes(std::filesystem::file_size(path, error));
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fuzz::Expect(!error && in.gcount() == static_cast<std::streamsize>(bytes.size()), "an output reads back");
    return bytes;
}

bool Exists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// Converts source to a plain ISO at target; the ISO's bytes, or nothing
// when the conversion refused the source.
std::optional<std::vector<char>> ToIso(const std::string& source, const std::string& target)
{
    ComponentPtr<IBin2Iso> convert(Bin2ISO1());
    fuzz::Expect(convert.get() != nullptr, "the bin2iso component can be made");
    if (!convert->OpenSource(source.c_str())) {
        return std::nullopt;
    }
    fuzz::Expect(convert->OpenTarget(target.c_str()), "the ISO can be created");
    const bool converted = convert->Convert(nullptr, nullptr);
    fuzz::Expect(converted == Exists(target), "an ISO is left exactly when the conversion succeeded");
    if (!converted) {
        return std::nullopt;
    }
    std::vector<char> iso = ReadWhole(target);
    fuzz::Expect(iso.size() == std::uint64_t{convert->GetSectorCount()} * iso::kSectorSize,
                 "an ISO holds every logical sector");
    return iso;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fuzz::InputFolder& inputs = fuzz::Inputs();
    const std::string path = inputs.Write("image.img", data, size);
    const std::optional<std::vector<char>> iso = ToIso(path, inputs.Path("out.iso"));

    ComponentPtr<IIso2Bin> toBin(NEW_ISO2BIN1());
    fuzz::Expect(toBin.get() != nullptr, "the iso2bin component can be made");
    if (!toBin->OpenSource(path.c_str())) {
        return 0;
    }
    fuzz::Expect(iso.has_value(), "what iso2bin takes, bin2iso takes");
    const std::string bin = inputs.Path("out.bin");
    const std::string cue = inputs.Path("out.cue");
    fuzz::Expect(toBin->OpenTarget(bin.c_str()) && toBin->Start(nullptr, nullptr), "the BIN can be made");
    const bool converted = toBin->Wait();
    fuzz::Expect(converted == Exists(bin) && converted == Exists(cue),
                 "a BIN and its sheet are left exactly when the conversion succeeded");
    if (!converted) {
        return 0;
    }
    fuzz::Expect(std::filesystem::file_size(bin) == toBin->GetSectorCount() * kRawSectorSize,
                 "a BIN holds every logical sector");
    const std::string sheet = CueSheetText(bin);
    const std::vector<char> written = ReadWhole(cue);
    fuzz::Expect(std::string(written.begin(), written.end()) == sheet, "the sheet names the BIN");
    const std::optional<std::vector<char>> back = ToIso(cue, inputs.Path("back.iso"));
    fuzz::Expect(back == iso, "ISO -> BIN -> ISO gives the ISO back");
    return 0;
}
