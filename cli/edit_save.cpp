// The save that ends every editing command, and what those commands share.
// What the save noticed is printed as the warnings of a build are.

#include "command.h"
#include "interrupt.h"
#include "worker_watch.h"
#include "image_session.h"

namespace tarvelin::cli {

namespace {

bool OnSaveProgress(void* context, std::int32_t value)
{
    auto& watch = *static_cast<WorkerWatch*>(context);
    if (value == kSaveDone || value == kSaveFailed) {
        if (value == kSaveDone) {
            watch.bar.Draw(100);
        }
        watch.End(value);
        return true;
    }
    watch.bar.Draw(value);
    return true;
}

} // namespace

int SaveEdits(ImageSession& session)
{
    WorkerWatch watch("saving  ");
    // While a save runs, Ctrl+C is noted instead of ending the process
    // half-way (which the next open would have to undo).
    const InterruptGuard guard;
    if (!session.Edit().StartSave(&watch, OnSaveProgress)) {
        PrintError("cannot save '" + session.ImagePath() + "': " + session.Edit().GetLastError());
        return kExitFailure;
    }
    watch.Wait();
    // Files added from disk that changed length before the save copied them.
    PrintNotices(session.Edit());
    if (watch.FinalValue() != kSaveDone) {
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
