#include "interrupt.h"

#include <atomic>

namespace tarvelin::cli {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag is set from a signal handler");

extern "C" void OnInterrupt(int) { interrupted.store(true); }

} // namespace

InterruptGuard::InterruptGuard()
{
    interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous_);
    ::sigaction(SIGTERM, &action, &previousTerm_);
}

InterruptGuard::~InterruptGuard()
{
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
    ::sigaction(SIGINT, &previous_, nullptr);
}

bool InterruptGuard::Requested() { return interrupted.load(); }

} // namespace tarvelin::cli
