#pragma once

// The directories of an image: one extent per directory, every directory of
// the ISO tree in pre-order, then (with Joliet) every directory of the
// Joliet tree in the same order. Build gives each directory its extent and
// size and stores them in its tree record.
//
// A directory's "." record and its subdirectories' records carry the
// extents and sizes stored by an earlier Build, so the caller builds twice
// from the same start sector with fresh instances and writes the second
// result; IsLayoutSettled tells whether the tree already held exactly the
// layout this Build produced, which is what makes the second result right.
//
// CBuildDirSecs takes the source tree of a new image, CIsoDir the tree of
// an edited image; both are shells over writer::DirectoryLayout
// (metadata_layout.h), which the engine's own builds and saves use with a
// plan of their own instead of the places in the entries.

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

class IMacroList;
class IIsoDirEdit;

// The operations both directory writers share, after Build.
class IDirectoryResult : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Appends all rendered sectors to out; false when nothing was rendered
    // or the append fails.
    virtual bool CopyTo(CByteBuffer& out) = 0;
    virtual std::int32_t GetSectorCount() = 0;
    virtual std::uint32_t GetIsoRootSize() = 0;
    virtual std::uint32_t GetJolietRootSize() = 0;
    virtual std::uint32_t GetIsoRootExtent() = 0;
    virtual std::uint32_t GetJolietRootExtent() = 0;
    // True when every directory's stored extent and size, and every
    // subdirectory record's, already equalled what this Build laid out.
    virtual bool IsLayoutSettled() = 0;
    // Why the last Build rendered nothing; empty after a good one.
    virtual const char* GetLastError() = 0;
};

class IBuildDirSecs : public IDirectoryResult {
public:
    // mode 2: also the Joliet tree.
    virtual void Build(std::uint32_t mode, IMacroList* tree, std::uint32_t startSector) = 0;
};

class IIsoDir : public IDirectoryResult {
public:
    virtual void Build(std::uint32_t mode, IIsoDirEdit* tree, std::uint32_t startSector) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IBuildDirSecs, NEW_DIRSECSNEW, NEW_00_DIRSECSNEW)
TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoDir, Dir1, Dir2)
