// The deflate decoder that expands zisofs blocks. An input is the size the
// block expands to (two bytes, little-endian) and then the zlib stream.

#include "fuzz_input.h"

#include "iso/zisofs.h"

#include <vector>

using namespace tarvelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    std::vector<std::uint8_t> out(data[0] | std::size_t{data[1]} << 8);
    const std::string problem = iso::InflateZlib(iso::ConstBytes(data + 2, size - 2), out);
    if (problem.empty() && !out.empty()) {
        std::vector<std::uint8_t> shorter(out.size() - 1);
        fuzz::Expect(!iso::InflateZlib(iso::ConstBytes(data + 2, size - 2), shorter).empty(),
                     "a stream that fills a block does not fit a smaller one");
    }
    return 0;
}
