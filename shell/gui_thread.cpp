#include "gui_thread.h"

#include <QCoreApplication>
#include <QThread>

namespace tarvelin::shell {

bool IsGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void PumpGuiEvents()
{
    if (IsGuiThread()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

GuiBridge::GuiBridge(QObject* receiver) : receiver_(receiver), state_(std::make_shared<State>()) {}

GuiBridge::~GuiBridge()
{
    Close();
}

void GuiBridge::Post(std::function<void()> fn)
{
    if (IsGuiThread()) {
        if (!Closed()) {
            fn();
        }
        return;
    }
    Queue(std::move(fn));
}

bool GuiBridge::Queue(std::function<void()> work)
{
    // Posting under the lock: once Close() has taken it, nothing new is
    // queued for a receiver that may be about to go.
    std::lock_guard lock(state_->mutex);
    if (state_->closed || receiver_ == nullptr) {
        return false;
    }
    const std::shared_ptr<State> state = state_;
    QMetaObject::invokeMethod(
        receiver_,
        [state, work = std::move(work)] {
            {
                std::lock_guard closedLock(state->mutex);
                if (state->closed) {
                    return;
                }
            }
            work();
        },
        Qt::QueuedConnection);
    return true;
}

void GuiBridge::Close()
{
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    state_->answered.notify_all();
}

bool GuiBridge::Closed() const
{
    std::lock_guard lock(state_->mutex);
    return state_->closed;
}

} // namespace tarvelin::shell
