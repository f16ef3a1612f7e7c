#pragma once

// The source image of a conversion: the data file (behind a CUE sheet, as
// the image reader finds it), mapped whole, and the layout its logical
// sectors are stored in, found by the same detection as the image reader's.
// Shared by the sector files of both conversions; not a component.

#include "convert/mapped_file.h"
#include "core/iso_sector.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace tarvelin {

class ConvertSource {
public:
    using ReaderFactory = IMappedFile* (*)();

    explicit ConvertSource(ReaderFactory newReader) : newReader_(newReader) {}
    ~ConvertSource();
    ConvertSource(const ConvertSource&) = delete;
    ConvertSource& operator=(const ConvertSource&) = delete;

    // Maps the image (the data file a CUE sheet names) and detects its layout.
    bool Open(const char* path);
    bool IsOpen() const { return probe_ != LayoutProbe::None; }
    // Unmaps an image the conversion does not take; it counts as one that
    // cannot be opened, for the reason given.
    void Close(const std::string& reason);

    const ImageLayout& Layout() const { return layout_; }
    LayoutProbe Probe() const { return probe_; }
    ImageOpenError OpenError() const { return openError_; }
    // The file actually mapped.
    const std::string& DataPath() const { return dataPath_; }
    // Logical sectors from 0 whose user data starts inside the file.
    std::uint32_t SectorCount() const { return sectorCount_; }
    // Empty, or what the conversion cannot give because the source lacks
    // it: an image that ends before its volume does (a download or copy cut
    // short) converts to an output as short. Set by Open.
    const std::string& ShortfallWarning() const { return shortfall_; }
    // Raw sectors that Read found damaged since Open (see
    // IIsoSector::GetDamagedSectors), each read counted: how many, and the
    // lowest in *first.
    std::uint32_t DamagedSectors(std::uint32_t* first) const;

    // The user data of sectors first .. first + count - 1 into count * 2048
    // bytes. Bytes that the layout places outside the file (before its start
    // or behind its end) read as zeros. False only when nothing is open.
    // May run on two threads at once. Raw sectors are checked on the way
    // (DamagedSectors).
    bool Read(std::uint32_t first, std::uint32_t count, std::uint8_t* out);

    // The user data of sectors first .. first + count - 1 where it lies in
    // the mapping back to back (2048-byte sectors, all inside the file), so
    // that it can be used without a copy; null elsewhere.
    const std::uint8_t* Contiguous(std::uint32_t first, std::uint32_t count) const;

    // Why path cannot be the conversion's output: it is the open image's
    // data file or the CUE sheet it was opened through (under any name).
    // Empty when it can be.
    std::string OutputConflict(const std::string& path) const;

    const std::string& LastError() const { return lastError_; }

private:
    ReaderFactory newReader_;
    IMappedFile* reader_ = nullptr;
    ImageLayout layout_;
    LayoutProbe probe_ = LayoutProbe::None;
    ImageOpenError openError_ = ImageOpenError::None;
    std::uint32_t sectorCount_ = 0;
    TrackMode trackMode_ = TrackMode::Plain; // raw sectors are checked as they are read
    std::atomic<std::uint32_t> damaged_{0};
    std::atomic<std::uint32_t> firstDamaged_{~std::uint32_t{0}}; // the lowest, while damaged_ is not 0
    std::string dataPath_;
    std::string sheetPath_; // the path opened, when it is a CUE sheet naming dataPath_
    std::string shortfall_;
    std::string lastError_;
};

} // namespace tarvelin
