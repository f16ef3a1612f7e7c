#include "progress_session.h"

#include "notice_text.h"

#include "edit/iso_edit.h"
#include "platform/prompt.h"
#include "writer/iso_build.h"

#include <QWidget>

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace tarvelin::shell {

namespace {

constexpr const char* kCaption = "Tarvelin";

void ShowFailure(const char* what, const QString& reason)
{
    QString text = QString::fromUtf8(what);
    if (!reason.isEmpty()) {
        text += QLatin1Char('\n') + reason;
    }
    platform::Ask(text.toStdString(), kCaption, platform::PromptButtons::Ok, platform::PromptIcon::Error);
}

} // namespace

ProgressSession::ProgressSession(QWidget* owner, QObject* parent)
    : QObject(parent), owner_(owner), bridge_(this)
{
}

ProgressSession::~ProgressSession()
{
    Close();
    // A build stops at its next report (answered false now) or at once when
    // its builder is released, which waits for the worker. A save always
    // runs to its final report, which must find the session still here.
    // The builder's last report may still read builder_ while it goes.
    DestroyThenClear(builder_);
    std::unique_lock lock(workerMutex_);
    workerDone_.wait(lock, [this] { return !workerRunning_; });
}

void ProgressSession::ShowDialog()
{
    if (!dialog_.Exists()) {
        dialog_.Create(owner_);
    } else {
        dialog_.Show();
    }
    dialog_.SetRange(0, kProgressDone);
    dialog_.SetStep(1);
}

bool ProgressSession::StartSave(IIsoEdit* edit)
{
    if (busy_ || edit == nullptr || bridge_.Closed()) {
        return false;
    }
    ShowDialog();
    edit_ = edit;
    busy_ = true;
    // What the adds noticed was shown then; after the save, what it noticed.
    edit->ClearNotices();
    lastPosted_ = INT_MIN;
    {
        std::lock_guard lock(workerMutex_);
        workerRunning_ = true;
    }
    if (!edit->StartSaveJob([this](const JobProgress& progress) { return OnSaveProgress(progress); },
                            [this](const JobReport& end) { OnSaveEnd(end); })) {
        MarkWorkerDone();
        busy_ = false;
        edit_ = nullptr;
        dialog_.Hide();
        ShowFailure("Save ISO Failed!", QString::fromUtf8(edit->GetLastError()));
        return false;
    }
    return true;
}

bool ProgressSession::StartBuild(ComponentPtr<IIsoBuild> builder)
{
    if (builder == nullptr) {
        return false;
    }
    if (busy_ || bridge_.Closed()) {
        return false;
    }
    ShowDialog();
    builder_ = std::move(builder);
    busy_ = true;
    buildCancelled_ = false;
    lastPosted_ = INT_MIN;
    if (!builder_->StartBuildJob([this](const JobProgress& progress) { return OnBuildProgress(progress); },
                                 [this](const JobReport& end) { OnBuildEnd(end); })) {
        const QString reason = QString::fromUtf8(builder_->GetLastError());
        builder_.reset();
        busy_ = false;
        dialog_.Hide();
        ShowFailure("Create ISO Failed!", reason);
        return false;
    }
    return true;
}

void ProgressSession::Close()
{
    bridge_.Close();
}

std::int32_t ProgressSession::PositionOf(const JobProgress& progress)
{
    const long position = std::lround(std::clamp(progress.fraction, 0.0, 1.0) * kProgressDone);
    return std::min(static_cast<std::int32_t>(position), kProgressDone - 1);
}

void ProgressSession::MarkWorkerDone()
{
    std::lock_guard lock(workerMutex_);
    workerRunning_ = false;
    workerDone_.notify_all();
}

void ProgressSession::PostPosition(std::int32_t value)
{
    // Reports that would not move the bar are not carried over.
    if (lastPosted_.exchange(value) == value) {
        return;
    }
    bridge_.Post([this, value] { dialog_.UpdatePos(value); });
}

bool ProgressSession::ConfirmCancel()
{
    if (!dialog_.CheckCancelButton()) {
        return false;
    }
    const platform::PromptAnswer answer = bridge_.Call<platform::PromptAnswer>(
        [] {
            return platform::Ask(kCancelQuestion, kCaption, platform::PromptButtons::YesNo,
                                 platform::PromptIcon::Question);
        },
        platform::PromptAnswer::No);
    return answer == platform::PromptAnswer::Yes;
}

bool ProgressSession::OnSaveProgress(const JobProgress& progress)
{
    if (bridge_.Closed()) {
        return false;
    }
    PostPosition(PositionOf(progress));
    if (ConfirmCancel()) {
        // The save does not stop: it goes on to its end behind the hidden
        // dialog, and its end is still reported.
        bridge_.Post([this] { dialog_.Hide(); });
        return false;
    }
    return true;
}

void ProgressSession::OnSaveEnd(const JobReport& end)
{
    const bool saved = end.state == JobState::Done;
    // What the save noticed is read here, where the facade no longer adds to it.
    const QString detail = QString::fromStdString(saved ? NoticeText(*edit_) : end.reason);
    PostPosition(saved ? kSaveDone : kSaveFailed);
    bridge_.Post([this, saved, detail] { FinishSave(saved, detail); });
    MarkWorkerDone();
}

bool ProgressSession::OnBuildProgress(const JobProgress& progress)
{
    if (buildCancelled_ || bridge_.Closed()) {
        return false;
    }
    PostPosition(PositionOf(progress));
    if (ConfirmCancel()) {
        // The builder makes no further call after a false answer but its
        // end, which is not shown; it is released on the GUI thread, which
        // waits for the worker to end.
        buildCancelled_ = true;
        bridge_.Post([this] { FinishBuild(false, true, {}); });
        return false;
    }
    return true;
}

void ProgressSession::OnBuildEnd(const JobReport& end)
{
    if (buildCancelled_ || bridge_.Closed() || end.state == JobState::Cancelled) {
        return;
    }
    const bool built = end.state == JobState::Done;
    PostPosition(built ? kBuildDone : kBuildFailed);
    // Read here, at the builder's end, when the list no longer changes.
    const QString detail = QString::fromStdString(built ? NoticeText(*builder_) : end.reason);
    bridge_.Post([this, built, detail] { FinishBuild(built, false, detail); });
}

void ProgressSession::FinishSave(bool saved, const QString& detail)
{
    dialog_.Hide();
    edit_ = nullptr;
    busy_ = false;
    if (!saved) {
        ShowFailure("Save ISO Failed!", detail);
    } else if (!detail.isEmpty()) {
        // Saved, but files added from disk changed length before they were
        // copied, or a compaction stopped short: each line says which.
        platform::Ask("The image was saved, with these notes:" + detail.toStdString(),
                      kCaption, platform::PromptButtons::Ok, platform::PromptIcon::Warning);
    }
    emit saveFinished(saved);
}

void ProgressSession::FinishBuild(bool built, bool cancelled, const QString& detail)
{
    dialog_.Hide();
    DestroyThenClear(builder_);
    busy_ = false;
    if (!built && !cancelled) {
        ShowFailure("Create ISO Failed!", detail);
    } else if (built && !detail.isEmpty()) {
        // The image is there, but without what these lines name.
        platform::Ask("The image was made, but not everything went into it:" + detail.toStdString(), kCaption,
                      platform::PromptButtons::Ok, platform::PromptIcon::Warning);
    }
    emit buildFinished(built);
}

} // namespace tarvelin::shell
