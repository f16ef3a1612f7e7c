// Layout of a new image of 100,000 files, without writing data: the four
// passes of the build (descriptors, path tables, directories, file extents)
// over an in-memory source tree of 1,000 folders of 100 files each (plus a
// second shape: 100,000 files in one folder, the same with names that the
// ISO 9660 and Joliet limits cut alike, and a chain of 2,000 nested
// folders). The layout must stay linear in the number of entries.
//
// Usage: bench_layout [trials]

#include "writer/iso_build.h"
#include "writer/macro_list.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace tarvelin;

namespace {

// CPU time of this process: what the layout costs however busy the machine.
double CpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

SourceNode FileRecord(const std::string& name, std::uint64_t size)
{
    SourceNode record;
    record.name = name;
    record.nameLength = static_cast<std::uint32_t>(name.size());
    record.fileSize = size;
    record.creationTime = 133000000000000000ULL + size * 10000000ULL;
    record.diskPath = "/nonexistent/" + name;
    return record;
}

SourceNode FolderRecord(const std::string& name)
{
    SourceNode record;
    record.isDirectory = true;
    record.name = name;
    record.nameLength = static_cast<std::uint32_t>(name.size());
    record.creationTime = 133000000000000000ULL;
    return record;
}

IMacroList* Folders(int folders, int filesPerFolder, const std::string& stem = "Document number ")
{
    IMacroList* list = NEW_MACROLIST();
    for (int d = 0; d < folders; ++d) {
        MacroNode* folder = list->AddChild(list->GetRoot(), FolderRecord("folder " + std::to_string(d)));
        for (int f = 0; f < filesPerFolder; ++f) {
            list->AddChild(folder, FileRecord(stem + std::to_string(f) + ".txt",
                                              static_cast<std::uint64_t>(f) * 1000 + 1));
        }
    }
    return list;
}

IMacroList* Chain(int depth, int filesPerFolder)
{
    IMacroList* list = NEW_MACROLIST();
    MacroNode* folder = list->GetRoot();
    for (int d = 0; d < depth; ++d) {
        folder = list->AddChild(folder, FolderRecord("level" + std::to_string(d)));
        for (int f = 0; f < filesPerFolder; ++f) {
            list->AddChild(folder, FileRecord("f" + std::to_string(f), 5000));
        }
    }
    return list;
}

void Measure(const char* shape, IMacroList* list, int trials)
{
    std::vector<double> seconds;
    std::vector<double> cpu;
    for (int trial = 0; trial < trials; ++trial) {
        BuildPlan plan;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        if (!PlanImage(list, kBuildIsoAndJoliet, 133000000000000000ULL, "", plan, error)) {
            std::fprintf(stderr, "%s: layout failed: %s\n", shape, error.c_str());
            std::exit(1);
        }
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpu.push_back(CpuSeconds() - cpuStart);
    }
    std::sort(seconds.begin(), seconds.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%-32s %7llu entries  best %.3f s  median %.3f s  (CPU best %.3f s)\n", shape,
                static_cast<unsigned long long>(list->GetNodeCount()), seconds.front(), seconds[seconds.size() / 2],
                cpu.front());
}

} // namespace

int main(int argc, char** argv)
{
    const int trials = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    IMacroList* folders = Folders(1000, 100);
    Measure("1,000 folders x 100 files", folders, trials);
    folders->Destroy();
    IMacroList* flat = Folders(1, 100000);
    Measure("one folder of 100,000 files", flat, trials);
    flat->Destroy();
    // Past 30 and 64 characters: every name but one gets a number.
    IMacroList* cut = Folders(1, 100000, "Minutes of the meeting of the committee on the quarterly report, no. ");
    Measure("100,000 files of one cut name", cut, trials);
    cut->Destroy();
    IMacroList* chain = Chain(2000, 10);
    Measure("2,000 nested folders x 10 files", chain, trials);
    chain->Destroy();
    return 0;
}
