#pragma once

// The volume descriptor set of an image, one 2048-byte sector per
// descriptor from sector 16 through the terminator, rendered into a buffer
// that the caller copies out with CopyTo.
//
// CBuildDesc renders the set of a new image: primary descriptor, Joliet
// supplementary descriptor and terminator. CIsoDesc renders the set of a
// saved edited image: the source image's own set with the new tree
// locations, volume size and modification date, its El Torito boot record
// kept, added or dropped; it also answers questions about the descriptors
// of the source image being edited.

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/registry.h"
#include "iso/iso9660.h"
#include "platform/time.h"
#include "writer/iso_build.h"

#include <cstdint>
#include <string>

namespace tarvelin {

class IIsoSector;

// The label of a build that was given none: the local minute of the build.
std::string DateVolumeLabel(platform::FileTime buildTime);

// Where one tree's path tables and root directory lie.
struct TreePlacement {
    std::uint32_t pathTableSize = 0;   // bytes of one table, unpadded
    std::uint32_t pathTableSector = 0; // first sector of the L table
    std::uint32_t rootExtent = 0;
    std::uint32_t rootSize = 0;        // bytes of the root directory
};

// bootOption of IIsoDesc::Build.
enum BootOption : std::uint32_t {
    kBootKeep = 0,   // a boot record when the source image has one
    kBootAlways = 1, // a boot record in any case
    kBootNone = 2,   // no boot record
};

// What Build writes into a descriptor set. The boot fields are the save's
// (IIsoDesc) alone.
struct DescriptorSetPlan {
    std::uint32_t mode = kBuildIsoOnly; // kBuildIsoAndJoliet: with the Joliet descriptor
    std::uint32_t volumeSectors = 0;
    TreePlacement iso;
    TreePlacement joliet;
    // The El Torito boot record at sector 17 as bootOption says, naming
    // bootCatalogSector.
    std::uint32_t bootCatalogSector = 0;
    BootOption bootOption = kBootKeep;
};

class IBuildDesc : public CComponent {
public:
    virtual bool Reserved() = 0;
    // The fields of DescriptorSetPlan in their order: mode, volume size,
    // then path table size, L table sector, root extent and root size of the
    // ISO 9660 tree and of the Joliet tree.
    virtual void Build(std::uint32_t mode, std::uint32_t volumeSectors, std::uint32_t ptSize,
                       std::uint32_t ptSector, std::uint32_t rootExtent, std::uint32_t rootSize,
                       std::uint32_t jPtSize, std::uint32_t jPtSector, std::uint32_t jRootExtent,
                       std::uint32_t jRootSize) = 0;
    virtual bool CopyTo(CByteBuffer& out) = 0;
    virtual std::int32_t GetSectorCount() = 0;

    // The moment the set is dated with (volume label, root record dates);
    // the current time unless set.
    virtual void SetBuildTime(platform::FileTime time) = 0;
    // The volume label instead of the date label; empty restores the date
    // label. The caller keeps it within the fields (32 bytes, 16 UCS-2 units).
    virtual void SetVolumeLabel(const char* label) = 0;
    // Build with named fields; the positional Build above is kept as its
    // adapter.
    virtual void Build(const DescriptorSetPlan& plan) = 0;
};

class IIsoDesc : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual IIsoDesc* SetSource(IIsoSector* source) = 0;
    // The 34-byte root record of the primary descriptor; false when sector
    // 16 cannot be read.
    virtual bool GetRootRecord(std::uint8_t record[34]) = 0;
    // The Joliet descriptor's root record; all zero when there is none.
    virtual bool GetJolietRootRecord(std::uint8_t record[34]) = 0;
    // Descriptor sectors from 16 through the terminator (or the image's end).
    virtual std::int32_t GetDescriptorCount() = 0;
    // 2 when the source has a Joliet descriptor, else 1.
    virtual std::int32_t GetJolietMode() = 0;
    // The set of the source with the save's trees (arguments as for
    // IBuildDesc::Build), every other field kept; the El Torito boot record
    // at sector 17 as bootOption says, naming bootCatalogSector. An empty
    // set (GetSectorCount 0) when the source's set cannot be read whole.
    virtual void Build(std::uint32_t mode, std::uint32_t volumeSectors, std::uint32_t ptSize,
                       std::uint32_t ptSector, std::uint32_t rootExtent, std::uint32_t rootSize,
                       std::uint32_t jPtSize, std::uint32_t jPtSector, std::uint32_t jRootExtent,
                       std::uint32_t jRootSize, std::uint32_t bootCatalogSector,
                       std::uint32_t bootOption) = 0;
    virtual bool CopyTo(CByteBuffer& out) = 0;
    virtual bool HasBootRecord() = 0;
    // The boot image's first sector (the catalog's load RBA); mediaType gets
    // the catalog's media type. 0 and media type 0 when the source has no
    // usable boot record.
    virtual std::uint32_t GetBootInfo(std::uint32_t& mediaType) = 0;

    virtual std::int32_t GetSectorCount() = 0;
    virtual void SetBuildTime(platform::FileTime time) = 0;
    // The catalog's sector count (512-byte sectors loaded at boot); 0 when
    // there is no boot record.
    virtual std::uint32_t GetBootLoadSectorCount() = 0;
    // The boot catalog's sector; 0 when there is no boot record.
    virtual std::uint32_t GetBootCatalogSector() = 0;
    // 2 or 3 when the source also carries a UDF file system (the version of
    // its NSR descriptor), else 0.
    virtual std::uint32_t GetUdfNsrVersion() = 0;
    // The volume's texts and dates the next Build writes into the primary
    // and the Joliet descriptor (a date left empty as the save sets it);
    // null keeps those of the source.
    virtual void SetVolumeProperties(const iso::VolumeProperties* properties) = 0;
    // Build with named fields; the positional Build above is kept as its
    // adapter.
    virtual void Build(const DescriptorSetPlan& plan) = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IBuildDesc, NEW_DESCNEW, NEW_00_DESCNEW)
TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoDesc, Desc1, Desc2)
