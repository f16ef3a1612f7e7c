#pragma once

// What the fuzz targets share. An input is a file's bytes: it is written
// into a folder of this process (under /dev/shm, where the system has it,
// so no disk is touched) and the engine opens it by its path, as it opens
// any image. The folder goes when the process ends normally.

#include "core/iso_sector.h"
#include "iso/iso9660.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace tarvelin::fuzz {

class InputFolder {
public:
    InputFolder()
    {
        namespace fs = std::filesystem;
        std::error_code error;
        const fs::path shm("/dev/shm");
        const fs::path base = fs::is_directory(shm, error) ? shm : fs::temp_directory_path();
        std::random_device random;
        path_ = base / ("tarvelin-fuzz-" + std::to_string(random()) + std::to_string(random()));
        if (!fs::create_directory(path_, error)) {
            Fail("cannot create the input folder " + path_.string() + ": " + error.message());
        }
    }
    ~InputFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    InputFolder(const InputFolder&) = delete;
    InputFolder& operator=(const InputFolder&) = delete;

    std::string Path(std::string_view name) const { return (path_ / name).string(); }

    // The file name in the folder, holding exactly these bytes.
    std::string Write(std::string_view name, const std::uint8_t* data, std::size_t size) const
    {
        const std::string path = Path(name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            Fail("cannot write the input file " + path);
        }
        return path;
    }

    // No file of that name in the folder.
    void Remove(std::string_view name) const
    {
        std::error_code error;
        std::filesystem::remove(path_ / name, error);
    }

    [[noreturn]] static void Fail(const std::string& why)
    {
        std::fprintf(stderr, "fuzz harness: %s\n", why.c_str());
        std::abort();
    }

private:
    std::filesystem::path path_;
};

inline const InputFolder& Inputs()
{
    static const InputFolder folder;
    return folder;
}

// A property of the engine that every input must keep; a broken one ends
// the run like a crash, so that the fuzzer keeps the input.
inline void Expect(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

inline iso::SectorReader ReaderOf(IIsoSector* sectors)
{
    return [sectors](std::uint32_t sector, std::uint8_t* buffer) { return sectors->ReadSector(sector, buffer); };
}

} // namespace tarvelin::fuzz
