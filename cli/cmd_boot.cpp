// tarvelin-cli boot save IMAGE FILE: the El Torito boot image of an image
// written to a file.

#include "command.h"
#include "image_session.h"

#include "platform/directory.h"
#include "platform/file.h"

namespace tarvelin::cli {

namespace {

int RunBoot(const Arguments& args);

const Command kBoot{"boot", "save IMAGE FILE", "write the boot image of a bootable image to FILE", RunBoot};

int SaveBootImage(const std::string& imagePath, const std::string& filePath)
{
    ImageSession session;
    if (const int status = session.Open(imagePath); status != kExitOk) {
        return status;
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
    platform::File out;
    if (!out.Open(filePath, platform::OpenMode::CreateTruncate)) {
        PrintError(out.LastError());
        return kExitFailure;
    }
    if (!out.Write(bootImage.GetData(), bootImage.GetSize())) {
        const std::string why = out.LastError();
        out.Close();
        platform::RemoveFile(filePath);
        PrintError(why);
        return kExitFailure;
    }
    return kExitOk;
}

int RunBoot(const Arguments& args)
{
    if (args.empty() || args[0] != "save") {
        return UsageError(kBoot, args.empty() ? "no boot command given" : "unknown boot command '" + args[0] + "'");
    }
    if (args.size() != 3) {
        return UsageError(kBoot, args.size() < 3 ? "an image and a file are needed" : "too many arguments");
    }
    return SaveBootImage(args[1], args[2]);
}

} // namespace

TARVELIN_CLI_COMMAND(kBoot)

} // namespace tarvelin::cli
