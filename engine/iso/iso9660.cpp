// Numbers, descriptors, directory records, path tables and the El Torito
// structures. Dates live in iso9660_dates.cpp, names in iso9660_names.cpp
// and the recognition of an image in iso9660_recognition.cpp.

#include "iso/iso9660.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace tarvelin::iso {

namespace {

// Every helper checks its own field against the span, so even a wrong
// offset in a caller cannot touch memory outside it.
bool FieldFits(std::size_t size, std::size_t offset, std::size_t width)
{
    const bool fits = offset <= size && width <= size - offset;
    assert(fits && "field outside the bytes given");
    return fits;
}

std::uint8_t ByteOf(std::uint32_t value, int shift) { return static_cast<std::uint8_t>((value >> shift) & 0xFF); }

void PutText(Bytes bytes, std::size_t offset, std::string_view text)
{
    if (FieldFits(bytes.size(), offset, text.size())) {
        std::memcpy(bytes.data() + offset, text.data(), text.size());
    }
}

bool TextAt(ConstBytes bytes, std::size_t offset, std::string_view text)
{
    return offset <= bytes.size() && text.size() <= bytes.size() - offset
        && std::memcmp(bytes.data() + offset, text.data(), text.size()) == 0;
}

std::string StringAt(ConstBytes bytes, std::size_t offset, std::size_t length)
{
    if (!FieldFits(bytes.size(), offset, length)) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(bytes.data() + offset), length);
}

template <std::size_t N>
void PutArray(Bytes bytes, std::size_t offset, const std::array<std::uint8_t, N>& field)
{
    if (FieldFits(bytes.size(), offset, N)) {
        std::copy(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
}

template <std::size_t N>
std::array<std::uint8_t, N> ReadArray(ConstBytes bytes, std::size_t offset)
{
    std::array<std::uint8_t, N> field{};
    if (FieldFits(bytes.size(), offset, N)) {
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), N, field.begin());
    }
    return field;
}

template <typename T>
std::optional<T> Refuse(DecodeReport* report, const char* problem)
{
    if (report != nullptr) {
        report->problem = problem;
    }
    return std::nullopt;
}

void NoteMismatch(DecodeReport* report, bool mismatch)
{
    if (report != nullptr && mismatch) {
        report->endianMismatch = true;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Numbers

void PutLe16(Bytes bytes, std::size_t offset, std::uint16_t value)
{
    if (FieldFits(bytes.size(), offset, 2)) {
        bytes[offset] = ByteOf(value, 0);
        bytes[offset + 1] = ByteOf(value, 8);
    }
}

void PutBe16(Bytes bytes, std::size_t offset, std::uint16_t value)
{
    if (FieldFits(bytes.size(), offset, 2)) {
        bytes[offset] = ByteOf(value, 8);
        bytes[offset + 1] = ByteOf(value, 0);
    }
}

void PutBoth16(Bytes bytes, std::size_t offset, std::uint16_t value)
{
    if (FieldFits(bytes.size(), offset, 4)) {
        PutLe16(bytes, offset, value);
        PutBe16(bytes, offset + 2, value);
    }
}

void PutLe32(Bytes bytes, std::size_t offset, std::uint32_t value)
{
    if (FieldFits(bytes.size(), offset, 4)) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + static_cast<std::size_t>(i)] = ByteOf(value, 8 * i);
        }
    }
}

void PutBe32(Bytes bytes, std::size_t offset, std::uint32_t value)
{
    if (FieldFits(bytes.size(), offset, 4)) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + static_cast<std::size_t>(i)] = ByteOf(value, 24 - 8 * i);
        }
    }
}

void PutBoth32(Bytes bytes, std::size_t offset, std::uint32_t value)
{
    if (FieldFits(bytes.size(), offset, 8)) {
        PutLe32(bytes, offset, value);
        PutBe32(bytes, offset + 4, value);
    }
}

std::uint16_t ReadLe16(ConstBytes bytes, std::size_t offset)
{
    if (!FieldFits(bytes.size(), offset, 2)) {
        return 0;
    }
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint16_t ReadBe16(ConstBytes bytes, std::size_t offset)
{
    if (!FieldFits(bytes.size(), offset, 2)) {
        return 0;
    }
    return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

std::uint32_t ReadLe32(ConstBytes bytes, std::size_t offset)
{
    if (!FieldFits(bytes.size(), offset, 4)) {
        return 0;
    }
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
    }
    return value;
}

std::uint32_t ReadBe32(ConstBytes bytes, std::size_t offset)
{
    if (!FieldFits(bytes.size(), offset, 4)) {
        return 0;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | bytes[offset + i];
    }
    return value;
}

std::uint16_t ReadBoth16(ConstBytes bytes, std::size_t offset, bool* mismatch)
{
    if (!FieldFits(bytes.size(), offset, 4)) {
        return 0;
    }
    const std::uint16_t little = ReadLe16(bytes, offset);
    if (mismatch != nullptr && little != ReadBe16(bytes, offset + 2)) {
        *mismatch = true;
    }
    return little;
}

std::uint32_t ReadBoth32(ConstBytes bytes, std::size_t offset, bool* mismatch)
{
    if (!FieldFits(bytes.size(), offset, 8)) {
        return 0;
    }
    const std::uint32_t little = ReadLe32(bytes, offset);
    if (mismatch != nullptr && little != ReadBe32(bytes, offset + 4)) {
        *mismatch = true;
    }
    return little;
}

// Recording date (ECMA-119 9.1.5); its conversions are in iso9660_dates.cpp.

void PutRecordingDate(Bytes bytes, std::size_t offset, const RecordingDate& date)
{
    if (!FieldFits(bytes.size(), offset, kRecordingDateSize)) {
        return;
    }
    bytes[offset + 0] = date.yearsSince1900;
    bytes[offset + 1] = date.month;
    bytes[offset + 2] = date.day;
    bytes[offset + 3] = date.hour;
    bytes[offset + 4] = date.minute;
    bytes[offset + 5] = date.second;
    bytes[offset + 6] = static_cast<std::uint8_t>(date.gmtOffset);
}

RecordingDate ReadRecordingDate(ConstBytes bytes, std::size_t offset)
{
    RecordingDate date;
    if (!FieldFits(bytes.size(), offset, kRecordingDateSize)) {
        return date;
    }
    date.yearsSince1900 = bytes[offset + 0];
    date.month = bytes[offset + 1];
    date.day = bytes[offset + 2];
    date.hour = bytes[offset + 3];
    date.minute = bytes[offset + 4];
    date.second = bytes[offset + 5];
    date.gmtOffset = static_cast<std::int8_t>(bytes[offset + 6]);
    return date;
}

// ---------------------------------------------------------------------------
// Descriptor header and terminator

void PutDescriptorHeader(Bytes sector, DescriptorType type)
{
    if (FieldFits(sector.size(), 0, kDescriptorHeaderSize)) {
        sector[0] = static_cast<std::uint8_t>(type);
        PutText(sector, 1, kStandardIdentifier);
        sector[6] = kDescriptorVersion;
    }
}

bool HasDescriptorHeader(ConstBytes sector, DescriptorType type)
{
    return sector.size() >= kDescriptorHeaderSize && sector[0] == static_cast<std::uint8_t>(type)
        && TextAt(sector, 1, kStandardIdentifier) && sector[6] == kDescriptorVersion;
}

bool EncodeTerminator(Bytes sector)
{
    if (sector.size() < kSectorSize) {
        return false;
    }
    std::fill_n(sector.begin(), kSectorSize, std::uint8_t{0});
    PutDescriptorHeader(sector, DescriptorType::Terminator);
    return true;
}

// ---------------------------------------------------------------------------
// Directory records

bool StartsWithXaRecord(std::string_view systemUse)
{
    return systemUse.size() >= kXaRecordSize && systemUse.substr(6, 2) == "XA";
}

bool IsXaForm2File(std::string_view systemUse)
{
    if (!StartsWithXaRecord(systemUse)) {
        return false;
    }
    const auto attributes = static_cast<std::uint16_t>((static_cast<std::uint8_t>(systemUse[4]) << 8)
                                                       | static_cast<std::uint8_t>(systemUse[5]));
    return (attributes & (kXaForm1 | kXaForm2)) == kXaForm2;
}

std::size_t DirectoryRecordSize(std::size_t identifierLength, std::size_t systemUseLength)
{
    if (identifierLength == 0 || identifierLength > kMaxDirectoryRecordSize
        || systemUseLength > kMaxDirectoryRecordSize) {
        return 0;
    }
    const std::size_t padding = identifierLength % 2 == 0 ? 1 : 0;
    const std::size_t size = kDirectoryRecordFixedSize + identifierLength + padding + systemUseLength;
    return size <= kMaxDirectoryRecordSize ? size : 0;
}

std::size_t DirectoryRecordSize(const DirectoryRecord& record)
{
    return DirectoryRecordSize(record.identifier.size(), record.systemUse.size());
}

std::size_t EncodeDirectoryRecord(const DirectoryRecord& record, Bytes out)
{
    const std::size_t size = DirectoryRecordSize(record);
    if (size == 0 || out.size() < size) {
        return 0;
    }
    using O = DirectoryRecordOffset;
    Bytes bytes = out.first(size);
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    bytes[O::kLength] = static_cast<std::uint8_t>(size);
    bytes[O::kExtendedAttributeLength] = record.extendedAttributeLength;
    PutBoth32(bytes, O::kExtent, record.extent);
    PutBoth32(bytes, O::kDataLength, record.dataLength);
    PutRecordingDate(bytes, O::kRecordingDate, record.date);
    bytes[O::kFlags] = record.flags;
    bytes[O::kFileUnitSize] = record.fileUnitSize;
    bytes[O::kInterleaveGap] = record.interleaveGap;
    PutBoth16(bytes, O::kVolumeSequenceNumber, record.volumeSequenceNumber);
    bytes[O::kIdentifierLength] = static_cast<std::uint8_t>(record.identifier.size());
    PutText(bytes, O::kIdentifier, record.identifier);
    PutText(bytes, size - record.systemUse.size(), record.systemUse);
    return size;
}

std::optional<DirectoryRecordView> DecodeDirectoryRecordView(ConstBytes bytes, DecodeReport* report)
{
    using O = DirectoryRecordOffset;
    if (bytes.empty()) {
        return Refuse<DirectoryRecordView>(report, "directory record: no bytes");
    }
    const std::size_t length = bytes[O::kLength];
    if (length < kDirectoryRecordFixedSize + 1) {
        return Refuse<DirectoryRecordView>(report, "directory record: length below 34");
    }
    if (length > bytes.size()) {
        return Refuse<DirectoryRecordView>(report, "directory record: runs past the end of its sector");
    }
    const ConstBytes record = bytes.first(length);
    const std::size_t identifierLength = record[O::kIdentifierLength];
    if (identifierLength == 0) {
        return Refuse<DirectoryRecordView>(report, "directory record: empty identifier");
    }
    if (kDirectoryRecordFixedSize + identifierLength > length) {
        return Refuse<DirectoryRecordView>(report, "directory record: identifier runs past the record");
    }

    const auto text = [&record](std::size_t offset, std::size_t count) {
        return std::string_view(reinterpret_cast<const char*>(record.data()) + offset, count);
    };
    DirectoryRecordView decoded;
    bool mismatch = false;
    decoded.extendedAttributeLength = record[O::kExtendedAttributeLength];
    decoded.extent = ReadBoth32(record, O::kExtent, &mismatch);
    decoded.dataLength = ReadBoth32(record, O::kDataLength, &mismatch);
    decoded.date = ReadRecordingDate(record, O::kRecordingDate);
    decoded.flags = record[O::kFlags];
    decoded.fileUnitSize = record[O::kFileUnitSize];
    decoded.interleaveGap = record[O::kInterleaveGap];
    decoded.volumeSequenceNumber = ReadBoth16(record, O::kVolumeSequenceNumber, &mismatch);
    decoded.identifier = text(O::kIdentifier, identifierLength);
    // The padding byte after an even identifier is part of the fixed layout;
    // a record too short to hold it simply has no system use bytes.
    std::size_t systemUseStart = O::kIdentifier + identifierLength + (identifierLength % 2 == 0 ? 1 : 0);
    systemUseStart = std::min(systemUseStart, length);
    decoded.systemUse = text(systemUseStart, length - systemUseStart);
    NoteMismatch(report, mismatch);
    return decoded;
}

std::optional<DirectoryRecord> DecodeDirectoryRecord(ConstBytes bytes, DecodeReport* report)
{
    const std::optional<DirectoryRecordView> view = DecodeDirectoryRecordView(bytes, report);
    if (!view) {
        return std::nullopt;
    }
    return view->As<std::string>();
}

namespace {

DirectoryRecord MakeDotRecord(std::uint8_t identifier, std::uint32_t extent, std::uint32_t dataLength)
{
    DirectoryRecord record;
    record.extent = extent;
    record.dataLength = dataLength;
    record.flags = DirectoryFlags::kDirectory;
    record.identifier.assign(1, static_cast<char>(identifier));
    return record;
}

} // namespace

DirectoryRecord MakeSelfRecord(std::uint32_t extent, std::uint32_t dataLength)
{
    return MakeDotRecord(kSelfIdentifier, extent, dataLength);
}

DirectoryRecord MakeParentRecord(std::uint32_t extent, std::uint32_t dataLength)
{
    return MakeDotRecord(kParentIdentifier, extent, dataLength);
}

DirectoryRecord MakeRootRecord(std::uint32_t extent, std::uint32_t dataLength, platform::FileTime buildTime)
{
    DirectoryRecord record = MakeSelfRecord(extent, dataLength);
    record.date = RecordingDateFromFileTime(buildTime);
    return record;
}

std::size_t PlaceDirectoryRecord(std::size_t used, std::size_t recordSize)
{
    const std::size_t inSector = used % kSectorSize;
    if (inSector != 0 && inSector + recordSize > kSectorSize) {
        return used - inSector + kSectorSize;
    }
    return used;
}

std::uint32_t DirectoryDataLength(std::span<const std::size_t> childRecordSizes)
{
    std::size_t used = 2 * DirectoryRecordSize(1);
    for (const std::size_t size : childRecordSizes) {
        used = PlaceDirectoryRecord(used, size) + size;
    }
    const std::size_t sectors = (used + kSectorSize - 1) / kSectorSize;
    return static_cast<std::uint32_t>(std::max<std::size_t>(sectors, 1) * kSectorSize);
}

void DecodeDirectorySectorViews(ConstBytes sector, DirectorySectorViews& decoded)
{
    decoded.records.clear();
    decoded.damaged = false;
    decoded.endianMismatch = false;
    std::size_t offset = 0;
    while (offset < sector.size() && sector[offset] != 0) {
        DecodeReport report;
        std::optional<DirectoryRecordView> record = DecodeDirectoryRecordView(sector.subspan(offset), &report);
        if (!record) {
            decoded.damaged = true;
            break;
        }
        decoded.endianMismatch = decoded.endianMismatch || report.endianMismatch;
        offset += sector[offset];
        decoded.records.push_back(*record);
    }
}

DirectorySectorRecords DecodeDirectorySector(ConstBytes sector)
{
    DirectorySectorViews views;
    DecodeDirectorySectorViews(sector, views);
    DirectorySectorRecords result;
    result.damaged = views.damaged;
    result.endianMismatch = views.endianMismatch;
    result.records.reserve(views.records.size());
    for (const DirectoryRecordView& view : views.records) {
        result.records.push_back(view.As<std::string>());
    }
    return result;
}

// ---------------------------------------------------------------------------
// Primary and supplementary volume descriptors

bool EncodeVolumeDescriptor(const VolumeDescriptor& descriptor, Bytes sector)
{
    if (sector.size() < kSectorSize
        || (descriptor.type != DescriptorType::Primary && descriptor.type != DescriptorType::Supplementary)
        || DirectoryRecordSize(descriptor.rootRecord) != kRootRecordSize) {
        return false;
    }
    using O = VolumeDescriptorOffset;
    Bytes bytes = sector.first(kSectorSize);
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    PutDescriptorHeader(bytes, descriptor.type);
    bytes[O::kVolumeFlags] = descriptor.volumeFlags;
    PutArray(bytes, O::kSystemIdentifier, descriptor.systemIdentifier);
    PutArray(bytes, O::kVolumeIdentifier, descriptor.volumeIdentifier);
    PutBoth32(bytes, O::kVolumeSpaceSize, descriptor.volumeSpaceSize);
    PutArray(bytes, O::kEscapeSequences, descriptor.escapeSequences);
    PutBoth16(bytes, O::kVolumeSetSize, descriptor.volumeSetSize);
    PutBoth16(bytes, O::kVolumeSequenceNumber, descriptor.volumeSequenceNumber);
    PutBoth16(bytes, O::kLogicalBlockSize, descriptor.logicalBlockSize);
    PutBoth32(bytes, O::kPathTableSize, descriptor.pathTableSize);
    PutLe32(bytes, O::kTypeLPathTable, descriptor.typeLPathTable);
    PutLe32(bytes, O::kOptionalTypeLPathTable, descriptor.optionalTypeLPathTable);
    PutBe32(bytes, O::kTypeMPathTable, descriptor.typeMPathTable);
    PutBe32(bytes, O::kOptionalTypeMPathTable, descriptor.optionalTypeMPathTable);
    EncodeDirectoryRecord(descriptor.rootRecord, bytes.subspan(O::kRootDirectoryRecord, kRootRecordSize));
    PutArray(bytes, O::kVolumeSetIdentifier, descriptor.volumeSetIdentifier);
    PutArray(bytes, O::kPublisherIdentifier, descriptor.publisherIdentifier);
    PutArray(bytes, O::kDataPreparerIdentifier, descriptor.dataPreparerIdentifier);
    PutArray(bytes, O::kApplicationIdentifier, descriptor.applicationIdentifier);
    PutArray(bytes, O::kCopyrightFileIdentifier, descriptor.copyrightFileIdentifier);
    PutArray(bytes, O::kAbstractFileIdentifier, descriptor.abstractFileIdentifier);
    PutArray(bytes, O::kBibliographicFileIdentifier, descriptor.bibliographicFileIdentifier);
    PutArray(bytes, O::kCreationDate, descriptor.creationDate);
    PutArray(bytes, O::kModificationDate, descriptor.modificationDate);
    PutArray(bytes, O::kExpirationDate, descriptor.expirationDate);
    PutArray(bytes, O::kEffectiveDate, descriptor.effectiveDate);
    bytes[O::kFileStructureVersion] = descriptor.fileStructureVersion;
    PutArray(bytes, O::kApplicationUse, descriptor.applicationUse);
    return true;
}

std::optional<VolumeDescriptor> DecodeVolumeDescriptor(ConstBytes sector, DecodeReport* report)
{
    using O = VolumeDescriptorOffset;
    if (sector.size() < kSectorSize) {
        return Refuse<VolumeDescriptor>(report, "volume descriptor: shorter than a sector");
    }
    VolumeDescriptor decoded;
    if (HasDescriptorHeader(sector, DescriptorType::Primary)) {
        decoded.type = DescriptorType::Primary;
    } else if (HasDescriptorHeader(sector, DescriptorType::Supplementary)) {
        decoded.type = DescriptorType::Supplementary;
    } else {
        return Refuse<VolumeDescriptor>(report, "volume descriptor: not a primary or supplementary descriptor");
    }
    bool mismatch = false;
    decoded.logicalBlockSize = ReadBoth16(sector, O::kLogicalBlockSize, &mismatch);
    if (decoded.logicalBlockSize != kSectorSize) {
        return Refuse<VolumeDescriptor>(report, "volume descriptor: logical block size is not 2048");
    }
    DecodeReport rootReport;
    std::optional<DirectoryRecord> root =
        DecodeDirectoryRecord(sector.subspan(O::kRootDirectoryRecord, kRootRecordSize), &rootReport);
    if (!root || sector[O::kRootDirectoryRecord] != kRootRecordSize || !root->IsSelf() || !root->IsDirectory()) {
        return Refuse<VolumeDescriptor>(report, "volume descriptor: root directory record is not a directory");
    }
    mismatch = mismatch || rootReport.endianMismatch;
    decoded.rootRecord = std::move(*root);
    decoded.volumeFlags = sector[O::kVolumeFlags];
    decoded.systemIdentifier = ReadArray<32>(sector, O::kSystemIdentifier);
    decoded.volumeIdentifier = ReadArray<32>(sector, O::kVolumeIdentifier);
    decoded.volumeSpaceSize = ReadBoth32(sector, O::kVolumeSpaceSize, &mismatch);
    decoded.escapeSequences = ReadArray<32>(sector, O::kEscapeSequences);
    decoded.volumeSetSize = ReadBoth16(sector, O::kVolumeSetSize, &mismatch);
    decoded.volumeSequenceNumber = ReadBoth16(sector, O::kVolumeSequenceNumber, &mismatch);
    decoded.pathTableSize = ReadBoth32(sector, O::kPathTableSize, &mismatch);
    decoded.typeLPathTable = ReadLe32(sector, O::kTypeLPathTable);
    decoded.optionalTypeLPathTable = ReadLe32(sector, O::kOptionalTypeLPathTable);
    decoded.typeMPathTable = ReadBe32(sector, O::kTypeMPathTable);
    decoded.optionalTypeMPathTable = ReadBe32(sector, O::kOptionalTypeMPathTable);
    decoded.volumeSetIdentifier = ReadArray<128>(sector, O::kVolumeSetIdentifier);
    decoded.publisherIdentifier = ReadArray<128>(sector, O::kPublisherIdentifier);
    decoded.dataPreparerIdentifier = ReadArray<128>(sector, O::kDataPreparerIdentifier);
    decoded.applicationIdentifier = ReadArray<128>(sector, O::kApplicationIdentifier);
    decoded.copyrightFileIdentifier = ReadArray<37>(sector, O::kCopyrightFileIdentifier);
    decoded.abstractFileIdentifier = ReadArray<37>(sector, O::kAbstractFileIdentifier);
    decoded.bibliographicFileIdentifier = ReadArray<37>(sector, O::kBibliographicFileIdentifier);
    decoded.creationDate = ReadArray<17>(sector, O::kCreationDate);
    decoded.modificationDate = ReadArray<17>(sector, O::kModificationDate);
    decoded.expirationDate = ReadArray<17>(sector, O::kExpirationDate);
    decoded.effectiveDate = ReadArray<17>(sector, O::kEffectiveDate);
    decoded.fileStructureVersion = sector[O::kFileStructureVersion];
    decoded.applicationUse = ReadArray<512>(sector, O::kApplicationUse);
    NoteMismatch(report, mismatch);
    return decoded;
}

JolietLevel JolietLevelOf(const VolumeDescriptor& descriptor)
{
    const auto& escape = descriptor.escapeSequences;
    if (descriptor.type != DescriptorType::Supplementary || escape[0] != 0x25 || escape[1] != 0x2F) {
        return JolietLevel::None;
    }
    switch (escape[2]) {
    case 0x40: return JolietLevel::Level1; // %/@
    case 0x43: return JolietLevel::Level2; // %/C
    case 0x45: return JolietLevel::Level3; // %/E
    default: return JolietLevel::None;
    }
}

// ---------------------------------------------------------------------------
// El Torito boot record and boot catalog

BootRecord MakeElToritoBootRecord(std::uint32_t catalogSector)
{
    BootRecord record;
    PutTextField(record.bootSystemIdentifier, kElToritoSystemIdentifier);
    record.catalogSector = catalogSector;
    return record;
}

bool EncodeBootRecord(const BootRecord& record, Bytes sector)
{
    if (sector.size() < kSectorSize) {
        return false;
    }
    using O = BootRecordOffset;
    Bytes bytes = sector.first(kSectorSize);
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    PutDescriptorHeader(bytes, DescriptorType::BootRecord);
    PutArray(bytes, O::kBootSystemIdentifier, record.bootSystemIdentifier);
    PutArray(bytes, O::kBootIdentifier, record.bootIdentifier);
    PutLe32(bytes, O::kCatalogSector, record.catalogSector);
    return true;
}

std::optional<BootRecord> DecodeBootRecord(ConstBytes sector, DecodeReport* report)
{
    using O = BootRecordOffset;
    if (sector.size() < kSectorSize) {
        return Refuse<BootRecord>(report, "boot record: shorter than a sector");
    }
    if (!HasDescriptorHeader(sector, DescriptorType::BootRecord)) {
        return Refuse<BootRecord>(report, "boot record: not a boot record descriptor");
    }
    BootRecord decoded;
    decoded.bootSystemIdentifier = ReadArray<32>(sector, O::kBootSystemIdentifier);
    decoded.bootIdentifier = ReadArray<32>(sector, O::kBootIdentifier);
    decoded.catalogSector = ReadLe32(sector, O::kCatalogSector);
    return decoded;
}

bool IsElToritoBootRecord(ConstBytes sector)
{
    return HasDescriptorHeader(sector, DescriptorType::BootRecord)
        && TextAt(sector, BootRecordOffset::kBootSystemIdentifier,
                  kElToritoSystemIdentifier.substr(0, kElToritoComparedLength));
}

std::uint16_t ValidationEntryChecksum(ConstBytes entry)
{
    if (!FieldFits(entry.size(), 0, kValidationEntrySize)) {
        return 0;
    }
    std::uint32_t sum = 0;
    for (std::size_t offset = 0; offset < kValidationEntrySize; offset += 2) {
        if (offset != BootCatalogOffset::kChecksum) {
            sum += ReadLe16(entry, offset);
        }
    }
    return static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
}

bool EncodeBootCatalog(const BootCatalog& catalog, Bytes sector)
{
    if (sector.size() < kSectorSize) {
        return false;
    }
    using O = BootCatalogOffset;
    Bytes bytes = sector.first(kSectorSize);
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    bytes[O::kHeaderId] = 1;
    bytes[O::kPlatformId] = catalog.platformId;
    PutArray(bytes, O::kIdString, catalog.idString);
    bytes[O::kKeyBytes] = 0x55;
    bytes[O::kKeyBytes + 1] = 0xAA;
    PutLe16(bytes, O::kChecksum, ValidationEntryChecksum(bytes));
    bytes[O::kBootIndicator] = catalog.bootIndicator;
    bytes[O::kMediaType] = catalog.mediaType;
    PutLe16(bytes, O::kLoadSegment, catalog.loadSegment);
    bytes[O::kSystemType] = catalog.systemType;
    PutLe16(bytes, O::kSectorCount, catalog.sectorCount);
    PutLe32(bytes, O::kLoadRba, catalog.loadRba);
    return true;
}

std::optional<BootCatalog> DecodeBootCatalog(ConstBytes sector, DecodeReport* report)
{
    using O = BootCatalogOffset;
    if (sector.size() < kSectorSize) {
        return Refuse<BootCatalog>(report, "boot catalog: shorter than a sector");
    }
    if (sector[O::kHeaderId] != 1 || sector[O::kKeyBytes] != 0x55 || sector[O::kKeyBytes + 1] != 0xAA) {
        return Refuse<BootCatalog>(report, "boot catalog: no validation entry");
    }
    if (ReadLe16(sector, O::kChecksum) != ValidationEntryChecksum(sector)) {
        return Refuse<BootCatalog>(report, "boot catalog: validation entry checksum does not sum to zero");
    }
    const std::uint8_t indicator = sector[O::kBootIndicator];
    if (indicator != kBootable && indicator != kNotBootable) {
        return Refuse<BootCatalog>(report, "boot catalog: initial entry has an unknown boot indicator");
    }
    BootCatalog decoded;
    decoded.platformId = sector[O::kPlatformId];
    decoded.idString = ReadArray<24>(sector, O::kIdString);
    decoded.bootIndicator = indicator;
    decoded.mediaType = sector[O::kMediaType];
    decoded.loadSegment = ReadLe16(sector, O::kLoadSegment);
    decoded.systemType = sector[O::kSystemType];
    decoded.sectorCount = ReadLe16(sector, O::kSectorCount);
    decoded.loadRba = ReadLe32(sector, O::kLoadRba);
    return decoded;
}

namespace {

constexpr std::uint8_t kExtensionFollows = 0x20; // media type bit / extension flags bit

void PutBootEntry(Bytes entry, const BootEntry& boot, bool extensionFollows)
{
    using O = BootSectionOffset;
    entry[O::kBootIndicator] = boot.bootIndicator;
    entry[O::kMediaType] = static_cast<std::uint8_t>((boot.mediaType & ~kExtensionFollows)
                                                     | (extensionFollows ? kExtensionFollows : 0));
    PutLe16(entry, O::kLoadSegment, boot.loadSegment);
    entry[O::kSystemType] = boot.systemType;
    PutLe16(entry, O::kSectorCount, boot.sectorCount);
    PutLe32(entry, O::kLoadRba, boot.loadRba);
    PutArray(entry, O::kCriteria, boot.criteria);
}

BootEntry ReadBootEntry(ConstBytes entry)
{
    using O = BootSectionOffset;
    BootEntry boot;
    boot.bootIndicator = entry[O::kBootIndicator];
    boot.mediaType = entry[O::kMediaType];
    boot.loadSegment = ReadLe16(entry, O::kLoadSegment);
    boot.systemType = entry[O::kSystemType];
    boot.sectorCount = ReadLe16(entry, O::kSectorCount);
    boot.loadRba = ReadLe32(entry, O::kLoadRba);
    boot.criteria = ReadArray<20>(entry, O::kCriteria);
    return boot;
}

} // namespace

std::vector<const BootEntry*> BootEntriesOf(const BootCatalogSet& catalog)
{
    std::vector<const BootEntry*> entries{&catalog.defaultEntry};
    for (const BootSection& section : catalog.sections) {
        for (const BootEntry& entry : section.entries) {
            entries.push_back(&entry);
        }
    }
    return entries;
}

std::vector<BootEntry*> BootEntriesOf(BootCatalogSet& catalog)
{
    std::vector<BootEntry*> entries{&catalog.defaultEntry};
    for (BootSection& section : catalog.sections) {
        for (BootEntry& entry : section.entries) {
            entries.push_back(&entry);
        }
    }
    return entries;
}

bool EncodeBootCatalogSet(const BootCatalogSet& catalog, Bytes sector)
{
    if (sector.size() < kSectorSize) {
        return false;
    }
    std::size_t records = 2;
    for (const BootSection& section : catalog.sections) {
        if (section.entries.size() > 0xFFFF) {
            return false;
        }
        records += 1;
        for (const BootEntry& entry : section.entries) {
            records += 1 + entry.extensions.size();
        }
    }
    if (records * kBootCatalogEntrySize > kSectorSize) {
        return false;
    }
    BootCatalog head;
    head.platformId = catalog.platformId;
    head.idString = catalog.idString;
    if (!EncodeBootCatalog(head, sector)) {
        return false;
    }
    Bytes bytes = sector.first(kSectorSize);
    if (catalog.reserved != std::array<std::uint8_t, 2>{}) {
        std::copy(catalog.reserved.begin(), catalog.reserved.end(), bytes.begin() + 2);
        PutLe16(bytes, BootCatalogOffset::kChecksum, ValidationEntryChecksum(bytes));
    }
    PutBootEntry(bytes.subspan(BootCatalogOffset::kBootIndicator, kBootCatalogEntrySize), catalog.defaultEntry, false);
    std::size_t at = BootCatalogOffset::kEntriesEnd;
    for (std::size_t s = 0; s < catalog.sections.size(); ++s) {
        const BootSection& section = catalog.sections[s];
        using O = BootSectionOffset;
        Bytes header = bytes.subspan(at, kBootCatalogEntrySize);
        header[O::kHeaderIndicator] = section.headerIndicator != 0 ? section.headerIndicator
                                      : s + 1 == catalog.sections.size() ? kSectionHeaderLast
                                                                         : kSectionHeaderMore;
        header[O::kPlatformId] = section.platformId;
        PutLe16(header, O::kEntryCount, static_cast<std::uint16_t>(section.entries.size()));
        PutArray(header, O::kIdString, section.idString);
        at += kBootCatalogEntrySize;
        for (const BootEntry& entry : section.entries) {
            PutBootEntry(bytes.subspan(at, kBootCatalogEntrySize), entry, !entry.extensions.empty());
            at += kBootCatalogEntrySize;
            for (std::size_t e = 0; e < entry.extensions.size(); ++e) {
                Bytes extension = bytes.subspan(at, kBootCatalogEntrySize);
                std::copy(entry.extensions[e].begin(), entry.extensions[e].end(), extension.begin());
                extension[0] = kExtensionEntryIndicator;
                extension[1] = static_cast<std::uint8_t>((extension[1] & ~kExtensionFollows)
                                                         | (e + 1 < entry.extensions.size() ? kExtensionFollows : 0));
                at += kBootCatalogEntrySize;
            }
        }
    }
    const std::size_t kept = std::min(catalog.trailing.size(), kSectorSize - at);
    std::copy_n(catalog.trailing.begin(), kept, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

std::optional<BootCatalogSet> DecodeBootCatalogSet(ConstBytes sector, DecodeReport* report)
{
    const std::optional<BootCatalog> head = DecodeBootCatalog(sector, report);
    if (!head) {
        return std::nullopt;
    }
    BootCatalogSet catalog;
    catalog.platformId = head->platformId;
    catalog.idString = head->idString;
    const ConstBytes bytes = sector.first(kSectorSize);
    catalog.reserved = ReadArray<2>(bytes, 2);
    catalog.defaultEntry = ReadBootEntry(bytes.subspan(BootCatalogOffset::kBootIndicator, kBootCatalogEntrySize));
    // Bit 5 of the media type belongs to section entries only.
    std::size_t at = BootCatalogOffset::kEntriesEnd;
    bool last = false;
    while (!last && at + kBootCatalogEntrySize <= kSectorSize) {
        using O = BootSectionOffset;
        const ConstBytes header = bytes.subspan(at, kBootCatalogEntrySize);
        const std::uint8_t indicator = header[O::kHeaderIndicator];
        if (indicator != kSectionHeaderMore && indicator != kSectionHeaderLast) {
            break; // no (further) sections: the rest of the sector is unused
        }
        last = indicator == kSectionHeaderLast;
        BootSection section;
        section.headerIndicator = indicator;
        section.platformId = header[O::kPlatformId];
        section.idString = ReadArray<28>(header, O::kIdString);
        const std::uint16_t count = ReadLe16(header, O::kEntryCount);
        at += kBootCatalogEntrySize;
        for (std::uint16_t i = 0; i < count; ++i) {
            if (at + kBootCatalogEntrySize > kSectorSize) {
                return Refuse<BootCatalogSet>(report, "boot catalog: a section runs past the catalog's sector");
            }
            const ConstBytes raw = bytes.subspan(at, kBootCatalogEntrySize);
            if (raw[O::kBootIndicator] != kBootable && raw[O::kBootIndicator] != kNotBootable) {
                return Refuse<BootCatalogSet>(report, "boot catalog: a section entry has an unknown boot indicator");
            }
            BootEntry entry = ReadBootEntry(raw);
            entry.mediaType = static_cast<std::uint8_t>(entry.mediaType & ~kExtensionFollows);
            at += kBootCatalogEntrySize;
            while (at + kBootCatalogEntrySize <= kSectorSize && bytes[at] == kExtensionEntryIndicator) {
                std::array<std::uint8_t, kBootCatalogEntrySize> extension{};
                std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), kBootCatalogEntrySize, extension.begin());
                entry.extensions.push_back(extension);
                at += kBootCatalogEntrySize;
            }
            section.entries.push_back(std::move(entry));
        }
        catalog.sections.push_back(std::move(section));
    }
    catalog.trailing.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    return catalog;
}

// ---------------------------------------------------------------------------
// Path tables

std::size_t PathTableRecordSize(std::size_t identifierLength)
{
    if (identifierLength == 0 || identifierLength > kMaxPathTableIdentifierLength) {
        return 0;
    }
    return PathTableOffset::kIdentifier + identifierLength + (identifierLength % 2 == 1 ? 1 : 0);
}

std::size_t EncodePathTableRecord(const PathTableRecord& record, PathTableOrder order, Bytes out)
{
    const std::size_t size = PathTableRecordSize(record.identifier.size());
    if (size == 0 || out.size() < size) {
        return 0;
    }
    using O = PathTableOffset;
    Bytes bytes = out.first(size);
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    bytes[O::kIdentifierLength] = static_cast<std::uint8_t>(record.identifier.size());
    bytes[O::kExtendedAttributeLength] = record.extendedAttributeLength;
    if (order == PathTableOrder::LittleEndian) {
        PutLe32(bytes, O::kExtent, record.extent);
        PutLe16(bytes, O::kParentNumber, record.parentNumber);
    } else {
        PutBe32(bytes, O::kExtent, record.extent);
        PutBe16(bytes, O::kParentNumber, record.parentNumber);
    }
    PutText(bytes, O::kIdentifier, record.identifier);
    return size;
}

std::optional<PathTableRecord> DecodePathTableRecord(ConstBytes bytes, PathTableOrder order, DecodeReport* report)
{
    using O = PathTableOffset;
    if (bytes.size() < O::kIdentifier) {
        return Refuse<PathTableRecord>(report, "path table record: truncated");
    }
    const std::size_t size = PathTableRecordSize(bytes[O::kIdentifierLength]);
    if (size == 0) {
        return Refuse<PathTableRecord>(report, "path table record: empty identifier");
    }
    // The padding byte after an odd identifier may be missing at the very
    // end of a table; the identifier itself must be there.
    if (O::kIdentifier + bytes[O::kIdentifierLength] > bytes.size()) {
        return Refuse<PathTableRecord>(report, "path table record: identifier runs past the table");
    }
    PathTableRecord decoded;
    decoded.extendedAttributeLength = bytes[O::kExtendedAttributeLength];
    if (order == PathTableOrder::LittleEndian) {
        decoded.extent = ReadLe32(bytes, O::kExtent);
        decoded.parentNumber = ReadLe16(bytes, O::kParentNumber);
    } else {
        decoded.extent = ReadBe32(bytes, O::kExtent);
        decoded.parentNumber = ReadBe16(bytes, O::kParentNumber);
    }
    decoded.identifier = StringAt(bytes, O::kIdentifier, bytes[O::kIdentifierLength]);
    return decoded;
}

PathTableRecord MakeRootPathTableRecord(std::uint32_t rootExtent)
{
    PathTableRecord record;
    record.extent = rootExtent;
    record.parentNumber = 1;
    record.identifier.assign(1, static_cast<char>(kSelfIdentifier));
    return record;
}

std::optional<std::vector<PathTableRecord>> DecodePathTable(ConstBytes table, PathTableOrder order,
                                                            DecodeReport* report)
{
    using Records = std::vector<PathTableRecord>;
    Records records;
    std::size_t offset = 0;
    while (offset < table.size()) {
        std::optional<PathTableRecord> record = DecodePathTableRecord(table.subspan(offset), order, report);
        if (!record) {
            return Refuse<Records>(report, report != nullptr ? report->problem : nullptr);
        }
        const bool isFirst = records.empty();
        if (isFirst && (record->identifier.size() != 1 || record->identifier[0] != '\0' || record->parentNumber != 1)) {
            return Refuse<Records>(report, "path table: first record is not the root");
        }
        // Numbers count from 1; every parent is written before its children.
        if (!isFirst && (record->parentNumber == 0 || record->parentNumber > records.size())) {
            return Refuse<Records>(report, "path table: parent number does not name an earlier directory");
        }
        offset += std::min(PathTableRecordSize(record->identifier.size()), table.size() - offset);
        records.push_back(std::move(*record));
    }
    if (records.empty()) {
        return Refuse<Records>(report, "path table: empty");
    }
    return records;
}

// ---------------------------------------------------------------------------
// The volume's properties inside an encoded descriptor.

namespace {

struct PropertyField {
    std::string VolumeProperties::*text;
    std::size_t offset;
    std::size_t width;
};

constexpr std::array<PropertyField, 4> kPropertyFields{{
    {&VolumeProperties::volumeIdentifier, VolumeDescriptorOffset::kVolumeIdentifier, 32},
    {&VolumeProperties::publisherIdentifier, VolumeDescriptorOffset::kPublisherIdentifier, 128},
    {&VolumeProperties::dataPreparerIdentifier, VolumeDescriptorOffset::kDataPreparerIdentifier, 128},
    {&VolumeProperties::applicationIdentifier, VolumeDescriptorOffset::kApplicationIdentifier, 128},
}};

std::optional<platform::FileTime> ReadVolumeDateAt(ConstBytes sector, std::size_t offset)
{
    VolumeDate date{};
    std::copy_n(sector.begin() + static_cast<std::ptrdiff_t>(offset), date.size(), date.begin());
    return FileTimeFromVolumeDate(date);
}

} // namespace

VolumeProperties ReadVolumeProperties(ConstBytes sector, bool joliet)
{
    VolumeProperties properties;
    if (sector.size() < kSectorSize) {
        return properties;
    }
    for (const PropertyField& field : kPropertyFields) {
        const ConstBytes bytes = sector.subspan(field.offset, field.width);
        properties.*field.text = joliet ? ReadJolietTextField(bytes) : ReadTextField(bytes);
    }
    properties.creationDate = ReadVolumeDateAt(sector, VolumeDescriptorOffset::kCreationDate);
    properties.modificationDate = ReadVolumeDateAt(sector, VolumeDescriptorOffset::kModificationDate);
    return properties;
}

void PutVolumeProperties(Bytes sector, const VolumeProperties& properties, bool joliet,
                         const VolumeProperties* unchanged)
{
    if (sector.size() < kSectorSize) {
        return;
    }
    for (const PropertyField& field : kPropertyFields) {
        if (unchanged != nullptr && properties.*field.text == unchanged->*field.text) {
            continue;
        }
        const Bytes bytes = sector.subspan(field.offset, field.width);
        std::string text = properties.*field.text;
        if (joliet) {
            PutJolietTextField(bytes, text, u' ');
            continue;
        }
        // d- and a-characters have no small letters.
        std::transform(text.begin(), text.end(), text.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
        PutPrimaryTextField(bytes, text);
    }
    const auto putDate = [sector](std::size_t offset, const std::optional<platform::FileTime>& time,
                                  const std::optional<platform::FileTime>* shown) {
        if (time && (shown == nullptr || *time != *shown)) {
            const VolumeDate date = VolumeDateFromFileTime(*time);
            std::copy(date.begin(), date.end(), sector.begin() + static_cast<std::ptrdiff_t>(offset));
        }
    };
    putDate(VolumeDescriptorOffset::kCreationDate, properties.creationDate,
            unchanged != nullptr ? &unchanged->creationDate : nullptr);
    putDate(VolumeDescriptorOffset::kModificationDate, properties.modificationDate,
            unchanged != nullptr ? &unchanged->modificationDate : nullptr);
}

} // namespace tarvelin::iso
