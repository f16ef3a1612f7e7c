// The save that ends every editing command, and what those commands share.
// What the save noticed is printed as the warnings of a build are.

#include "command.h"
#include "interrupt.h"
#include "percent_bar.h"
#include "image_session.h"

namespace tarvelin::cli {

namespace {

bool OnSaveProgress(void* context, std::int32_t percent)
{
    static_cast<PercentBar*>(context)->Draw(percent);
    return true;
}

} // namespace

int SaveEdits(ImageSession& session)
{
    PercentBar bar("saving  ");
    // While a save runs, Ctrl+C is noted instead of ending the process
    // half-way (which the next open would have to undo).
    const InterruptGuard guard;
    const bool saved = session.Edit().Save(&bar, OnSaveProgress);
    if (saved) {
        bar.Draw(100);
    }
    bar.Finish();
    // Files added from disk that changed length before the save copied them.
    PrintNotices(session.Edit());
    if (!saved) {
        PrintError("cannot save '" + session.ImagePath() + "': " + session.Edit().GetLastError() +
                   "; the image is unchanged");
        return kExitFailure;
    }
    if (InterruptGuard::Requested()) {
        PrintError("interrupted, but the save had already begun and has been completed");
    }
    return kExitOk;
}

DirNode* FindFolder(ImageSession& session, const std::string& path)
{
    std::string problem;
    DirNode* node = session.Find(path, &problem);
    if (node == nullptr) {
        PrintError(problem);
        return nullptr;
    }
    if (node != session.Root() && !session.Info(node).isDirectory) {
        PrintError("'" + path + "' is a file, not a folder");
        return nullptr;
    }
    return node;
}

std::string JoinImagePath(const std::string& folder, const std::string& name)
{
    std::string path = folder;
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    if (path == ".") {
        path.clear();
    }
    if (!path.empty() && path.front() != '/') {
        path.insert(path.begin(), '/');
    }
    return path + "/" + name;
}

} // namespace tarvelin::cli
