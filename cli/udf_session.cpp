#include "udf_session.h"

#include "command.h"
#include "image_session.h"

#include "core/iso_sector.h"

#include <algorithm>
#include <cstring>

namespace tarvelin::cli {

namespace {

TreeSource sessionTree = TreeSource::Automatic;

} // namespace

void SetSessionTree(TreeSource tree)
{
    sessionTree = tree;
}

TreeSource SessionTree()
{
    return sessionTree;
}

ItemInfo UdfItemInfo(const iso::udf::Node& node)
{
    ItemInfo info;
    info.name = node.name;
    info.size = node.size;
    info.isDirectory = node.isDirectory;
    info.date = node.date;
    if (node.isSymlink) {
        info.posix.known = true;
        info.posix.mode = iso::kModeSymlink | 0777;
        info.posix.linkTarget = node.linkTarget;
    }
    return info;
}

std::string UdfDamageText(const iso::udf::LoadReport& report)
{
    return CountedList({{report.badDescriptors, "damaged descriptors skipped"},
                        {report.malformedRecords, "malformed records skipped"},
                        {report.loopsRefused, "folders read twice or looping back, left empty"},
                        {report.extentsOutside, "entries lying beyond the end of the image"},
                        {report.tooDeep, "folders nested too deeply, left empty"}});
}

UdfImage::~UdfImage() { Close(); }

void UdfImage::Close()
{
    sectors_.reset();
    plain_.Close();
    read_ = nullptr;
    sectorCount_ = 0;
}

int UdfImage::Open(const std::string& imagePath, bool quiet)
{
    const auto printError = [quiet](const std::string& text) {
        if (!quiet) {
            PrintError(text);
        }
    };
    sectors_ = MakeComponent(Sector1);
    if (sectors_ == nullptr) {
        printError("cannot create the image component (out of memory)");
        return kExitFailure;
    }
    if (sectors_->Open(imagePath.c_str())) {
        IIsoSector* sectors = sectors_.get();
        read_ = [sectors](std::uint32_t sector, std::uint8_t* buffer) { return sectors->ReadSector(sector, buffer); };
        sectorCount_ = sectors_->GetSectorCount();
        return kExitOk;
    }
    if (sectors_->GetOpenError() != ImageOpenError::NoVolume) {
        printError(sectors_->GetLastError());
        return kExitFailure;
    }
    const std::string noVolume = sectors_->GetLastError();
    sectors_.reset();
    std::uint64_t length = 0;
    if (!plain_.Open(imagePath, platform::OpenMode::ReadShared) || !plain_.Length(length)) {
        printError(plain_.LastError());
        return kExitFailure;
    }
    constexpr std::uint64_t kMaxSectors = UINT32_MAX;
    sectorCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        (length + iso::udf::kUdfBlockSize - 1) / iso::udf::kUdfBlockSize, kMaxSectors));
    platform::File* file = &plain_;
    const std::uint64_t fileLength = length;
    read_ = [file, fileLength](std::uint32_t sector, std::uint8_t* buffer) {
        const std::uint64_t at = std::uint64_t{sector} * iso::udf::kUdfBlockSize;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(iso::udf::kUdfBlockSize, fileLength - at));
        std::memset(buffer, 0, iso::udf::kUdfBlockSize);
        return file->ReadAt(at, buffer, want) == want;
    };
    if (iso::UdfNsrVersionAt(read_, sectorCount_, iso::kFirstDescriptorSector) == 0) {
        printError(noVolume + "; nor does it begin with a UDF volume recognition sequence");
        return kExitNotAnImage;
    }
    return kExitOk;
}

int UdfSession::Open(const std::string& imagePath)
{
    if (const int status = image_.Open(imagePath); status != kExitOk) {
        return status;
    }
    return ReadTree(imagePath, false);
}

bool UdfSession::OpenIfPresent(const std::string& imagePath)
{
    if (image_.Open(imagePath, true) != kExitOk) {
        image_.Close();
        return false;
    }
    const bool carried = image_.Sectors() == nullptr
        || iso::ScanDescriptorSet(image_.Reader(), image_.SectorCount()).HasUdf();
    if (carried && ReadTree(imagePath, true) == kExitOk) {
        return true;
    }
    image_.Close();
    return false;
}

int UdfSession::ReadTree(const std::string& imagePath, bool fallBack)
{
    std::string problem;
    bool noVolume = false;
    std::optional<iso::udf::Volume> volume =
        iso::udf::ReadVolume(image_.Reader(), image_.SectorCount(), &problem, &noVolume);
    if (!volume) {
        if (fallBack) {
            PrintError("warning: the UDF tree of '" + imagePath + "' cannot be read (" + problem
                       + "); showing its ISO 9660 tree");
            return kExitFailure;
        }
        PrintError("cannot read the UDF tree of '" + imagePath + "': " + problem);
        return noVolume ? kExitNotAnImage : kExitFailure;
    }
    volume_ = std::move(*volume);
    if (const std::string damage = UdfDamageText(volume_.report); !damage.empty()) {
        PrintError("warning: the UDF tree of '" + imagePath + "' is damaged: " + damage);
    }
    return kExitOk;
}

bool OpenChosenUdfTree(UdfSession& udf, const std::string& imagePath, int* status)
{
    *status = kExitOk;
    switch (SessionTree()) {
    case TreeSource::Iso:
        return false;
    case TreeSource::Udf:
        *status = udf.Open(imagePath);
        return *status == kExitOk;
    case TreeSource::Automatic:
        break;
    }
    return udf.OpenIfPresent(imagePath);
}

std::int32_t UdfSession::Find(std::string_view path, std::string* problem) const
{
    return FindPath<std::int32_t>(
        0, -1, path, problem, [this](std::int32_t node) { return Node(node).isDirectory; },
        [this](std::int32_t node, const auto& visit) {
            for (const std::int32_t child : Node(node).children) {
                if (!visit(child, Node(child).name)) {
                    break;
                }
            }
        });
}

bool UdfSession::Read(const iso::udf::Node& node, std::uint64_t offset, std::uint8_t* buffer, std::size_t count,
                      std::string* problem)
{
    return iso::udf::ReadFileData(image_.Reader(), image_.SectorCount(), volume_, node, offset, buffer, count, problem);
}

} // namespace tarvelin::cli
