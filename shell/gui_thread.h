#pragma once

// Engine callbacks arrive on worker threads (save, build, ISO to BIN,
// captures) or on the GUI thread (image to ISO runs there). Widgets may be
// touched on the GUI thread only, so a callback hands its work over:
// queued when it needs no answer, waiting when it does. Called on the GUI
// thread, the same work simply runs at once.

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace tarvelin::shell {

// True on the thread that runs the application's event loop.
bool IsGuiThread();

// Serves the events waiting on the GUI thread, so a window stays drawn and
// its buttons answer while the GUI thread itself does long work (the image
// to ISO conversion). Does nothing on any other thread.
void PumpGuiEvents();

// Runs fn on the GUI thread and returns its result; a worker waits for it.
// For receivers that outlive every worker (the application object): a
// worker waiting here holds the GUI thread's attention until fn has run.
// Without an application, or when the receiver is destroyed before fn ran,
// the fallback is returned.
template <class Result>
Result CallOnGuiThread(QObject* receiver, const std::function<Result()>& fn, Result fallback)
{
    if (IsGuiThread()) {
        return fn();
    }
    if (receiver == nullptr) {
        return fallback;
    }
    Result result = fallback;
    QMetaObject::invokeMethod(
        receiver, [&] { result = fn(); }, Qt::BlockingQueuedConnection);
    return result;
}

// The way from one worker to one GUI object that the worker must not
// outlive unnoticed: a dialog or the progress session of a view. Posts and
// calls go through until Close(); afterwards they are dropped, and a worker
// waiting for an answer is let go with the fallback at once, so the GUI
// thread may then wait for that worker to end (destroying its component)
// without both waiting for each other.
class GuiBridge {
public:
    // receiver: an object of the GUI thread; the posted work runs in its
    // context and is dropped if it is destroyed first.
    explicit GuiBridge(QObject* receiver);
    ~GuiBridge();
    GuiBridge(const GuiBridge&) = delete;
    GuiBridge& operator=(const GuiBridge&) = delete;

    // Runs fn on the GUI thread: at once there, queued from elsewhere (the
    // call returns without waiting; queued work runs in posting order).
    void Post(std::function<void()> fn);

    // Runs fn on the GUI thread and returns its result, or the fallback when
    // the bridge is (or gets) closed before fn has run.
    template <class Result>
    Result Call(std::function<Result()> fn, Result fallback)
    {
        if (IsGuiThread()) {
            return Closed() ? fallback : fn();
        }
        auto answer = std::make_shared<std::optional<Result>>();
        const std::shared_ptr<State> state = state_;
        const bool queued = Queue([fn = std::move(fn), answer, state] {
            Result value = fn();
            std::lock_guard lock(state->mutex);
            *answer = std::move(value);
            state->answered.notify_all();
        });
        if (!queued) {
            return fallback;
        }
        std::unique_lock lock(state->mutex);
        state->answered.wait(lock, [&] { return answer->has_value() || state->closed; });
        return answer->has_value() ? **answer : fallback;
    }

    // From the GUI thread: no more work reaches the receiver, and waiting
    // workers return with their fallback.
    void Close();
    bool Closed() const;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable answered;
        bool closed = false;
    };

    // Queues the work for the GUI thread; false when closed.
    bool Queue(std::function<void()> work);

    QObject* receiver_;
    std::shared_ptr<State> state_;
};

} // namespace tarvelin::shell
