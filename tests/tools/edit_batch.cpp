// tarvelin-edit-batch IMAGE < EDITS: several edits of an image in one save,
// as the desktop program makes them (the command-line tool saves after each
// command). scripts/random-edits.py drives it. Each line of EDITS is one
// edit, its fields separated by tabs:
//   add FOLDER SOURCE      a file or a folder tree from disk (replacing)
//   rm PATH
//   rename PATH NAME
//   mkdir FOLDER NAME
//   boot-load FOLDER FILE  a new default boot image, its file in FOLDER
//   boot-remove
//   label TEXT             the volume identifier
//   compact                the save gives the free space back
// An edit that fails ends the run before the save, with exit code 1 and the
// reason on standard error; the image is then unchanged.

#include "command.h"
#include "image_session.h"

#include "platform/directory.h"

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tarvelin;
using namespace tarvelin::cli;

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) {
        fields.push_back(field);
    }
    return fields;
}

// Whether the edit took; what failed is printed.
bool Apply(ImageSession& session, const std::vector<std::string>& edit)
{
    IIsoEdit& image = session.Edit();
    const auto failed = [&](const std::string& what) {
        std::cerr << edit.front() << ": " << what << "\n";
        return false;
    };
    const auto node = [&](const std::string& path) {
        std::string problem;
        DirNode* found = session.Find(path, &problem);
        if (found == nullptr) {
            std::cerr << problem << "\n";
        }
        return found;
    };
    const std::string& verb = edit.front();
    if (verb == "add" && edit.size() == 3) {
        DirNode* parent = FindFolder(session, edit[1]);
        platform::FileInfo info;
        std::string error;
        if (parent == nullptr || !platform::GetFileInfo(edit[2], info, &error)) {
            return failed(error);
        }
        DirNode* added = info.isDirectory ? image.AddDirectoryTree(edit[2].c_str(), parent)
                                          : image.AddFile(edit[2].c_str(), parent);
        return added != nullptr || failed(image.GetLastError());
    }
    if (verb == "rm" && edit.size() == 2) {
        DirNode* victim = node(edit[1]);
        return victim != nullptr
            && (victim != session.Root() || failed("the root folder cannot be removed"))
            && (image.DeleteNode(victim->parent, victim) || failed(image.GetLastError()));
    }
    if (verb == "rename" && edit.size() == 3) {
        DirNode* renamed = node(edit[1]);
        return renamed != nullptr && (image.Rename(edit[2].c_str(), renamed) || failed(image.GetLastError()));
    }
    if (verb == "mkdir" && edit.size() == 3) {
        DirNode* parent = FindFolder(session, edit[1]);
        return parent != nullptr
            && (image.NewDirectory(edit[2].c_str(), parent) != nullptr || failed(image.GetLastError()));
    }
    if (verb == "boot-load" && edit.size() == 3) {
        DirNode* parent = FindFolder(session, edit[1]);
        return parent != nullptr && (image.LoadBootImage(edit[2].c_str(), parent) || failed(image.GetLastError()));
    }
    if (verb == "boot-remove" && edit.size() == 1) {
        image.DeleteBootImage();
        return true;
    }
    if (verb == "label" && edit.size() == 2) {
        iso::VolumeProperties properties = image.GetVolumeProperties();
        properties.volumeIdentifier = edit[1];
        return image.SetVolumeProperties(properties) || failed(image.GetLastError());
    }
    if (verb == "compact" && edit.size() == 1) {
        image.CompactNextSave();
        return true;
    }
    return failed("not an edit (see the head of edit_batch.cpp)");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: tarvelin-edit-batch IMAGE < EDITS\n";
        return kExitUsage;
    }
    ImageSession session;
    if (const int status = session.OpenForEditing(argv[1]); status != kExitOk) {
        return status;
    }
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && !Apply(session, Fields(line))) {
            std::cerr << "the edit '" << line << "' failed; the image is unchanged\n";
            return kExitFailure;
        }
    }
    PrintNotices(session.Edit());
    if (session.Edit().GetErrorNoticeCount() != 0) {
        std::cerr << "some of the sources cannot go into the image; the image is unchanged\n";
        return kExitFailure;
    }
    session.Edit().ClearNotices();
    return SaveEdits(session);
}
