// Raw sector encoder throughput, one thread: how many MB of raw 2352-byte
// sectors per second EncodeMode1Sectors (and Mode 2 Form 1) produce, on the
// processor-specific path and on the portable path, against the target of
// 1000 MB/s of raw output on one core.
//
// usage: bench_encoder [--seconds S]   (S: time per figure, default 1)
// The encoder works on a batch of 512 sectors (1 MiB of user data in,
// 1.15 MiB out; the size of a writer's output buffer) encoded again and
// again. Each call is one trial; a figure is the best trial, with the median
// trial and the overall rate (all bytes over the whole time, pauses while
// other processes ran included) beside it; on an idle machine the three agree.

#include "core/raw_sector.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace tarvelin;

constexpr double kTargetMegabytesPerSecond = 1000.0;
constexpr std::size_t kBatchSectors = 512;

struct Rate {
    double best = 0;   // MB/s (10^6 bytes) of the fastest trial
    double median = 0; // and of the median one
    double overall = 0; // all bytes over all the time, pauses included
};

// Runs `encodeBatch` (which produces bytesPerCall bytes) again and again for
// about `seconds`, timing each call as one trial (a batch takes well under a
// millisecond, within one scheduler time slice). The best trial is the
// figure for the code on one core: other processes on the machine only
// ever slow trials down. The median says how busy the machine was.
Rate Measure(const std::function<void()>& encodeBatch, double bytesPerCall, double seconds)
{
    encodeBatch(); // warm caches and the dispatcher
    std::vector<double> rates;
    const auto start = Clock::now();
    double total = 0;
    do {
        const auto before = Clock::now();
        encodeBatch();
        const double elapsed = std::chrono::duration<double>(Clock::now() - before).count();
        rates.push_back(bytesPerCall / elapsed / 1e6);
        total = std::chrono::duration<double>(Clock::now() - start).count();
    } while (total < seconds);
    std::sort(rates.begin(), rates.end());
    return {rates.back(), rates[rates.size() / 2], bytesPerCall * static_cast<double>(rates.size()) / total / 1e6};
}

void Report(const std::string& what, Rate rate, bool withTarget)
{
    if (withTarget) {
        std::printf("%s: %.0f MB/s raw (%.2fx the %.0f MB/s target; median trial %.0f, overall %.0f MB/s)\n",
                    what.c_str(), rate.best, rate.best / kTargetMegabytesPerSecond, kTargetMegabytesPerSecond,
                    rate.median, rate.overall);
    } else {
        std::printf("%s: %.0f MB/s (median trial %.0f, overall %.0f MB/s)\n", what.c_str(), rate.best, rate.median,
                    rate.overall);
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 1.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S]\n", argv[0]);
            return 2;
        }
    }

    std::vector<std::uint8_t> data(kBatchSectors * raw::kUserDataSize);
    std::mt19937 random(1234);
    for (auto& byte : data) {
        byte = static_cast<std::uint8_t>(random());
    }
    std::vector<std::uint8_t> out(kBatchSectors * raw::kSectorSize);
    const double rawBytes = static_cast<double>(out.size());
    std::uint32_t lba = 0;
    std::uint32_t sink = 0;
    std::string automaticName;

    const auto mode1 = [&] {
        raw::EncodeMode1Sectors(data.data(), kBatchSectors, lba, out.data());
        lba += kBatchSectors;
        sink += out[2351];
    };
    const auto mode2 = [&] {
        raw::EncodeMode2Form1Sectors(data.data(), kBatchSectors, lba, nullptr, out.data());
        lba += kBatchSectors;
        sink += out[2351];
    };
    const auto edcOnly = [&] {
        for (std::size_t i = 0; i < kBatchSectors; ++i) {
            sink += raw::ComputeEdc(data.data() + i * raw::kUserDataSize, raw::kUserDataSize);
        }
    };
    const auto parityOnly = [&] {
        for (std::size_t i = 0; i < kBatchSectors; ++i) {
            raw::ComputeParity(out.data() + i * raw::kSectorSize);
        }
        sink += out[2351];
    };

    for (raw::EncoderPath path :
         {raw::EncoderPath::Automatic, raw::EncoderPath::X86Avx2Pclmul, raw::EncoderPath::Portable}) {
        if (!raw::ForceEncoderPath(path)) {
            continue;
        }
        const std::string name = raw::ActiveEncoderPath();
        if (path == raw::EncoderPath::X86Avx2Pclmul && name == automaticName) {
            continue; // the automatic path already was this one
        }
        if (path == raw::EncoderPath::Automatic) {
            automaticName = name;
        }
        Report("mode1 encode [" + name + "]", Measure(mode1, rawBytes, seconds), true);
        Report("mode2 form1 encode [" + name + "]", Measure(mode2, rawBytes, seconds), true);
        Report("  edc alone [" + name + "], MB/s of input", Measure(edcOnly, static_cast<double>(data.size()), seconds),
               false);
        Report("  parity alone [" + name + "], MB/s of raw sectors", Measure(parityOnly, rawBytes, seconds), false);
    }
    raw::ForceEncoderPath(raw::EncoderPath::Automatic);
    std::printf("(checksum %u)\n", static_cast<unsigned>(sink & 0xFFU));
    return 0;
}
