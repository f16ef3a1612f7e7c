// Layout detection and CUE sheets: the probes that tell a plain ISO, raw
// 2352-byte sectors and a volume behind a header or in sectors of another
// size apart, and the CUE sheet that names the data file.
//
// The first byte of an input says how the rest is opened. Even: the rest is
// the image file. Odd: the rest up to its first NUL is a CUE sheet (named
// "image.cue", or "image.CUE" when bit 1 is set too) and what follows the
// NUL is "data.bin" beside it. A sheet holding a '/' is passed over: the
// name it gives is then a path of its own and could reach any file.
//
// The image reader and the converters' source detect the layout each on
// its own (one through the image file, one through a mapping); both must
// open the same images and find the same layout and the same sectors.

#include "fuzz_input.h"

#include "convert/bin2iso.h"
#include "core/image_file.h"
#include "core/iso_sector.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

using namespace tarvelin;

namespace {

// Sectors compared: the system area, the descriptors and a few behind them,
// and the last one.
constexpr std::uint32_t kComparedSectors = 40;
using Sector = std::array<std::uint8_t, iso::kSectorSize>;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const fuzz::InputFolder& inputs = fuzz::Inputs();
    const std::uint8_t selector = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string path;
    if ((selector & 1) == 0) {
        path = inputs.Write("image.bin", data + 1, rest.size());
    } else {
        const std::size_t end = std::min(rest.find('\0'), rest.size());
        const std::string_view sheet = rest.substr(0, end);
        if (sheet.find('/') != std::string_view::npos) {
            return 0;
        }
        const std::string_view image = end < rest.size() ? rest.substr(end + 1) : std::string_view();
        const bool upper = (selector & 2) != 0;
        // The folder holds this input's files alone, whatever the sheet names.
        inputs.Remove("image.bin");
        inputs.Remove(upper ? "image.cue" : "image.CUE");
        inputs.Write("data.bin", reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
        path = inputs.Write(upper ? "image.CUE" : "image.cue", reinterpret_cast<const std::uint8_t*>(sheet.data()),
                            sheet.size());
    }

    // One after the other: an image open in the reader is held exclusively.
    std::string readerError;
    ImageLayout layout;
    LayoutProbe probe = LayoutProbe::None;
    std::uint32_t count = 0;
    std::vector<std::uint32_t> numbers;
    std::vector<std::optional<Sector>> read; // nothing for a sector the reader refused
    {
        ComponentPtr<IIsoSector> sectors(Sector1());
        fuzz::Expect(sectors.get() != nullptr, "the sector component can be made");
        if (sectors->Open(path.c_str())) {
            layout = sectors->GetLayout();
            probe = sectors->GetLayoutProbe();
            count = sectors->GetSectorCount();
            (void)sectors->GetTrackMode();
            for (std::uint32_t sector = 0; sector < std::min(count, kComparedSectors); ++sector) {
                numbers.push_back(sector);
            }
            if (count > 0) {
                numbers.push_back(count - 1);
                numbers.push_back(count); // behind the end: zeros
            }
            for (const std::uint32_t sector : numbers) {
                Sector bytes{};
                read.push_back(sectors->ReadSector(sector, bytes.data()) ? std::optional(bytes) : std::nullopt);
            }
        } else {
            readerError = sectors->GetLastError();
            fuzz::Expect(!readerError.empty(), "a failed open says why");
        }
    }
    ComponentPtr<IBin2IsoSectorFile> source(NEW_ISOSECTORFILE_BIN2ISO());
    fuzz::Expect(source.get() != nullptr, "the converter's source can be made");
    const bool opened = source->OpenSource(path.c_str());
    fuzz::Expect(opened == readerError.empty(), "the image reader and the converters open the same images");
    if (!opened) {
        fuzz::Expect(*source->GetLastError() != '\0', "a failed open says why");
        return 0;
    }
    const ImageLayout found = source->GetLayout();
    fuzz::Expect(probe == source->GetLayoutProbe() && layout.baseOffset == found.baseOffset
                     && layout.firstSector == found.firstSector && layout.sectorSize == found.sectorSize
                     && layout.dataOffset == found.dataOffset && layout.tailSize == found.tailSize,
                 "both find the same layout");
    fuzz::Expect(layout.sectorSize >= iso::kSectorSize
                     && layout.dataOffset + iso::kSectorSize + layout.tailSize == layout.sectorSize,
                 "a layout's sectors hold their user data");
    fuzz::Expect(count == source->GetSectorCount(), "both count the same sectors");
    Sector bytes{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        fuzz::Expect(source->ReadSector(numbers[i], bytes.data()), "the converters read every sector");
        // The image reader refuses sectors before the start of the file; the
        // converters read them as zeros.
        if (read[i]) {
            fuzz::Expect(*read[i] == bytes, "both read the same user data");
        } else {
            fuzz::Expect(UserDataStart(layout, numbers[i]) < 0, "only sectors before the file cannot be read");
        }
    }
    return 0;
}
