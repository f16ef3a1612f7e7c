// Expanding zisofs files: the block table, and a deflate decoder (RFC 1950
// and 1951) written for it. The decoder trusts nothing of its input: every
// code set is checked for over-subscription, every distance against what
// has been produced, and no block may expand past its end.

#include "iso/zisofs.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tarvelin::iso {

namespace {

constexpr std::uint8_t kMagic[8] = {0x37, 0xE4, 0x53, 0x96, 0xC9, 0xDB, 0xD6, 0x07};
constexpr std::size_t kHeaderSize = 16;

constexpr int kMaxCodeBits = 15;
constexpr int kLiteralCodes = 288; // fixed code set; a stream may use up to 286
constexpr int kDistanceCodes = 30;
constexpr int kEndOfBlock = 256;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                             33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists the lengths of its code-length code.
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Damaged {
    const char* why;
};

class BitReader {
public:
    explicit BitReader(ConstBytes in) : in_(in) {}

    std::uint32_t Bits(int count)
    {
        while (held_ < count) {
            if (next_ == in_.size()) {
                throw Damaged{"the stream ends early"};
            }
            buffer_ |= std::uint32_t{in_[next_++]} << held_;
            held_ += 8;
        }
        const std::uint32_t value = buffer_ & ((std::uint32_t{1} << count) - 1);
        buffer_ >>= count;
        held_ -= count;
        return value;
    }
    // Drops the bits left of the current byte; stored blocks and the
    // checksum start on a byte.
    void ToByte()
    {
        buffer_ = 0;
        held_ = 0;
    }
    std::uint8_t Byte()
    {
        if (next_ == in_.size()) {
            throw Damaged{"the stream ends early"};
        }
        return in_[next_++];
    }

private:
    ConstBytes in_;
    std::size_t next_ = 0;
    std::uint32_t buffer_ = 0;
    int held_ = 0;
};

// A canonical Huffman code: how many codes of each length, and the symbols
// in code order.
class Code {
public:
    // lengths[s]: the code length of symbol s, 0 when unused. An incomplete
    // set passes only where allowIncomplete (RFC 1951 lets a set have one
    // code); an over-subscribed one never does.
    void Build(const std::uint8_t* lengths, int symbols, bool allowIncomplete)
    {
        counts_.fill(0);
        for (int s = 0; s < symbols; ++s) {
            ++counts_[lengths[s]];
        }
        int left = 1;
        for (int length = 1; length <= kMaxCodeBits; ++length) {
            left = (left << 1) - counts_[length];
            if (left < 0) {
                throw Damaged{"a code set is over-subscribed"};
            }
        }
        const int used = symbols - counts_[0];
        if (left > 0 && !(allowIncomplete && used <= 1)) {
            throw Damaged{"a code set is incomplete"};
        }
        std::array<std::uint16_t, kMaxCodeBits + 1> offsets{};
        for (int length = 1; length < kMaxCodeBits; ++length) {
            offsets[length + 1] = static_cast<std::uint16_t>(offsets[length] + counts_[length]);
        }
        for (int s = 0; s < symbols; ++s) {
            if (lengths[s] != 0) {
                symbols_[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
            }
        }
    }

    int Decode(BitReader& bits) const
    {
        int code = 0;
        int first = 0;
        int index = 0;
        for (int length = 1; length <= kMaxCodeBits; ++length) {
            code |= static_cast<int>(bits.Bits(1));
            const int count = counts_[length];
            if (code - first < count) {
                return symbols_[index + code - first];
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        throw Damaged{"a code is not in its code set"};
    }

private:
    std::array<std::uint16_t, kMaxCodeBits + 1> counts_{};
    std::array<std::uint16_t, kLiteralCodes> symbols_{};
};

class Inflater {
public:
    Inflater(ConstBytes in, std::span<std::uint8_t> out) : bits_(in), out_(out) {}

    void Run()
    {
        bool last = false;
        while (!last) {
            last = bits_.Bits(1) != 0;
            switch (bits_.Bits(2)) {
            case 0: Stored(); break;
            case 1: Fixed(); break;
            case 2: Dynamic(); break;
            default: throw Damaged{"a block has the reserved type 3"};
            }
        }
        bits_.ToByte();
    }
    std::size_t Produced() const { return produced_; }
    BitReader& Bits() { return bits_; }

private:
    void Put(std::uint8_t byte)
    {
        if (produced_ == out_.size()) {
            throw Damaged{"it expands to more than the block holds"};
        }
        out_[produced_++] = byte;
    }

    void Stored()
    {
        bits_.ToByte();
        const std::uint32_t length = bits_.Byte() | std::uint32_t{bits_.Byte()} << 8;
        const std::uint32_t check = bits_.Byte() | std::uint32_t{bits_.Byte()} << 8;
        if ((length ^ 0xFFFF) != check) {
            throw Damaged{"a stored block's length does not match its complement"};
        }
        for (std::uint32_t i = 0; i < length; ++i) {
            Put(bits_.Byte());
        }
    }

    void Fixed()
    {
        static const std::pair<Code, Code> kFixed = [] {
            std::uint8_t lengths[kLiteralCodes];
            std::fill(lengths, lengths + 144, 8);
            std::fill(lengths + 144, lengths + 256, 9);
            std::fill(lengths + 256, lengths + 280, 7);
            std::fill(lengths + 280, lengths + kLiteralCodes, 8);
            std::pair<Code, Code> codes;
            codes.first.Build(lengths, kLiteralCodes, false);
            // All 32 five-bit codes, so that the two deflate does not use
            // decode and are refused as such.
            std::fill(lengths, lengths + 32, 5);
            codes.second.Build(lengths, 32, false);
            return codes;
        }();
        Codes(kFixed.first, kFixed.second);
    }

    void Dynamic()
    {
        const int literals = static_cast<int>(bits_.Bits(5)) + 257;
        const int distances = static_cast<int>(bits_.Bits(5)) + 1;
        const int lengthCodes = static_cast<int>(bits_.Bits(4)) + 4;
        if (literals > 286 || distances > kDistanceCodes) {
            throw Damaged{"a block counts more codes than deflate has"};
        }
        std::uint8_t lengths[286 + kDistanceCodes] = {};
        for (int i = 0; i < lengthCodes; ++i) {
            lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(bits_.Bits(3));
        }
        Code lengthCode;
        lengthCode.Build(lengths, 19, false);
        std::fill(std::begin(lengths), std::end(lengths), 0);
        for (int i = 0; i < literals + distances;) {
            const int symbol = lengthCode.Decode(bits_);
            if (symbol < 16) {
                lengths[i++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            std::uint8_t repeated = 0;
            int times = 0;
            if (symbol == 16) {
                if (i == 0) {
                    throw Damaged{"a block repeats a code length before the first"};
                }
                repeated = lengths[i - 1];
                times = 3 + static_cast<int>(bits_.Bits(2));
            } else {
                times = symbol == 17 ? 3 + static_cast<int>(bits_.Bits(3)) : 11 + static_cast<int>(bits_.Bits(7));
            }
            if (i + times > literals + distances) {
                throw Damaged{"a block's code lengths run past its code count"};
            }
            std::fill(lengths + i, lengths + i + times, repeated);
            i += times;
        }
        if (lengths[kEndOfBlock] == 0) {
            throw Damaged{"a block has no end code"};
        }
        Code literalCode;
        literalCode.Build(lengths, literals, true);
        Code distanceCode;
        distanceCode.Build(lengths + literals, distances, true);
        Codes(literalCode, distanceCode);
    }

    void Codes(const Code& literals, const Code& distances)
    {
        for (;;) {
            const int symbol = literals.Decode(bits_);
            if (symbol < kEndOfBlock) {
                Put(static_cast<std::uint8_t>(symbol));
                continue;
            }
            if (symbol == kEndOfBlock) {
                return;
            }
            const int lengthIndex = symbol - 257;
            if (lengthIndex >= 29) {
                throw Damaged{"a block uses a length code deflate does not have"};
            }
            const std::size_t length = kLengthBase[lengthIndex] + bits_.Bits(kLengthExtra[lengthIndex]);
            const int distanceIndex = distances.Decode(bits_);
            if (distanceIndex >= kDistanceCodes) {
                throw Damaged{"a block uses a distance code deflate does not have"};
            }
            const std::size_t distance = kDistanceBase[distanceIndex] + bits_.Bits(kDistanceExtra[distanceIndex]);
            if (distance > produced_) {
                throw Damaged{"a block refers back past the start of the data"};
            }
            for (std::size_t i = 0; i < length; ++i) {
                Put(out_[produced_ - distance]);
            }
        }
    }

    BitReader bits_;
    std::span<std::uint8_t> out_;
    std::size_t produced_ = 0;
};

std::uint32_t Adler32(ConstBytes bytes)
{
    constexpr std::uint32_t kModulus = 65521;
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    // 5552 bytes is the most that can be summed before b could pass 2^32.
    for (std::size_t start = 0; start < bytes.size(); start += 5552) {
        const std::size_t end = std::min(bytes.size(), start + 5552);
        for (std::size_t i = start; i < end; ++i) {
            a += bytes[i];
            b += a;
        }
        a %= kModulus;
        b %= kModulus;
    }
    return b << 16 | a;
}

} // namespace

std::string InflateZlib(ConstBytes in, std::span<std::uint8_t> out)
{
    if (in.size() < 2) {
        return "the stream is shorter than its header";
    }
    const unsigned method = in[0];
    const unsigned flags = in[1];
    if ((method & 0x0F) != 8 || (method >> 4) > 7 || (method << 8 | flags) % 31 != 0) {
        return "the stream does not start with a zlib header";
    }
    if ((flags & 0x20) != 0) {
        return "the stream needs a preset dictionary";
    }
    try {
        Inflater inflater(in.subspan(2), out);
        inflater.Run();
        if (inflater.Produced() != out.size()) {
            return "it expands to less than the block holds";
        }
        std::uint32_t stated = 0;
        for (int i = 0; i < 4; ++i) {
            stated = stated << 8 | inflater.Bits().Byte();
        }
        if (stated != Adler32(out)) {
            return "its checksum does not match what it expands to";
        }
    } catch (const Damaged& damage) {
        return damage.why;
    }
    return {};
}

bool ZisofsExpander::Read(std::uint64_t file, const ZisofsInfo& info, std::uint64_t storedSize,
                          const StoredDataReader& read, std::uint64_t offset, std::uint8_t* out, std::uint32_t count,
                          std::string& problem)
{
    if (file != file_) {
        *this = {};
        if (!LoadTable(info, storedSize, read, problem)) {
            return false;
        }
        file_ = file;
    }
    const std::uint32_t blockSize = std::uint32_t{1} << info.blockLog2;
    while (count > 0) {
        const auto block = static_cast<std::uint32_t>(offset >> info.blockLog2);
        if (block != block_ && !LoadBlock(info, read, block, problem)) {
            return false;
        }
        const std::uint32_t inBlock = static_cast<std::uint32_t>(offset & (blockSize - 1));
        const std::uint32_t take = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(expanded_.size()) - inBlock);
        std::memcpy(out, expanded_.data() + inBlock, take);
        out += take;
        offset += take;
        count -= take;
    }
    return true;
}

bool ZisofsExpander::LoadTable(const ZisofsInfo& info, std::uint64_t storedSize, const StoredDataReader& read,
                               std::string& problem)
{
    const std::uint32_t blocks =
        static_cast<std::uint32_t>((std::uint64_t{info.size} + (std::uint64_t{1} << info.blockLog2) - 1) >> info.blockLog2);
    const std::uint64_t tableEnd = kHeaderSize + (std::uint64_t{blocks} + 1) * 4;
    if (storedSize < tableEnd) {
        problem = "its header and block table do not fit in its " + std::to_string(storedSize) + " bytes";
        return false;
    }
    std::vector<std::uint8_t> head(tableEnd);
    if (!read(0, head.data(), static_cast<std::uint32_t>(tableEnd))) {
        return false;
    }
    const ConstBytes bytes(head);
    if (!std::equal(std::begin(kMagic), std::end(kMagic), head.begin()) || ReadLe32(bytes, 8) != info.size
        || head[12] != info.headerQuads || head[13] != info.blockLog2) {
        problem = "its header does not match its Rock Ridge ZF entry";
        return false;
    }
    offsets_.resize(std::size_t{blocks} + 1);
    for (std::uint32_t i = 0; i <= blocks; ++i) {
        offsets_[i] = ReadLe32(bytes, kHeaderSize + std::size_t{i} * 4);
        const std::uint32_t floor = i == 0 ? static_cast<std::uint32_t>(tableEnd) : offsets_[i - 1];
        if (offsets_[i] < floor || offsets_[i] > storedSize) {
            problem = "its block table points outside its data";
            return false;
        }
    }
    return true;
}

bool ZisofsExpander::LoadBlock(const ZisofsInfo& info, const StoredDataReader& read, std::uint32_t block,
                               std::string& problem)
{
    const std::uint64_t start = std::uint64_t{block} << info.blockLog2;
    const auto size = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{1} << info.blockLog2, std::uint64_t{info.size} - start));
    block_ = ~std::uint32_t{0};
    expanded_.assign(size, 0);
    const std::uint32_t packedSize = offsets_[block + 1] - offsets_[block];
    if (packedSize != 0) {
        packed_.resize(packedSize);
        if (!read(offsets_[block], packed_.data(), packedSize)) {
            return false;
        }
        if (std::string why = InflateZlib(packed_, expanded_); !why.empty()) {
            problem = "block " + std::to_string(block) + ": " + why;
            return false;
        }
    }
    block_ = block;
    return true;
}

} // namespace tarvelin::iso
