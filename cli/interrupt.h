#pragma once

// Ctrl+C during a long command: while an InterruptGuard lives, Ctrl+C (and
// a request to shut down) only sets a flag that the command looks at (a
// build or conversion stops in order, a save finishes first); the previous
// handling comes back afterwards.

#include "platform/console.h"

namespace tarvelin::cli {

using InterruptGuard = platform::InterruptCatcher;

} // namespace tarvelin::cli
