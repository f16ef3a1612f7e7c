#pragma once
// Files that a Rock Ridge ZF entry marks as stored compressed (zisofs, as
// xorriso and mkzftree write them). The file's data in the image is:
//
//   offset  0  8 bytes magic 37 E4 53 96 C9 DB D6 07
//           8  the file's size, 32-bit little-endian
//          12  the header's length in 4-byte units (4)
//          13  log2 of the block size (15, 16 or 17)
//          14  2 bytes reserved
//   header     one 32-bit little-endian offset per block of the file, and
//              one more for the end: block i is the zlib stream (RFC 1950)
//              from offset i to offset i+1, or zeros where the two are equal.
//
// Every block but the last expands to the whole block size.

#include "iso/rock_ridge.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarvelin::iso {

// Reads count bytes of the stored (compressed) data from offset; false when
// the image cannot give them, the reader having said why.
using StoredDataReader = std::function<bool(std::uint64_t offset, std::uint8_t* out, std::uint32_t count)>;

// Expands byte ranges of compressed files. The block table and the last
// block expanded are kept for the next read of the same file, so reading a
// file front to back expands each block once.
class ZisofsExpander {
public:
    // Fills out with bytes [offset, offset + count) of the file as it was
    // before compression; file names the file for the cache (its extent).
    // False with problem set when the stored data does not check out; false
    // with problem empty when read failed.
    bool Read(std::uint64_t file, const ZisofsInfo& info, std::uint64_t storedSize, const StoredDataReader& read,
              std::uint64_t offset, std::uint8_t* out, std::uint32_t count, std::string& problem);

private:
    bool LoadTable(const ZisofsInfo& info, std::uint64_t storedSize, const StoredDataReader& read,
                   std::string& problem);
    bool LoadBlock(const ZisofsInfo& info, const StoredDataReader& read, std::uint32_t block, std::string& problem);

    std::uint64_t file_ = ~std::uint64_t{0};
    std::vector<std::uint32_t> offsets_;   // per block, and the end
    std::uint32_t block_ = ~std::uint32_t{0}; // which block expanded_ holds
    std::vector<std::uint8_t> expanded_;
    std::vector<std::uint8_t> packed_;
};

// Expands one zlib stream (RFC 1950 around RFC 1951 deflate data) into
// exactly out.size() bytes, its Adler-32 checked. Returns what is wrong with
// the stream, empty when it expanded whole.
TARVELIN_API std::string InflateZlib(ConstBytes in, std::span<std::uint8_t> out);

} // namespace tarvelin::iso
