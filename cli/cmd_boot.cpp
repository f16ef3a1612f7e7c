// tarvelin-cli boot save IMAGE FILE: the El Torito boot image of an image
// written to a file.
// tarvelin-cli boot load IMAGE FILE [--to PATH] [--info-table] [--grub2-info]:
// FILE becomes the image's boot image (the catalog's default entry; other
// entries stay) and a file of the folder PATH (the root by default); saved
// in place. A loader that ships with a boot-info-table (isolinux.bin) gets
// it filled in for its place; --info-table and --grub2-info write the table
// and GRUB2's boot info into any no-emulation loader.
// tarvelin-cli boot remove IMAGE: no boot record and no catalog any more.

#include "command.h"
#include "image_session.h"

#include "core/image_file.h"
#include "core/iso_sector.h"
#include "iso/boot_info_table.h"
#include "platform/atomic_output.h"
#include "platform/same_file.h"

#include <cstdio>

namespace tarvelin::cli {

namespace {

int RunBoot(const Arguments& args);

const Command kBoot{"boot", "save|load|remove IMAGE [FILE] [--to PATH] [--info-table] [--grub2-info]",
                    "save, replace or remove the El Torito boot image", RunBoot};

int SaveBootImage(const std::string& imagePath, const std::string& filePath)
{
    ImageSession session;
    if (const int status = session.Open(imagePath); status != kExitOk) {
        return status;
    }
    // The image (or a CUE sheet's data file) would be replaced by its own
    // boot image.
    IImageFile* dataFile = session.Edit().GetSector()->GetFile();
    if (platform::SameFile(filePath, imagePath)
        || (dataFile != nullptr && platform::SameFile(filePath, dataFile->GetPath()))) {
        PrintError("'" + filePath + "' is the image itself: name another file for its boot image");
        return kExitUsage;
    }
    if (!session.Edit().HasBootImage()) {
        PrintError("'" + imagePath + "' has no boot image (no El Torito boot record)");
        return kExitFailure;
    }
    CByteBuffer bootImage(256);
    if (!session.Edit().SaveBootImage(bootImage)) {
        PrintError("cannot read the boot image of '" + imagePath + "': " + session.Edit().GetLastError());
        return kExitFailure;
    }
    platform::AtomicOutput out;
    if (!out.Open(filePath, platform::ExistingOutput::Replace)) {
        PrintError(out.LastError());
        return kExitFailure;
    }
    if (!out.Stream().Write(bootImage.GetData(), bootImage.GetSize()) || !out.Commit()) {
        PrintError(out.LastError());
        return kExitFailure;
    }
    return kExitOk;
}

const char* MediaName(std::uint32_t mediaType)
{
    switch (mediaType) {
    case 1: return "1.2 MB diskette emulation";
    case 2: return "1.44 MB diskette emulation";
    case 3: return "2.88 MB diskette emulation";
    default: return "no emulation";
    }
}

int LoadBootImage(const Arguments& args)
{
    std::vector<std::string> positional;
    std::string folder = "/";
    std::uint32_t bootInfo = kBootInfoAutomatic;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--info-table") {
            bootInfo |= kBootInfoTable;
        } else if (args[i] == "--grub2-info") {
            bootInfo |= kBootInfoGrub2;
        } else if (args[i] == "--to") {
            if (i + 1 >= args.size()) {
                return UsageError(kBoot, "--to needs a folder of the image");
            }
            folder = args[++i];
        } else if (args[i].rfind("--to=", 0) == 0) {
            folder = args[i].substr(5);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) {
        return UsageError(kBoot, positional.size() < 2 ? "an image and a boot image file are needed"
                                                       : "too many arguments");
    }
    ImageSession session;
    if (const int status = session.OpenForEditing(positional[0]); status != kExitOk) {
        return status;
    }
    DirNode* parent = FindFolder(session, folder);
    if (parent == nullptr) {
        return kExitFailure;
    }
    IIsoEdit& edit = session.Edit();
    if (!edit.LoadBootImage(positional[1].c_str(), parent)) {
        PrintError(std::string(edit.GetLastError()) + "; the image is unchanged");
        return kExitFailure;
    }
    // Those fields would overwrite a diskette's own first sector.
    if (bootInfo != kBootInfoAutomatic && edit.GetMediaType() != 0) {
        PrintError("--info-table and --grub2-info are for a boot image without emulation, and '" + positional[1] +
                   "' is booted as a diskette; the image is unchanged");
        return kExitFailure;
    }
    if (!edit.SetBootInfoPatch(bootInfo)) {
        PrintError(std::string(edit.GetLastError()) + "; the image is unchanged");
        return kExitFailure;
    }
    if (edit.WasReplaced()) {
        std::string name = positional[1];
        name = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        std::printf("replaced '%s'\n", PrintableName(JoinImagePath(folder, name)).c_str());
    }
    std::printf("boot image: %s\n", MediaName(edit.GetMediaType()));
    std::fflush(stdout);
    return SaveEdits(session);
}

int RemoveBootImage(const Arguments& args)
{
    if (args.size() != 2) {
        return UsageError(kBoot, args.size() < 2 ? "an image is needed" : "too many arguments");
    }
    ImageSession session;
    if (const int status = session.OpenForEditing(args[1]); status != kExitOk) {
        return status;
    }
    if (!session.Edit().HasBootImage()) {
        PrintError("'" + args[1] + "' has no boot image (no El Torito boot record)");
        return kExitFailure;
    }
    session.Edit().DeleteBootImage();
    return SaveEdits(session);
}

int RunBoot(const Arguments& args)
{
    if (args.empty()) {
        return UsageError(kBoot, "no boot command given");
    }
    if (args[0] == "load") {
        return LoadBootImage(args);
    }
    if (args[0] == "remove") {
        return RemoveBootImage(args);
    }
    if (args[0] != "save") {
        return UsageError(kBoot, "unknown boot command '" + args[0] + "'");
    }
    if (args.size() != 3) {
        return UsageError(kBoot, args.size() < 3 ? "an image and a file are needed" : "too many arguments");
    }
    return SaveBootImage(args[1], args[2]);
}

} // namespace

TARVELIN_CLI_COMMAND(kBoot)

} // namespace tarvelin::cli
