// Volume descriptors and the El Torito boot catalog of an image: the set
// from sector 16 as `info` reads it, every descriptor decoded, the Rock
// Ridge and UDF recognition, the boot record, the whole catalog and the
// boot image, and the descriptor set a save would write.
//
// What a save writes back is what was read: a decoded descriptor or boot
// catalog, encoded again, decodes to the same.

#include "fuzz_input.h"

#include "core/byte_buffer.h"
#include "edit/iso_edit.h"
#include "iso/rock_ridge.h"
#include "writer/descriptor_writer.h"

#include <array>
#include <optional>

using namespace tarvelin;

namespace {

using Sector = std::array<std::uint8_t, iso::kSectorSize>;

// The descriptors looked at; a set runs to the end of the image when it has
// no terminator.
constexpr std::uint32_t kMaxDescriptors = 32;

void CheckDescriptor(const Sector& sector)
{
    if (const std::optional<iso::VolumeDescriptor> descriptor = iso::DecodeVolumeDescriptor(sector)) {
        (void)iso::JolietLevelOf(*descriptor);
        (void)iso::ReadTextField(descriptor->volumeIdentifier);
        (void)iso::ReadJolietTextField(descriptor->volumeIdentifier);
        (void)iso::FileTimeFromVolumeDate(descriptor->creationDate);
        (void)iso::FileTimeFromVolumeDate(descriptor->modificationDate);
        (void)iso::FileTimeFromRecordingDate(descriptor->rootRecord.date);
        Sector encoded{};
        fuzz::Expect(iso::EncodeVolumeDescriptor(*descriptor, encoded), "a decoded descriptor encodes");
        fuzz::Expect(iso::DecodeVolumeDescriptor(encoded) == descriptor, "a descriptor encodes as it was read");
    }
    if (const std::optional<iso::BootRecord> record = iso::DecodeBootRecord(sector)) {
        Sector encoded{};
        fuzz::Expect(iso::EncodeBootRecord(*record, encoded), "a decoded boot record encodes");
        fuzz::Expect(iso::DecodeBootRecord(encoded) == record, "a boot record encodes as it was read");
    }
}

// The catalog a save writes back lists the same boot images, and reads back
// as it was written.
void CheckCatalog(const Sector& sector)
{
    (void)iso::DecodeBootCatalog(sector);
    const std::optional<iso::BootCatalogSet> read = iso::DecodeBootCatalogSet(sector);
    if (!read) {
        return;
    }
    Sector written{};
    fuzz::Expect(iso::EncodeBootCatalogSet(*read, written), "a catalog read from a sector fits one");
    const std::optional<iso::BootCatalogSet> again = iso::DecodeBootCatalogSet(written);
    fuzz::Expect(again.has_value(), "a written catalog reads back");
    const std::vector<const iso::BootEntry*> before = iso::BootEntriesOf(*read);
    const std::vector<const iso::BootEntry*> after = iso::BootEntriesOf(*again);
    fuzz::Expect(before.size() == after.size() && read->platformId == again->platformId
                     && read->sections.size() == again->sections.size(),
                 "a written catalog keeps its sections and entries");
    for (std::size_t i = 0; i < before.size(); ++i) {
        fuzz::Expect(before[i]->loadRba == after[i]->loadRba && before[i]->sectorCount == after[i]->sectorCount
                         && before[i]->bootIndicator == after[i]->bootIndicator
                         && (before[i]->mediaType & 0x0F) == (after[i]->mediaType & 0x0F)
                         && before[i]->extensions.size() == after[i]->extensions.size(),
                     "a written catalog keeps each entry");
    }
    Sector rewritten{};
    fuzz::Expect(iso::EncodeBootCatalogSet(*again, rewritten) && rewritten == written,
                 "a written catalog is written the same way again");
}

// The descriptor set of a save: the source's set with new places for the
// trees.
void CheckSavedSet(IIsoSector* sectors)
{
    ComponentPtr<IIsoDesc> desc(Desc1());
    fuzz::Expect(desc.get() != nullptr, "the descriptor component can be made");
    desc->SetSource(sectors);
    std::uint8_t root[iso::kRootRecordSize];
    (void)desc->GetRootRecord(root);
    (void)desc->GetJolietRootRecord(root);
    (void)desc->GetDescriptorCount();
    std::uint32_t mediaType = 0;
    (void)desc->GetBootInfo(mediaType);
    (void)desc->GetBootLoadSectorCount();
    (void)desc->GetBootCatalogSector();
    (void)desc->GetUdfNsrVersion();
    const std::uint32_t mode = static_cast<std::uint32_t>(desc->GetJolietMode());
    constexpr std::uint32_t kVolume = 1000;
    constexpr std::uint32_t kRoot = 40;
    desc->Build(mode, kVolume, 10, 20, kRoot, 2048, 10, 24, kRoot + 1, 2048, 30, kBootKeep);
    CByteBuffer set(256);
    if (!desc->CopyTo(set)) {
        return;
    }
    fuzz::Expect(set.GetSize() % iso::kSectorSize == 0 && set.GetSize() >= 2 * iso::kSectorSize,
                 "a saved set holds whole sectors, a terminator among them");
    const std::optional<iso::VolumeDescriptor> primary =
        iso::DecodeVolumeDescriptor(iso::ConstBytes(set.GetData(), iso::kSectorSize));
    fuzz::Expect(primary && primary->type == iso::DescriptorType::Primary && primary->volumeSpaceSize == kVolume
                     && primary->rootRecord.extent == kRoot,
                 "a saved set starts with the primary descriptor of the saved tree");
}

// What `info` reads; whether the image has a boot record.
bool ReadDescriptors(const std::string& path)
{
    ComponentPtr<IIsoSector> sectors(Sector1());
    fuzz::Expect(sectors.get() != nullptr, "the sector component can be made");
    if (!sectors->Open(path.c_str())) {
        return false;
    }
    const std::uint32_t count = sectors->GetSectorCount();
    const iso::SectorReader read = fuzz::ReaderOf(sectors.get());
    const iso::DescriptorSetInfo set = iso::ScanDescriptorSet(read, count);
    Sector sector{};
    for (std::uint32_t i = 0; i < set.descriptorCount && i < kMaxDescriptors; ++i) {
        if (read(iso::kFirstDescriptorSector + i, sector.data())) {
            CheckDescriptor(sector);
        }
    }
    if (set.jolietSector) {
        (void)iso::ReadVolumeDescriptor(read, count, *set.jolietSector);
    }
    (void)iso::ReadSuspVolume(read, count);

    const std::optional<iso::BootInfo> boot = iso::ReadBootInfo(read, count);
    if (boot) {
        fuzz::Expect(boot->catalogSector < count && boot->imageSector < count,
                     "a boot image and its catalog lie inside the image");
        fuzz::Expect(read(boot->catalogSector, sector.data()), "the catalog's sector reads");
        CheckCatalog(sector);
    }
    CheckSavedSet(sectors.get());
    return set.hasBootRecord;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::Inputs().Write("image.iso", data, size);
    // The image is open once at a time: an open image is held exclusively.
    if (!ReadDescriptors(path)) {
        return 0;
    }
    // The boot image as `boot save` writes it.
    ComponentPtr<IIsoEdit> edit(Edit1());
    fuzz::Expect(edit.get() != nullptr, "the edit component can be made");
    fuzz::Expect(edit->Open(path.c_str()), "an image that opened once opens again");
    edit->LoadTree();
    CByteBuffer image(4096);
    if (edit->HasBootImage() && edit->SaveBootImage(image)) {
        fuzz::Expect(image.GetSize() > 0, "a saved boot image holds bytes");
    }
    (void)edit->GetMediaType();
    return 0;
}
