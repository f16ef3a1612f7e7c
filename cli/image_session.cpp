#include "image_session.h"

#include "command.h"

#include "core/image_file.h"
#include "core/iso_sector.h"
#include "platform/path.h"

#include <cstdio>
#include <vector>

namespace tarvelin::cli {

namespace {

NameSource sessionNames = NameSource::Automatic;

} // namespace

void SetSessionNameSource(NameSource source)
{
    sessionNames = source;
}

ImageSession::~ImageSession() = default;

int ImageSession::Open(const std::string& imagePath)
{
    holding_ = false;
    return Load(imagePath, false);
}

int ImageSession::OpenHeld(const std::string& imagePath)
{
    holding_ = true;
    return Load(imagePath, false);
}

void ImageSession::ReportHeld()
{
    for (const std::string& message : held_) {
        PrintError(message);
    }
    held_.clear();
    holding_ = false;
}

void ImageSession::Say(std::string message)
{
    if (holding_) {
        held_.push_back(std::move(message));
    } else {
        PrintError(message);
    }
}

void ImageSession::Close()
{
    edit_.reset();
    opened_ = false;
}

IIsoSector* ImageSession::Sectors()
{
    return opened_ ? edit_->GetSector() : nullptr;
}

bool ImageSession::ShowsRockRidgeNames()
{
    const bool asked = sessionNames == NameSource::RockRidge
        || (sessionNames == NameSource::Automatic && !platform::PrefersJolietNames());
    return asked && edit_->HasRockRidge();
}

int ImageSession::Load(const std::string& imagePath, bool forEditing)
{
    imagePath_ = imagePath;
    held_.clear();
    Close(); // the image before is let go before this one opens
    edit_ = MakeComponent(Edit1);
    if (edit_ == nullptr) {
        PrintError("cannot create the image component (out of memory)");
        return kExitFailure;
    }
    if (!edit_->Open(imagePath.c_str())) {
        Say(edit_->GetLastError());
        IIsoSector* sector = edit_->GetSector();
        const bool noVolume = sector != nullptr && sector->GetOpenError() == ImageOpenError::NoVolume;
        return noVolume ? kExitNotAnImage : kExitFailure;
    }
    opened_ = true;
    if (edit_->WasRecovered()) {
        PrintError("warning: a save of '" + imagePath + "' was interrupted; the image has been put back as it was "
                   "before that save");
    }
    edit_->SetNameSource(sessionNames);
    if (forEditing) {
        edit_->LoadTree();
    } else {
        edit_->LoadTreeForReading();
    }
    if (*edit_->GetLastError() != '\0') {
        Say("cannot read the tree of '" + imagePath + "': " + edit_->GetLastError());
        return kExitFailure;
    }
    if (const std::string sheet = UnfollowedCueSheetWarning(imagePath); !sheet.empty()) {
        Say("warning: " + sheet);
    }
    if (const std::string damage = DescribeTreeDamage(edit_->GetLoadReport()); !damage.empty()) {
        Say("warning: the tree of '" + imagePath + "' is damaged: " + damage);
    }
    return kExitOk;
}

int ImageSession::OpenForEditing(const std::string& imagePath)
{
    holding_ = false;
    if (const int status = Load(imagePath, true); status != kExitOk) {
        return status;
    }
    IIsoSector* sector = edit_->GetSector();
    if (sector != nullptr && sector->IsReadOnly()) {
        IImageFile* file = sector->GetFile();
        const std::string reason = file != nullptr ? file->GetReadOnlyReason() : "";
        PrintError("cannot edit '" + imagePath + "': it can only be read" + (reason.empty() ? "" : " (" + reason + ")")
                   + "; the image is unchanged");
        return kExitFailure;
    }
    return kExitOk;
}

DirNode* ImageSession::Find(std::string_view path, std::string* problem)
{
    return FindPath<DirNode*>(
        Root(), nullptr, path, problem, [this](DirNode* node) { return node == Root() || Info(node).isDirectory; },
        [this](DirNode* node, const auto& visit) {
            for (DirNode* child = edit_->GetFirstChild(node); child != nullptr && visit(child, Info(child).name);
                 child = edit_->GetNextSibling(child)) {
            }
        });
}

ItemInfo ImageSession::Info(DirNode* node)
{
    ItemInfo info;
    edit_->GetItemInfo(node, info);
    return info;
}

std::uint32_t ImageSession::Extent(DirNode* node)
{
    std::uint32_t extent = 0;
    edit_->GetItemExtent(node, extent);
    return extent;
}

void WarnOfDamagedSectors(IIsoSector* sectors, const std::string& imagePath)
{
    std::uint32_t first = 0;
    if (const std::uint32_t count = sectors != nullptr ? sectors->GetDamagedSectors(&first) : 0; count != 0) {
        PrintError("warning: '" + imagePath + "': " + DescribeDamagedSectors(count, first));
    }
}

std::string FormatLocalDate(platform::FileTime date)
{
    platform::CalendarTime local;
    if (date == 0 || !platform::FileTimeToLocal(date, local)) {
        return "-                  ";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.year, local.month, local.day, local.hour,
                  local.minute, local.second);
    return text;
}

} // namespace tarvelin::cli
