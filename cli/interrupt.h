#pragma once

// Ctrl+C during a long command: while an InterruptGuard lives, SIGINT (and
// SIGTERM, as a shutdown sends it) only sets a flag that the command looks at (a build or conversion stops in
// order, a save finishes first); the previous handler comes back afterwards.

#include <csignal>

namespace tarvelin::cli {

class InterruptGuard {
public:
    InterruptGuard();  // clears the flag and catches SIGINT and SIGTERM
    ~InterruptGuard(); // restores the previous handlers
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // True once Ctrl+C was pressed while a guard was alive.
    static bool Requested();

private:
    struct sigaction previous_ {};
    struct sigaction previousTerm_ {};
};

} // namespace tarvelin::cli
