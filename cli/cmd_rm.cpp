// tarvelin-cli rm IMAGE PATH...: entries (folders with everything below
// them) taken out of an image, saved in place.

#include "command.h"
#include "image_session.h"

namespace tarvelin::cli {

namespace {

int RunRemove(const Arguments& args);

const Command kRemove{"rm", "IMAGE PATH...", "remove files and folders from an image (saved in place)", RunRemove};

int RunRemove(const Arguments& args)
{
    if (args.size() < 2) {
        return UsageError(kRemove, args.empty() ? "no image named" : "no entry to remove");
    }
    ImageSession session;
    if (const int status = session.OpenForEditing(args[0]); status != kExitOk) {
        return status;
    }
    // Every path is looked up before anything is removed, so a wrong one
    // leaves the image alone.
    std::vector<DirNode*> nodes;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string problem;
        DirNode* node = session.Find(args[i], &problem);
        if (node == nullptr) {
            PrintError(problem + "; the image is unchanged");
            return kExitFailure;
        }
        if (node == session.Root()) {
            PrintError("the root folder cannot be removed; the image is unchanged");
            return kExitFailure;
        }
        nodes.push_back(node);
    }
    // A path named twice, or one inside a folder that is removed too, goes
    // with the first or with the folder; deciding that before anything is
    // freed keeps every pointer valid.
    std::vector<DirNode*> removals;
    for (DirNode* node : nodes) {
        bool covered = false;
        for (DirNode* other : removals) {
            for (DirNode* at = node; at != nullptr && !covered; at = at->parent) {
                covered = at == other;
            }
        }
        if (!covered) {
            std::erase_if(removals, [node](DirNode* other) {
                for (DirNode* at = other->parent; at != nullptr; at = at->parent) {
                    if (at == node) {
                        return true;
                    }
                }
                return false;
            });
            removals.push_back(node);
        }
    }
    for (DirNode* node : removals) {
        session.Edit().DeleteNode(node->parent, node);
    }
    return SaveEdits(session);
}

} // namespace

TARVELIN_CLI_COMMAND(kRemove)

} // namespace tarvelin::cli
