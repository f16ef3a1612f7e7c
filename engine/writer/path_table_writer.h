#pragma once

// The path tables of an image: ISO L and M tables and, with Joliet, the
// Joliet L and M tables, rendered into one run of sectors that the caller
// places at the start sector given to Build. Each tree's directories are
// numbered on their own (a tree may leave a directory out); the numbers
// live only in the tables.
//
// CBuildPathTable takes the source tree of a new image, CIsoPath the tree
// of an edited image; both are shells over writer::PathTableLayout
// (metadata_layout.h).

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/registry.h"

#include <cstdint>

namespace tarvelin {

class IMacroList;
class IIsoDirEdit;

// The operations both path table writers share, after Build.
class IPathTableResult : public CComponent {
public:
    virtual bool Reserved() = 0;
    // Appends all rendered sectors to out; false when nothing was rendered
    // or the append fails.
    virtual bool CopyTo(CByteBuffer& out) = 0;
    virtual std::int32_t GetSectorCount() = 0;
    // Bytes of one ISO / Joliet table before padding (the descriptors' path
    // table size).
    virtual std::uint32_t GetIsoTableSize() = 0;
    virtual std::uint32_t GetJolietTableSize() = 0;
    // First sector of the ISO L table (the start given to Build) and of the
    // Joliet L table; each M table follows its L table's sectors.
    virtual std::uint32_t GetIsoStart() = 0;
    virtual std::uint32_t GetJolietStart() = 0;
    // Why the last Build rendered nothing; empty after a good one.
    virtual const char* GetLastError() = 0;
};

class IBuildPathTable : public IPathTableResult {
public:
    // mode 2: also the Joliet tables. The root extents go into the root
    // records; every other directory's extent is read from its tree record.
    virtual void Build(std::uint32_t mode, IMacroList* tree, std::uint32_t startSector,
                       std::uint32_t isoRootExtent, std::uint32_t jolietRootExtent) = 0;
};

class IIsoPath : public IPathTableResult {
public:
    virtual void Build(std::uint32_t mode, IIsoDirEdit* tree, std::uint32_t startSector,
                       std::uint32_t isoRootExtent, std::uint32_t jolietRootExtent) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IBuildPathTable, NEW_PATHTABLENEW, NEW_00_PATHTABLENEW)
TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoPath, Path1, Path2)
