#pragma once

// Builders of real test images: a folder tree, an ISO made from it by a peer
// tool, and the other stored forms of the same sectors (raw Mode 1, raw
// Mode 2 Form 1, 2336-byte sectors, images behind a header).

#include <cstdint>
#include <string>
#include <vector>

namespace tarvelin::test {

inline constexpr std::size_t kLogicalSectorSize = 2048;

// Writes nested folders with files of assorted sizes (empty, a few bytes,
// several sectors, one not a multiple of 2048) under root, which must exist.
// The contents follow from seed.
void MakeFolderTree(const std::string& root, std::uint32_t seed = 1);

// Runs genisoimage (Rock Ridge and Joliet) on folder; throws with the tool's
// output when it fails. extraOptions go on the command line as they stand.
void MakeIsoWithGenisoimage(const std::string& folder, const std::string& isoPath,
                            const std::string& extraOptions = "");

enum class RawForm { Mode1, Mode2Form1 };

// Each 2048-byte sector of plain (the last one padded with zeros), encoded
// as a raw 2352-byte sector numbered from firstLba by the independent
// reference encoder.
std::vector<std::uint8_t> EncodeRawImage(const std::vector<std::uint8_t>& plain, RawForm form,
                                         std::uint32_t firstLba = 0);
void MakeRawBin(const std::string& isoPath, const std::string& binPath, RawForm form);

// Each sector stored as 2336 bytes: the Mode 2 Form 1 subheader, the 2048
// user bytes and a 280-byte tail (EDC and parity in a real image; a fixed
// filler here, as readers take it for opaque).
std::vector<std::uint8_t> EncodeMode2Sectors2336(const std::vector<std::uint8_t>& plain);

// A file of the given length that holds bytes at offset 0 and is otherwise a
// hole (sparse: costs no disk).
void WriteSparseFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::uint64_t length);

// count bytes of the file from offset (fewer at its end).
std::vector<std::uint8_t> ReadFileRange(const std::string& path, std::uint64_t offset, std::size_t count);

} // namespace tarvelin::test
