#pragma once

// Nero images (".nrg"). Such a file holds the disc's track data from its
// start and, behind the data, a chain of chunks that describes the disc,
// found through a footer in the file's last bytes. All numbers are
// big-endian.
//
//   footer, version 2:  "NER5", u64 file offset of the first chunk (last 12 bytes)
//   footer, version 1:  "NERO", u32 file offset of the first chunk (last 8 bytes)
//   chunk:              4-byte id, u32 body size, body
//
// Chunks this program knows (v2 id / v1 id):
//   CUEX / CUES  cue points, 8 bytes each: mode/control, track (BCD), index
//                (BCD), 0, then the point's sector as a signed 32-bit number
//                (CUEX) or as 0, minutes, seconds, frames of the disc's
//                address, 150 frames ahead of the sector (CUES). Track 0xAA
//                is the lead-out: its point is where the last track ends.
//   DAOX / DAOI  disc-at-once track list: u32 size, 14-byte catalog number,
//                TOC type (2 bytes), first track, last track (bytes 20, 21),
//                then per track: 12-byte ISRC, u16 bytes per stored sector,
//                mode and 2 more bytes, then the file offsets of index 0,
//                index 1 and the track's end (u64 each, or u32 each in DAOI).
//   ETN2 / ETNF  track-at-once track list, per track: file offset and length
//                in bytes (u64 each, or u32 each in ETNF), then mode, start
//                sector and more.
//   SINF         tracks in a session (u32), one chunk per session.
//   MTYP, CDTX   media type, CD-Text: nothing in them depends on lengths.
//   END!         ends the chain (empty body).
//
// The track data ends where the chain begins. When a save makes the one
// data track longer or shorter, the chain and footer move to its new end and
// only the numbers that state where the track ends change with it (the
// DAO end offset, the ETN length, the lead-out cue point, the footer's
// offset); every other byte of the chain stays as it was.

#include "core/iso_sector.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin::nrg {

// A number of the chain that follows the track's end.
struct TrackEndField {
    enum class Kind : std::uint8_t {
        Bytes,     // a file offset or byte length (u32 or u64)
        Sectors,   // a CUEX sector number (signed 32-bit)
        Msf,       // a CUES address: 0, minutes, seconds, frames
    };
    std::size_t at = 0;   // into Trailer::bytes
    std::uint32_t width = 0; // bytes of a Bytes number
    Kind kind = Kind::Bytes;
};

struct Trailer {
    int version = 0;               // 1 or 2, from the footer
    std::uint64_t chainOffset = 0; // where the first chunk starts: the end of the track data
    std::vector<std::uint8_t> bytes; // the chain and footer, to the end of the file
    // Why the chain cannot follow a change of the track's end; empty when it can.
    std::string unfit;
    std::uint32_t sectorSize = 0;  // bytes per stored sector of the track
    std::uint64_t trackStart = 0;  // file offset of the track's index 1 (its first sector)
    std::vector<TrackEndField> fields;
};

// The chain of a file that ends in a Nero footer; nothing for any other file,
// and for one whose footer points outside it. A chain with several tracks or
// sessions, chunks this program does not know, or numbers that disagree is
// read with its reason in unfit.
std::optional<Trailer> ReadTrailer(const LayoutReadFn& readAt, std::uint64_t fileLength);

// Sets trailer.unfit when the track it describes is not the one the volume
// was found in: its first sector's stored form starts at volumeStart, its
// sectors are sectorSize bytes.
void CheckTrack(Trailer& trailer, std::uint64_t volumeStart, std::uint32_t sectorSize);

// The chain and footer as they read once the track ends at newEnd (where
// they then start). Only for a trailer with an empty unfit, and a newEnd a
// whole number of sectors from the track's start. Empty when the chain's
// numbers cannot hold the new offsets (a version 1 chain beyond 4 GiB).
std::vector<std::uint8_t> MovedTrailer(const Trailer& trailer, std::uint64_t newEnd);

} // namespace tarvelin::nrg
