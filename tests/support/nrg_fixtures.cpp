#include "support/nrg_fixtures.h"

#include "support/test_support.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace tarvelin::test {

namespace {

void PutBe(std::vector<std::uint8_t>& out, std::uint64_t value, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void PutChunk(std::vector<std::uint8_t>& out, std::string_view id, const std::vector<std::uint8_t>& body)
{
    out.insert(out.end(), id.begin(), id.end());
    PutBe(out, body.size(), 4);
    out.insert(out.end(), body.begin(), body.end());
}

// mode/control 0x41 (data track), track and index in BCD, then the sector
// (version 2) or the disc address 0, minutes, seconds, frames (version 1).
void PutCuePoint(std::vector<std::uint8_t>& out, int version, std::uint8_t track, std::uint8_t index,
                 std::int64_t sector)
{
    out.insert(out.end(), {0x41, track, index, 0});
    if (version == 2) {
        PutBe(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(sector)), 4);
        return;
    }
    const auto frames = static_cast<std::uint64_t>(sector + 150);
    out.insert(out.end(), {0, static_cast<std::uint8_t>(frames / 4500), static_cast<std::uint8_t>(frames / 75 % 60),
                           static_cast<std::uint8_t>(frames % 75)});
}

std::uint64_t ReadBe(const std::vector<std::uint8_t>& bytes, std::size_t at, int width)
{
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        value = (value << 8) | bytes[at + i];
    }
    return value;
}

std::vector<std::uint8_t> NeroChainIn(const std::vector<std::uint8_t>& bytes)
{
    const auto endsIn = [&](std::size_t footer, std::string_view id) {
        return bytes.size() >= footer
            && std::string_view(reinterpret_cast<const char*>(bytes.data()) + bytes.size() - footer, 4) == id;
    };
    std::uint64_t start = bytes.size();
    if (endsIn(12, "NER5")) {
        start = ReadBe(bytes, bytes.size() - 8, 8);
    } else if (endsIn(8, "NERO")) {
        start = ReadBe(bytes, bytes.size() - 4, 4);
    }
    if (start >= bytes.size()) {
        return {};
    }
    return {bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end()};
}

} // namespace

void WrapIsoAsNero(const std::string& isoPath, const std::string& nrgPath, const NeroOptions& options)
{
    const std::vector<std::uint8_t> iso = ReadWholeFile(isoPath);
    if (iso.size() % 2048 != 0) {
        throw std::runtime_error(isoPath + " is no whole number of sectors long");
    }
    const auto sectors = static_cast<std::int64_t>(iso.size() / 2048);
    const int width = options.version == 2 ? 8 : 4;
    std::vector<std::uint8_t> image(kNeroPregapBytes + iso.size(), 0);
    std::copy(iso.begin(), iso.end(), image.begin() + static_cast<std::ptrdiff_t>(kNeroPregapBytes));
    const std::uint64_t chainStart = image.size();

    std::vector<std::uint8_t> cues;
    PutCuePoint(cues, options.version, 0x00, 0x00, -150);
    PutCuePoint(cues, options.version, 0x01, 0x00, -150);
    PutCuePoint(cues, options.version, 0x01, 0x01, 0);
    PutCuePoint(cues, options.version, 0xAA, 0x01, sectors);

    std::vector<std::uint8_t> dao;
    PutBe(dao, 0, 4);                             // size, filled in below
    dao.insert(dao.end(), 14, 0);                 // catalog number
    dao.insert(dao.end(), {0x00, 0x00});          // TOC type: data, Mode 1
    dao.push_back(1);                             // first track
    dao.push_back(options.claimTwoTracks ? 2 : 1); // last track
    dao.insert(dao.end(), 12, 0);                 // ISRC
    PutBe(dao, 2048, 2);                          // bytes per stored sector
    dao.insert(dao.end(), {0x00, 0x00, 0x00, 0x01}); // mode (Mode 1, 2048 bytes) and 2 more bytes
    PutBe(dao, 0, width);                         // index 0: the pregap
    PutBe(dao, kNeroPregapBytes, width);          // index 1
    PutBe(dao, chainStart, width);                // the track's end
    for (int i = 0; i < 4; ++i) {
        dao[i] = static_cast<std::uint8_t>((dao.size() + 8) >> (24 - 8 * i));
    }

    std::vector<std::uint8_t> chain;
    PutChunk(chain, options.version == 2 ? "CUEX" : "CUES", cues);
    PutChunk(chain, options.version == 2 ? "DAOX" : "DAOI", dao);
    PutChunk(chain, "SINF", {0, 0, 0, 1});
    PutChunk(chain, "MTYP", {0, 0, 0, 1});
    PutChunk(chain, "END!", {});
    image.insert(image.end(), chain.begin(), chain.end());
    const std::string_view footer = options.version == 2 ? "NER5" : "NERO";
    image.insert(image.end(), footer.begin(), footer.end());
    PutBe(image, chainStart, width);
    WriteWholeFile(nrgPath, image);
}

std::vector<std::uint8_t> NeroChainOf(const std::string& nrgPath)
{
    return NeroChainIn(ReadWholeFile(nrgPath));
}

NeroTrackEnd ReadNeroTrackEnd(const std::string& nrgPath)
{
    NeroTrackEnd end;
    const std::vector<std::uint8_t> bytes = ReadWholeFile(nrgPath);
    end.rest = NeroChainIn(bytes);
    if (end.rest.empty()) {
        return end;
    }
    std::vector<std::uint8_t>& chain = end.rest;
    end.chainStart = bytes.size() - chain.size();
    const bool version2 = std::string_view(reinterpret_cast<const char*>(chain.data()) + chain.size() - 12, 4) == "NER5";
    const int width = version2 ? 8 : 4;
    std::fill(chain.end() - width, chain.end(), 0);
    bool cues = false;
    bool dao = false;
    for (std::size_t at = 0; at + 8 <= chain.size();) {
        const std::string_view id(reinterpret_cast<const char*>(chain.data()) + at, 4);
        const std::size_t body = at + 8;
        const auto size = static_cast<std::size_t>(ReadBe(chain, at + 4, 4));
        if (id == "END!" || body + size > chain.size()) {
            break;
        }
        if ((id == "CUEX" || id == "CUES") && size >= 8) {
            const std::size_t last = body + size - 4; // the lead-out is the last cue point
            end.leadOut = version2 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(ReadBe(chain, last, 4)))
                                   : (std::int64_t{chain[last + 1]} * 60 + chain[last + 2]) * 75 + chain[last + 3] - 150;
            std::fill(chain.begin() + static_cast<std::ptrdiff_t>(last), chain.begin() + static_cast<std::ptrdiff_t>(last) + 4, 0);
            cues = true;
        }
        if ((id == "DAOX" || id == "DAOI") && size == 22 + 18 + 3 * std::size_t(width)) {
            const std::size_t field = body + 22 + 18 + 2 * std::size_t(width);
            end.trackEnd = ReadBe(chain, field, width);
            std::fill(chain.begin() + static_cast<std::ptrdiff_t>(field),
                      chain.begin() + static_cast<std::ptrdiff_t>(field + width), 0);
            dao = true;
        }
        at = body + size;
    }
    end.found = cues && dao;
    return end;
}

} // namespace tarvelin::test
