#include "image_session.h"

#include "command.h"

#include "core/image_file.h"
#include "core/iso_sector.h"

#include <cstdio>
#include <vector>

namespace tarvelin::cli {

namespace {

void WarnAboutDamage(const std::string& imagePath, const TreeLoadReport& report)
{
    const std::string damage = CountedList({{report.malformedRecords, "malformed records skipped"},
                                            {report.loopsRefused, "folders read twice or looping back, left empty"},
                                            {report.extentsOutside, "entries lying beyond the end of the image"},
                                            {report.tooDeep, "folders nested too deeply, left empty"}});
    if (!damage.empty()) {
        PrintError("warning: the tree of '" + imagePath + "' is damaged: " + damage);
    }
}

NameSource sessionNames = NameSource::Automatic;

} // namespace

void SetSessionNameSource(NameSource source)
{
    sessionNames = source;
}

ImageSession::~ImageSession() { DestroyComponent(edit_); }

int ImageSession::Open(const std::string& imagePath)
{
    imagePath_ = imagePath;
    DestroyComponent(edit_);
    edit_ = Edit1();
    if (edit_ == nullptr) {
        PrintError("cannot create the image component (out of memory)");
        return kExitFailure;
    }
    if (!edit_->Open(imagePath.c_str())) {
        PrintError(edit_->GetLastError());
        IIsoSector* sector = edit_->GetSector();
        const bool noVolume = sector != nullptr && sector->GetOpenError() == ImageOpenError::NoVolume;
        return noVolume ? kExitNotAnImage : kExitFailure;
    }
    if (edit_->WasRecovered()) {
        PrintError("warning: a save of '" + imagePath + "' was interrupted; the image has been put back as it was "
                   "before that save");
    }
    edit_->SetNameSource(sessionNames);
    edit_->LoadTree();
    if (*edit_->GetLastError() != '\0') {
        PrintError("cannot read the tree of '" + imagePath + "': " + edit_->GetLastError());
        return kExitFailure;
    }
    WarnAboutDamage(imagePath, edit_->GetLoadReport());
    return kExitOk;
}

int ImageSession::OpenForEditing(const std::string& imagePath)
{
    if (const int status = Open(imagePath); status != kExitOk) {
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
    DirNode* node = Root();
    std::string walked;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (node != Root() && !Info(node).isDirectory) {
            *problem = "'" + walked + "' is a file, not a folder";
            return nullptr;
        }
        DirNode* exact = nullptr;
        DirNode* folded = nullptr;
        for (DirNode* child = edit_->GetFirstChild(node); child != nullptr; child = edit_->GetNextSibling(child)) {
            const std::string name = Info(child).name;
            if (name == part) {
                exact = child;
                break;
            }
            if (folded == nullptr && SameEntryName(name, part)) {
                folded = child;
            }
        }
        walked += "/" + std::string(part);
        node = exact != nullptr ? exact : folded;
        if (node == nullptr) {
            *problem = "'" + walked + "' not found";
            return nullptr;
        }
    }
    return node;
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

std::string CountedList(std::initializer_list<std::pair<std::uint32_t, const char*>> counts)
{
    std::string list;
    for (const auto& [count, what] : counts) {
        if (count > 0) {
            list += (list.empty() ? "" : ", ") + std::to_string(count) + " " + what;
        }
    }
    return list;
}

} // namespace tarvelin::cli
