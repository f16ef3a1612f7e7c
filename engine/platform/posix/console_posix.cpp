// The terminal on POSIX: SIGINT and SIGTERM set the stop flag.

#include "platform/console.h"

#include <atomic>
#include <signal.h>
#include <unistd.h>

namespace tarvelin::platform {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag is set from a signal handler");

extern "C" void OnInterrupt(int) { interrupted.store(true); }

} // namespace

bool IsTerminal(StandardStream stream)
{
    const int fd = stream == StandardStream::Input ? STDIN_FILENO
                   : stream == StandardStream::Output ? STDOUT_FILENO
                                                       : STDERR_FILENO;
    return ::isatty(fd) != 0;
}

struct InterruptCatcher::Previous {
    struct sigaction interrupt {};
    struct sigaction terminate {};
};

InterruptCatcher::InterruptCatcher() : previous_(std::make_unique<Previous>())
{
    interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous_->interrupt);
    ::sigaction(SIGTERM, &action, &previous_->terminate);
}

InterruptCatcher::~InterruptCatcher()
{
    ::sigaction(SIGTERM, &previous_->terminate, nullptr);
    ::sigaction(SIGINT, &previous_->interrupt, nullptr);
    interrupted.store(false);
}

bool InterruptCatcher::Requested() { return interrupted.load(); }

void WriteStandardOutputAsBytes() {}

void UseUtf8Console() {}

} // namespace tarvelin::platform
