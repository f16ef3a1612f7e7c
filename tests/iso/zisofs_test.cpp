// The deflate decoder behind zisofs, on streams made by zlib (stored and fixed-code blocks; dynamic blocks come
// through the xorriso images of the extraction tests) and on damaged ones, each refused for its own reason.

#include "iso/zisofs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvelin::iso {
namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

TEST(Inflate, ExpandsZlibStreamsAndRefusesDamagedOnes)
{
    struct Case {
        const char* stream;
        std::size_t outSize;
        const char* expanded; // when the stream is sound
        const char* problem;  // part of the reason otherwise
    };
    const Case cases[] = {
        {"7801010500faff68656c6c6f062c0215", 5, "hello", nullptr},                                   // stored block
        {"78dacb48cdc9c957c8402701680308b1", 23, "hello hello hello hello", nullptr},                // fixed codes
        {"7801010500fbff68656c6c6f062c0215", 5, nullptr, "complement"},
        {"7801010500faff68656c", 5, nullptr, "ends early"},
        {"7801010500faff68656c6c6f062c0216", 5, nullptr, "checksum"},
        {"780107", 1, nullptr, "reserved type"},
        {"7801030200", 3, nullptr, "past the start"},                 // a copy before any byte was produced
        {"7801010500faff68656c6c6f062c0215", 4, nullptr, "more than"},
        {"7801010500faff68656c6c6f062c0215", 6, nullptr, "less than"},
        {"78bb0000", 1, nullptr, "dictionary"},
        {"1f8b0800", 1, nullptr, "zlib header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stream) + " into " + std::to_string(c.outSize));
        std::vector<std::uint8_t> out(c.outSize);
        const std::string problem = InflateZlib(FromHex(c.stream), out);
        if (c.expanded != nullptr) {
            EXPECT_EQ(problem, "");
            EXPECT_EQ(std::string(out.begin(), out.end()), c.expanded);
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        }
    }
}

} // namespace
} // namespace tarvelin::iso
