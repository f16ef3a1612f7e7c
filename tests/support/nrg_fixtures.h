#pragma once

// Nero images (".nrg") made from ISO images, the way Nero stores a one-track
// data disc: a 150-sector pregap of zeros, the volume's 2048-byte sectors,
// then the chunk chain (cue points, disc-at-once track list, session and
// media type) and the footer. Version 2 has 64-bit offsets and sector
// numbers as cue points ("NER5"), version 1 32-bit offsets and MSF cue
// points ("NERO").

#include <cstdint>
#include <string>
#include <vector>

namespace tarvelin::test {

inline constexpr std::uint64_t kNeroPregapBytes = 150 * 2048;

struct NeroOptions {
    int version = 2;
    // A disc-at-once list that says tracks 1 to 2 (with the one track's
    // entry): a chain a save cannot follow.
    bool claimTwoTracks = false;
};

// Writes the Nero image of the ISO image at isoPath to nrgPath.
void WrapIsoAsNero(const std::string& isoPath, const std::string& nrgPath, const NeroOptions& options = {});

// The bytes from the offset the footer names to the end of the file: the
// chunk chain and the footer; empty when the file ends in no footer.
std::vector<std::uint8_t> NeroChainOf(const std::string& nrgPath);

// What a Nero image made by WrapIsoAsNero says of its track after saves:
// where the chain starts, the track's end in the disc-at-once list, the
// lead-out cue point (a sector), and the chain with those numbers and the
// footer's offset zeroed (the bytes a save must leave alone). found is false
// when the file ends in no footer or the chain lacks those chunks.
struct NeroTrackEnd {
    bool found = false;
    std::uint64_t chainStart = 0;
    std::uint64_t trackEnd = 0;
    std::int64_t leadOut = 0;
    std::vector<std::uint8_t> rest;
};
NeroTrackEnd ReadNeroTrackEnd(const std::string& nrgPath);

} // namespace tarvelin::test
