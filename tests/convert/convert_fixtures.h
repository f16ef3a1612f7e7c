#pragma once

// Helpers of the conversion tests: synthetic volumes, progress recorders,
// a file size limit that makes writes fail, and the tests' folder.

#include "core/component.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace tarvelin::test {

using Bytes = std::vector<std::uint8_t>;

// sectors * 2048 + tail bytes of random data with the two descriptor heads
// that layout detection looks for (a primary volume descriptor at 16, any
// descriptor at 17): enough of a volume for the converters, which copy
// sectors without reading the file tree.
inline Bytes SyntheticVolume(std::uint32_t sectors, std::uint32_t seed, std::size_t tail = 0)
{
    Bytes volume = RandomBytes(std::size_t{sectors} * kLogicalSectorSize + tail, seed);
    for (std::uint32_t sector = 16; sector <= 17 && sector < sectors; ++sector) {
        std::uint8_t* head = volume.data() + std::size_t{sector} * kLogicalSectorSize;
        head[0] = sector == 16 ? 1 : 255;
        std::memcpy(head + 1, "CD001", 5);
        head[6] = 1;
    }
    return volume;
}

// The bytes followed by zeros up to a whole number of 2048-byte sectors.
inline Bytes PaddedToSectors(Bytes bytes)
{
    bytes.resize((bytes.size() + kLogicalSectorSize - 1) / kLogicalSectorSize * kLogicalSectorSize, 0);
    return bytes;
}

inline Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes joined(a);
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

// Records the reports of a conversion; answers false to the percent report
// number stopAt (counted from 1; 0: never).
struct ProgressLog {
    std::vector<std::int32_t> values;
    std::vector<std::thread::id> threads;
    std::size_t stopAt = 0;

    static bool Record(void* context, std::int32_t value)
    {
        auto* log = static_cast<ProgressLog*>(context);
        log->values.push_back(value);
        log->threads.push_back(std::this_thread::get_id());
        return log->stopAt == 0 || value > 100 || log->values.size() < log->stopAt;
    }

    // Percent reports rising from 0 to 100, then the one final value.
    void ExpectProtocol(std::int32_t final) const
    {
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back(), final);
        std::int32_t previous = 0;
        for (std::size_t i = 0; i + 1 < values.size(); ++i) {
            EXPECT_GE(values[i], previous) << "report " << i;
            EXPECT_LE(values[i], 100) << "report " << i;
            previous = values[i];
        }
        if (final == 200) {
            ASSERT_GE(values.size(), 2u);
            EXPECT_EQ(values[values.size() - 2], 100);
        }
    }
};

// While alive, files of this process cannot grow beyond the limit: writes
// past it fail (EFBIG) instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A folder of the test's own, and files put into it.
class ConvertTest : public ::testing::Test {
protected:
    std::string Put(const std::string& name, const Bytes& bytes)
    {
        const std::string path = dir_ / name;
        WriteWholeFile(path, bytes);
        return path;
    }

    TempDir dir_;
};

} // namespace tarvelin::test
