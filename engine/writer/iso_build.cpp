// The build of a new image.
//
// The metadata in front of the data is measured, the files are placed
// behind it (their extents go into the source tree), and the metadata is
// then rendered once with the final values (writer/metadata_layout.h). Sizes
// depend only on names and the shape of the tree; a render that comes out
// at another size fails the build instead of writing an image whose
// directories point elsewhere.
//
// The image is then written front to back: system area, descriptors, the
// UDF bridge's structures when it has one, path tables and directories in
// one write, then the file data and, with UDF, the closing anchor.

#include "writer/iso_build.h"

#include "iso/iso9660.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "platform/text.h"
#include "writer/data_writer.h"
#include "writer/descriptor_writer.h"
#include "iso/disk_walk.h"
#include "writer/metadata_layout.h"
#include "writer/writer_tree.h"
#include "core/job.h"
#include "core/out_file.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace tarvelin {

namespace {

constexpr std::size_t kVolumeLabelBytes = 32;
constexpr std::size_t kVolumeLabelUnits = 16; // the Joliet field: 32 bytes of UCS-2

// Length in characters (UTF-8 sequences) of narrow text.
std::size_t CharacterCount(std::string_view text)
{
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Byte position after the first count characters.
std::size_t CharacterPrefix(std::string_view text, std::size_t count)
{
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == count) {
                return i;
            }
            ++seen;
        }
    }
    return text.size();
}

using iso::DiskIdentity;
using iso::IdentityOf;

} // namespace

std::string BuildFileName(const std::string& name)
{
    if (CharacterCount(name) <= kMaxBuildNameCharacters) {
        return name;
    }
    // The extension starts at the last dot; a leading dot starts a name.
    const std::size_t dot = name.rfind('.');
    const std::size_t stemEnd = dot == std::string::npos || dot == 0 ? name.size() : dot;
    const std::string_view stem = std::string_view(name).substr(0, stemEnd);
    // A long extension beside a short stem is kept whole: cutting there
    // would repeat the extension.
    if (CharacterCount(stem) <= kMaxBuildNameCharacters) {
        return name;
    }
    return std::string(stem.substr(0, CharacterPrefix(stem, kMaxBuildNameCharacters))) + name.substr(stemEnd);
}

bool PlanImage(IMacroList* list, std::uint32_t mode, platform::FileTime buildTime, const std::string& label,
               BuildPlan& plan, std::string& error)
{
    const bool udf = (mode & kBuildUdf) != 0;
    mode &= kBuildModeMask;
    const auto clear = [&plan]() {
        for (CByteBuffer* buffer : {&plan.descriptors, &plan.udfVolume, &plan.pathTables, &plan.directories,
                                    &plan.udfClosing}) {
            buffer->Clear();
        }
    };
    clear();
    if (list == nullptr) {
        error = "no source tree";
        return false;
    }
    // The root directory is as old as the image.
    SourceNode root;
    list->GetInfo(list->GetRoot(), root);
    root.creationTime = buildTime;
    list->SetInfo(list->GetRoot(), root);
    const auto fail = [&](std::string reason) {
        error = std::move(reason);
        clear();
        return false;
    };
    const auto makeDescriptors = [&]() {
        IBuildDesc* created = NEW_DESCNEW();
        if (created != nullptr) {
            created->SetBuildTime(buildTime);
            created->SetVolumeLabel(label.c_str());
        }
        return created;
    };

    // Every size and position: descriptors, the UDF bridge, path tables and
    // directories, then the files behind them.
    ComponentPtr<IBuildDesc> descriptors(makeDescriptors());
    ComponentPtr<IBuildData> layoutData(NEW_DATANEW());
    if (!descriptors || !layoutData) {
        return fail("out of memory for the image writers");
    }
    const writer::TreeAccess access(list);
    writer::VolumeLayout layout;
    DescriptorSetPlan set;
    set.mode = mode;
    std::string why;
    if (!layout.Measure(*descriptors, set, udf, access, why)) {
        return fail(why);
    }
    plan.descriptorSectors = layout.DescriptorSectors();
    plan.pathTableStart = layout.PathTableStart();
    plan.pathTableSectors = layout.PathTableSectors();
    plan.directoryStart = layout.DirectoryStart();
    plan.directorySectors = layout.DirectorySectors();
    plan.dataStart = layout.End();
    layoutData->Build(udf ? mode | kBuildUdf : mode, list, plan.dataStart);
    if (*layoutData->GetLastError() != '\0') {
        return fail(layoutData->GetLastError());
    }
    plan.totalSectors = layoutData->GetEndSector();
    if (udf) {
        if (plan.totalSectors == UINT32_MAX) {
            return fail("the image would be larger than an ISO 9660 volume can be (2^32 sectors)");
        }
        ++plan.totalSectors; // the closing UDF anchor
    }

    // The metadata with the files' extents and the final numbers.
    set.volumeSectors = plan.totalSectors;
    if (!layout.Render(*descriptors, set, access, buildTime, {label, {}},
                       {plan.descriptors, plan.udfVolume, plan.udfClosing, plan.pathTables, plan.directories}, why)) {
        return fail(why + "; no image was written");
    }
    return true;
}

namespace {

// The texts and dates chosen for the volume, written into the primary and
// Joliet descriptors the plan rendered; the label is the one the plan used.
void PutBuildProperties(CByteBuffer& descriptors, iso::VolumeProperties properties, const std::string& label)
{
    properties.volumeIdentifier = label;
    const std::size_t sectors = static_cast<std::size_t>(descriptors.GetSize() / iso::kSectorSize);
    for (std::size_t index = 0; index < sectors; ++index) {
        const iso::Bytes sector(descriptors.GetData() + index * iso::kSectorSize, iso::kSectorSize);
        const std::optional<iso::VolumeDescriptor> descriptor = iso::DecodeVolumeDescriptor(sector);
        if (!descriptor) {
            continue;
        }
        const bool joliet = iso::JolietLevelOf(*descriptor) != iso::JolietLevel::None;
        if (descriptor->type == iso::DescriptorType::Primary || joliet) {
            iso::PutVolumeProperties(sector, properties, joliet);
        }
    }
}

class CIsoBuild final : public IIsoBuild {
public:
    ~CIsoBuild() override
    {
        // Stops a running build and waits for it, unless released from
        // inside a progress call, after which the build touches nothing of
        // the builder (core/job.h).
        job_.Release();
        if (!finished_ && outFile_ != nullptr) {
            outFile_->Abandon();
        }
        DestroyComponent(outFile_);
        DestroyComponent(list_);
    }

    bool Init() override
    {
        list_ = NEW_MACROLIST();
        outFile_ = OutFile1();
        if (list_ != nullptr) {
            NameRules rules;
            rules.rockRidge = true; // unless SetOutput says otherwise
            list_->SetNameRules(rules);
        }
        return list_ != nullptr && outFile_ != nullptr;
    }

    bool Reserved() override { return true; }

    bool SetOutput(const char* path, std::uint32_t options) override
    {
        if (started_) {
            return Fail("the build has already started");
        }
        if (path == nullptr || *path == '\0') {
            return Fail("no output file named");
        }
        if (outputSet_) {
            outFile_->Abandon();
            outputSet_ = false;
        }
        if (!outFile_->Open(path)) {
            return Fail(outFile_->GetLastError());
        }
        // The file being written, and the one it replaces: neither goes
        // into the image.
        outputIdentities_.clear();
        for (const char* written : {outFile_->GetWritingPath(), outFile_->GetFinalPath()}) {
            platform::FileInfo info;
            if (platform::GetFileInfo(written, info)) {
                outputIdentities_.push_back(IdentityOf(info));
            }
        }
        outputPath_ = path;
        options_ = options;
        NameRules rules;
        rules.rockRidge = (options & kBuildNoRockRidge) == 0;
        rules.jolietLong = (options & kBuildJolietLong) != 0;
        list_->SetNameRules(rules);
        outputSet_ = true;
        lastError_.clear();
        return true;
    }

    MacroNode* GetRoot() override { return list_->GetRoot(); }

    MacroNode* AddFile(const char* path, MacroNode* parent) override
    {
        platform::FileInfo info;
        if (!LookUp(path, parent, info)) {
            return nullptr;
        }
        if (info.isDirectory) {
            return FailNode("'" + std::string(path) + "' is a folder");
        }
        const std::string refusal = iso::DiskFileRefusal(info, AddRules());
        if (!refusal.empty()) {
            return FailNode("'" + std::string(path) + "' is " + refusal);
        }
        if (IsOutput(info)) {
            return FailNode("'" + std::string(path) + "' is the image being built");
        }
        return NoteRenamed(AppendFile(path, info, parent), path);
    }

    MacroNode* AddDirectory(const char* path, MacroNode* parent) override
    {
        platform::FileInfo info;
        if (!LookUp(path, parent, info)) {
            return nullptr;
        }
        if (!info.isDirectory) {
            return FailNode("'" + std::string(path) + "' is not a folder");
        }
        return NoteRenamed(AppendDirectory(path, info, parent), path);
    }

    MacroNode* AddDirectoryTree(const char* path, MacroNode* parent) override;

    bool StartBuild(void* context, ProgressFn callback) override
    {
        if (callback == nullptr && !started_ && outputSet_) {
            return Fail("no progress callback given");
        }
        // The progress protocol above, over the job's reports: thousandths
        // of the volume, a false answer cancelling, and one final value for
        // a build that was not cancelled.
        const auto onEnd = [context, callback](const JobReport& report) {
            if (report.state != JobState::Cancelled) {
                callback(context, report.state == JobState::Done ? kBuildDone : kBuildFailed);
            }
        };
        return BeginBuild(Thousandths(context, callback), onEnd);
    }

    bool Build(void* context, ProgressFn progress) override
    {
        if (!BeginBuild(Thousandths(context, progress), {})) {
            return false;
        }
        const JobReport end = job_.Wait();
        if (end.state == JobState::Cancelled) {
            outFile_->Abandon();
            return Fail("the build was cancelled");
        }
        return end.state == JobState::Done; // GetLastError says why not
    }

    bool StartBuildJob(Job::OnProgress onProgress, Job::OnEnd onEnd) override
    {
        return BeginBuild(std::move(onProgress), std::move(onEnd));
    }

    const char* GetLastError() override { return lastError_.c_str(); }

    bool SetVolumeLabel(const char* label) override
    {
        const std::string text = label != nullptr ? label : "";
        if (text.empty()) {
            return Fail("the volume label is empty");
        }
        if (text.size() > kVolumeLabelBytes || platform::NarrowToUtf16(text).size() > kVolumeLabelUnits) {
            return Fail("the volume label '" + text + "' is too long: at most 16 characters that fit 32 bytes");
        }
        label_ = text;
        return true;
    }

    bool SetVolumeProperties(const iso::VolumeProperties& properties) override
    {
        if (!properties.volumeIdentifier.empty() && !SetVolumeLabel(properties.volumeIdentifier.c_str())) {
            return false;
        }
        properties_ = properties;
        return true;
    }

    IMacroList* GetList() override { return list_; }

    std::uint32_t GetNoticeCount() override { return notices_.Count(); }
    const char* GetNotice(std::uint32_t index, bool* isError) override { return notices_.Text(index, isError); }
    std::uint32_t GetErrorNoticeCount() override { return notices_.ErrorCount(); }

private:
    enum class Outcome { Done, Cancelled, Failed };

    // What the data writer's progress calls (thousandths of the volume) go
    // through: the job's reports, false once the build is cancelled or the
    // builder released.
    static bool Relay(void* control, std::int32_t value)
    {
        return static_cast<JobControl*>(control)->Report(value / 1000.0);
    }

    // The job's reports as thousandths to a progress function; none without one.
    static Job::OnProgress Thousandths(void* context, ProgressFn progress)
    {
        if (progress == nullptr) {
            return {};
        }
        return [context, progress](const JobProgress& report) {
            return progress(context, ScaledProgress(report.fraction, 1000));
        };
    }

    bool BeginBuild(Job::OnProgress onProgress, Job::OnEnd onEnd)
    {
        if (started_) {
            return Fail("the build has already started");
        }
        if (!outputSet_) {
            return Fail("no output file set");
        }
        started_ = true;
        buildTime_ = platform::CurrentFileTime();
        std::string why;
        if (!job_.Start([this](JobControl& control) { return Run(control); }, std::move(onProgress),
                        std::move(onEnd), &why)) {
            started_ = false;
            return Fail("cannot start the build: " + why);
        }
        return true;
    }

    bool Fail(std::string reason)
    {
        lastError_ = std::move(reason);
        return false;
    }

    MacroNode* FailNode(std::string reason)
    {
        lastError_ = std::move(reason);
        return nullptr;
    }

    bool LookUp(const char* path, MacroNode* parent, platform::FileInfo& info)
    {
        if (started_) {
            return Fail("the build has already started");
        }
        if (path == nullptr || *path == '\0') {
            return Fail("no path given");
        }
        if (list_->FindParent(parent) == nullptr && parent != list_->GetRoot()) {
            return Fail("the parent is not part of this image");
        }
        std::string error;
        if (!platform::GetFileInfo(path, info, &error)) {
            return Fail(error);
        }
        if (info.name.empty() || info.name == "." || info.name == ".." || platform::ContainsPathSeparator(info.name)) {
            return Fail("'" + std::string(path) + "' has no name it could have in the image");
        }
        lastError_.clear();
        return true;
    }

    // What an add from disk takes: files of 4 GiB or more only into a
    // UDF file system, links as links under Rock Ridge.
    iso::DiskAddRules AddRules() const
    {
        iso::DiskAddRules rules;
        rules.largeFiles = (options_ & kBuildUdf) != 0;
        rules.largeFileAdvice = " (a build with UDF can: it records such a file in its UDF file system)";
        rules.linksAsLinks = list_->GetNameRules().rockRidge;
        return rules;
    }

    // Whether a file (not a folder) is the image being built, or the one it replaces.
    bool IsOutput(const platform::FileInfo& info) const
    {
        return std::find(outputIdentities_.begin(), outputIdentities_.end(), IdentityOf(info))
            != outputIdentities_.end();
    }

    MacroNode* AppendFile(const std::string& path, const platform::FileInfo& info, MacroNode* parent)
    {
        SourceNode record;
        record.isDirectory = false;
        // Rock Ridge keeps the whole name, and so do long Joliet names up
        // to their limit; the ISO 9660 and Joliet identifiers are cut to
        // their own limits when they are written.
        const NameRules rules = list_->GetNameRules();
        record.name = rules.rockRidge || rules.jolietLong ? info.name : BuildFileName(info.name);
        record.nameLength = static_cast<std::uint32_t>(record.name.size());
        record.creationTime = RecordDateOf(info);
        record.diskPath = path;
        record.posix = UnixAttributesOf(info);
        // A link stored as a link has no data; one the walk followed (no
        // Rock Ridge to hold links) brings its target's.
        record.fileSize = record.IsSymlink() ? 0 : info.size;
        MacroNode* node = list_->AddChild(parent, record);
        if (node == nullptr) {
            lastError_ = "out of memory for the source tree";
        } else if (record.fileSize > UINT32_MAX) {
            notices_.Add(false, "'" + path + "' is " + std::to_string(record.fileSize) +
                              " bytes (4 GiB or more): recorded in the UDF file system only; readers of the"
                              " ISO 9660 and Joliet trees do not see it");
        }
        return node;
    }

    MacroNode* AppendDirectory(const std::string& path, const platform::FileInfo& info, MacroNode* parent)
    {
        SourceNode record;
        record.isDirectory = true;
        record.name = info.name;
        record.nameLength = static_cast<std::uint32_t>(record.name.size());
        record.creationTime = RecordDateOf(info);
        record.diskPath = path;
        record.posix = UnixAttributesOf(info);
        MacroNode* node = list_->AddChild(parent, record);
        if (node == nullptr) {
            lastError_ = "out of memory for the source tree";
        }
        return node;
    }

    // Two sources of one name in a folder (only what the caller adds side
    // by side can meet so): the later one gets a new name in the image,
    // and a notice says which.
    MacroNode* NoteRenamed(MacroNode* node, const std::string& path)
    {
        if (node == nullptr || node->parent == nullptr) {
            return node;
        }
        // Only Rock Ridge and UDF name it so; the names of the other trees
        // are told once the image is laid out (TellNamesWritten).
        if (!list_->GetNameRules().rockRidge && (options_ & kBuildUdf) == 0) {
            return node;
        }
        std::set<std::string> taken;
        std::string given;
        for (const DirNode* child = node->parent->firstChild; child != nullptr; child = child->nextSibling) {
            given = writer::TakeSiblingName(child->entry.name, taken);
            if (child == node) {
                break;
            }
        }
        if (given != node->entry.name) {
            notices_.Add(false, "'" + path + "' has the name of an entry added before it to the same folder: the"
                                " image names it '" + given + "'");
        }
        return node;
    }

    // Every name a reader of the image sees otherwise than the source is
    // named, beyond ASCII case, is told, as a save of an edit tells it: the
    // ISO 9660 or Joliet name a name was converted or cut to where there is
    // no Rock Ridge name (which is written as it is). A file's own name on
    // disk is the one compared: one cut before (BuildFileName) is told too.
    void TellNamesWritten()
    {
        const writer::TreeAccess access(list_);
        if (access.Rules().rockRidge) {
            return; // readers show the Rock Ridge names, every one as it is
        }
        const bool joliet = (options_ & kBuildModeMask) == kBuildIsoAndJoliet;
        const auto tell = [this](const DirNode* folder, const DirEntry& entry, const std::string& written) {
            const bool fromDisk = !entry.isDirectory && entry.EntrySource == EntrySourceKind::Disk;
            const std::string given = fromDisk ? std::string(platform::FileNameOf(entry.diskPath)) : entry.name;
            std::string told = writer::NameWrittenOtherwise(folder, given, written);
            if (!told.empty()) {
                notices_.Add(false, std::move(told));
            }
        };
        writer::ForEachShownIdentifier(access, NameSource::Automatic, joliet, tell);
    }

    JobReport Run(JobControl& control);
    Outcome Execute(JobControl& control, IBuildData* data, std::string& error);

    IMacroList* list_ = nullptr;
    IOutFile* outFile_ = nullptr;
    std::string outputPath_;
    std::vector<DiskIdentity> outputIdentities_;
    std::uint32_t options_ = kBuildIsoAndJoliet;
    bool outputSet_ = false;
    std::string label_;
    std::optional<iso::VolumeProperties> properties_;
    std::string lastError_;
    NoticeList notices_;

    bool started_ = false;
    bool finished_ = false;
    platform::FileTime buildTime_ = 0;
    Job job_; // the build's worker
};

MacroNode* CIsoBuild::AddDirectoryTree(const char* path, MacroNode* parent)
{
    platform::FileInfo topInfo;
    if (!LookUp(path, parent, topInfo)) {
        return nullptr;
    }
    if (!topInfo.isDirectory) {
        return FailNode("'" + std::string(path) + "' is not a folder");
    }
    MacroNode* top = NoteRenamed(AppendDirectory(path, topInfo, parent), path);
    if (top == nullptr) {
        return nullptr;
    }
    // The source tree's side of the walk.
    struct Sink final : iso::DiskTreeSink {
        CIsoBuild& builder;
        explicit Sink(CIsoBuild& owner) : builder(owner) {}
        bool Excludes(const std::string&, const platform::FileInfo& info, std::string& why) override
        {
            if (!builder.IsOutput(info)) {
                return false;
            }
            why = "the image being built";
            return true;
        }
        void* AddFile(const std::string& entry, const platform::FileInfo& info, void* parentNode,
                      std::string& why) override
        {
            MacroNode* node = builder.AppendFile(entry, info, static_cast<MacroNode*>(parentNode));
            why = builder.lastError_;
            return node;
        }
        void* AddFolder(const std::string& entry, const platform::FileInfo& info, void* parentNode,
                        std::string& why) override
        {
            MacroNode* node = builder.AppendDirectory(entry, info, static_cast<MacroNode*>(parentNode));
            why = builder.lastError_;
            return node;
        }
    } sink(*this);
    iso::AddFolderContents(path, topInfo, top, AddRules(), sink, notices_);
    lastError_.clear();
    return top;
}

CIsoBuild::Outcome CIsoBuild::Execute(JobControl& control, IBuildData* data, std::string& error)
{
    BuildPlan plan;
    if (!PlanImage(list_, options_ & (kBuildModeMask | kBuildUdf), buildTime_, label_, plan, error)) {
        return Outcome::Failed;
    }
    if (properties_) {
        PutBuildProperties(plan.descriptors, *properties_, label_);
    }
    TellNamesWritten();
    const std::vector<std::uint8_t> systemArea(std::size_t{iso::kSystemAreaSectors} * iso::kSectorSize, 0);
    if (!outFile_->Write(systemArea.data(), static_cast<std::uint32_t>(systemArea.size()))
        || !outFile_->WriteBuffer(plan.descriptors) || !outFile_->WriteBuffer(plan.udfVolume)
        || !outFile_->WriteBuffer(plan.pathTables) || !outFile_->WriteBuffer(plan.directories)) {
        error = outFile_->GetLastError();
        return Outcome::Failed;
    }
    plan.directories.Clear();
    plan.pathTables.Clear();
    const bool written = data->Write(list_, plan.dataStart, outFile_, plan.totalSectors, &control, &CIsoBuild::Relay);
    if (control.Released()) {
        return Outcome::Cancelled; // the builder may be gone now
    }
    if (!written) {
        if (data->IsCancelled()) {
            return Outcome::Cancelled; // the builder may be gone now
        }
        error = data->GetLastError();
        return Outcome::Failed;
    }
    if (!outFile_->WriteBuffer(plan.udfClosing)) {
        error = outFile_->GetLastError();
        return Outcome::Failed;
    }
    if (outFile_->GetBytesWritten() != std::uint64_t{plan.totalSectors} * iso::kSectorSize) {
        error = "the image written is not the size its descriptors give";
        return Outcome::Failed;
    }
    return Outcome::Done;
}

JobReport CIsoBuild::Run(JobControl& control)
{
    ComponentPtr<IBuildData> data(NEW_DATANEW());
    std::string error;
    Outcome outcome = Outcome::Failed;
    if (!data) {
        error = "out of memory for the image writers";
    } else {
        outcome = Execute(control, data.get(), error);
    }
    if (outcome == Outcome::Cancelled) {
        return JobReport::Cancelled(); // nothing of the builder may be touched any more
    }
    if (data) {
        for (std::uint32_t i = 0; i < data->GetWarningCount(); ++i) {
            notices_.Add(false, data->GetWarning(i));
        }
    }
    if (outcome == Outcome::Done && !outFile_->Close()) {
        error = outFile_->GetLastError();
        outcome = Outcome::Failed;
    }
    if (outcome == Outcome::Done) {
        finished_ = true;
    } else {
        lastError_ = error.empty() ? "the build failed" : error;
        outFile_->Abandon();
    }
    data.reset();
    // A builder being destroyed gets no final call (the job drops it).
    return outcome == Outcome::Done ? JobReport::Done() : JobReport::Failed(lastError_);
}

} // namespace

} // namespace tarvelin

TARVELIN_DEFINE_FACTORIES(tarvelin::CIsoBuild, tarvelin::IIsoBuild, NEW_ISOBUILDNEW, NEW_00_ISOBUILDNEW)
