#pragma once

// Apple HFS and HFS+ volumes that an image carries beside ISO 9660, for Macs.
//
// genisoimage -hfs writes an HFS volume from byte 0 of the image (its master
// directory block at byte 1024); xorriso -hfsplus and grub-mkrescue list an
// HFS+ volume in an Apple partition map. Either volume shares the file data
// of the ISO 9660 tree (its files point at the same sectors) and keeps its
// own catalog in sectors the ISO 9660 tree does not refer to.
//   Apple partition map  see hybrid_tables.h; an HFS+ volume's entry is of
//                        type "Apple_HFS".
//   HFS  "BD" at 1024: allocation blocks (u16 at 18), their size (u32 at 20),
//        where they start in 512-byte blocks (u16 at 28).
//   HFS+ "H+" (version 4) or "HX" (version 5) at 1024: block size (u32 at 40),
//        total blocks (u32 at 44), counted from the volume's start.

#include "platform/export.h"
#include "iso/iso9660.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvelin::iso {

struct MacVolume {
    bool plus = false;           // HFS+ (or HFSX) rather than HFS
    std::uint32_t partition = 0; // its entry in the Apple partition map; 0 when it starts at byte 0
    std::uint64_t first = 0;     // the byte where the volume starts in the image
    std::uint64_t end = 0;       // the byte behind its last allocation block

    // "HFS+ volume for Macs (Apple partition 3)"
    TARVELIN_API std::string Describe() const;
};

// The HFS and HFS+ volumes found from the image's first bytes; one whose
// header does not check out is none.
TARVELIN_API std::vector<MacVolume> FindMacVolumes(const SectorReader& read, std::uint32_t sectorCount);

} // namespace tarvelin::iso
