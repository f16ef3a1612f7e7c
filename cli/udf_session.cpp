#include "udf_session.h"

#include "command.h"

#include "core/iso_sector.h"

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

int OpenUdfImage(iso::udf::ImageSectors& image, const std::string& imagePath, bool quiet)
{
    std::string problem;
    const iso::udf::ImageSectors::OpenResult opened = image.Open(imagePath, &problem);
    if (opened != iso::udf::ImageSectors::OpenResult::Ok && !quiet) {
        PrintError(problem);
    }
    switch (opened) {
    case iso::udf::ImageSectors::OpenResult::Ok:
        return kExitOk;
    case iso::udf::ImageSectors::OpenResult::NotAnImage:
        return kExitNotAnImage;
    case iso::udf::ImageSectors::OpenResult::Failed:
        break;
    }
    return kExitFailure;
}

int UdfSession::Open(const std::string& imagePath)
{
    if (const int status = OpenUdfImage(image_, imagePath); status != kExitOk) {
        return status;
    }
    return ReadTree(imagePath, false);
}

std::optional<int> UdfSession::OpenIfPresent(const std::string& imagePath)
{
    if (OpenUdfImage(image_, imagePath, true) != kExitOk) {
        image_.Close();
        return std::nullopt;
    }
    if (!Carried()) {
        Close();
        return std::nullopt;
    }
    // No ISO 9660 tree stands in: why the UDF one cannot be read is the error.
    const int status = ReadTree(imagePath, false);
    if (status != kExitOk) {
        Close();
    }
    return status;
}

bool UdfSession::UseIfPresent(IIsoSector& sectors, const std::string& imagePath)
{
    image_.Use(sectors);
    return ReadIfPresent(imagePath);
}

// An image of UDF alone begins with its recognition sequence; one with an
// ISO 9660 volume carries it behind its descriptor set.
bool UdfSession::Carried()
{
    return image_.UdfAlone() || iso::ScanDescriptorSet(image_.Reader(), image_.SectorCount()).HasUdf();
}

bool UdfSession::ReadIfPresent(const std::string& imagePath)
{
    if (Carried() && ReadTree(imagePath, true) == kExitOk) {
        return true;
    }
    Close();
    return false;
}

void UdfSession::Close()
{
    image_.Close();
    volume_ = {};
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
    if (const std::string damage = iso::udf::DescribeDamage(volume_.report); !damage.empty()) {
        PrintError("warning: the UDF tree of '" + imagePath + "' is damaged: " + damage);
    }
    return kExitOk;
}

bool OpenChosenTree(UdfSession& udf, ImageSession& iso, const std::string& imagePath, int* status)
{
    switch (SessionTree()) {
    case TreeSource::Iso:
        *status = iso.Open(imagePath);
        return false;
    case TreeSource::Udf:
        *status = udf.Open(imagePath);
        return *status == kExitOk;
    case TreeSource::Automatic:
        break;
    }
    // The image is opened once (an editing facade may hold its file for
    // itself): the UDF reader reads through the ISO 9660 session's sectors.
    // What the ISO 9660 side has to say is held until that tree is chosen.
    *status = iso.OpenHeld(imagePath);
    if (IIsoSector* sectors = iso.Sectors(); sectors != nullptr) {
        if (udf.UseIfPresent(*sectors, imagePath)) {
            // An ISO 9660 tree that cannot be read reaches none of the files.
            if (*status != kExitOk || !iso.ShowsRockRidgeNames()
                || iso::udf::HoldsFilesBeyond(udf.Volume(), iso::udf::IsoFilePlaces(iso.Edit()))) {
                *status = kExitOk;
                return true;
            }
            udf.Close();
        }
    } else if (*status == kExitNotAnImage) {
        // No ISO 9660 volume: perhaps an image of UDF alone.
        iso.Close();
        if (const std::optional<int> udfStatus = udf.OpenIfPresent(imagePath)) {
            *status = *udfStatus;
            return *udfStatus == kExitOk;
        }
    }
    iso.ReportHeld();
    return false;
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
