// The path tables of an image: the L and M tables (and their optional
// copies) that the primary and the Joliet descriptor name, read as a whole
// and decoded record by record. A decoded table, encoded again, decodes to
// the same records.

#include "fuzz_input.h"

#include <optional>
#include <vector>

using namespace tarvelin;

namespace {

void CheckTable(IIsoSector* sectors, std::uint32_t location, std::uint32_t size, iso::PathTableOrder order,
                bool joliet)
{
    const std::uint32_t count = sectors->GetSectorCount();
    const std::uint32_t spans = iso::SectorsFor(size);
    if (location == 0 || size == 0 || location >= count || spans > count - location) {
        return; // not there, or not inside the image
    }
    std::vector<std::uint8_t> bytes(std::size_t{spans} * iso::kSectorSize);
    if (!sectors->ReadSectors(location, bytes.data(), spans)) {
        return;
    }
    iso::DecodeReport report;
    const auto records = iso::DecodePathTable(iso::ConstBytes(bytes.data(), size), order, &report);
    if (!records) {
        fuzz::Expect(report.problem != nullptr, "a refused table says why");
        return;
    }
    std::vector<std::uint8_t> written;
    for (const iso::PathTableRecord& record : *records) {
        (void)(joliet ? iso::DecodeJolietIdentifier(record.identifier) : iso::DecodeIsoIdentifier(record.identifier));
        const std::size_t at = written.size();
        written.resize(at + iso::PathTableRecordSize(record.identifier.size()));
        fuzz::Expect(iso::EncodePathTableRecord(record, order, iso::Bytes(written).subspan(at)) != 0,
                     "a decoded record encodes");
    }
    fuzz::Expect(iso::DecodePathTable(written, order) == records, "a table encodes as it was read");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::Inputs().Write("image.iso", data, size);
    ComponentPtr<IIsoSector> sectors(Sector1());
    fuzz::Expect(sectors.get() != nullptr, "the sector component can be made");
    if (!sectors->Open(path.c_str())) {
        return 0;
    }
    const std::uint32_t count = sectors->GetSectorCount();
    const iso::SectorReader read = fuzz::ReaderOf(sectors.get());
    const iso::DescriptorSetInfo set = iso::ScanDescriptorSet(read, count);
    std::vector<std::uint32_t> descriptors{iso::kFirstDescriptorSector};
    if (set.jolietSector) {
        descriptors.push_back(*set.jolietSector);
    }
    for (const std::uint32_t sector : descriptors) {
        const std::optional<iso::VolumeDescriptor> descriptor = iso::ReadVolumeDescriptor(read, count, sector);
        if (!descriptor) {
            continue;
        }
        const bool joliet = descriptor->type == iso::DescriptorType::Supplementary;
        const std::uint32_t tableSize = descriptor->pathTableSize;
        using Order = iso::PathTableOrder;
        CheckTable(sectors.get(), descriptor->typeLPathTable, tableSize, Order::LittleEndian, joliet);
        CheckTable(sectors.get(), descriptor->optionalTypeLPathTable, tableSize, Order::LittleEndian, joliet);
        CheckTable(sectors.get(), descriptor->typeMPathTable, tableSize, Order::BigEndian, joliet);
        CheckTable(sectors.get(), descriptor->optionalTypeMPathTable, tableSize, Order::BigEndian, joliet);
    }
    return 0;
}
