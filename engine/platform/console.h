#pragma once

// The terminal the command-line program runs in: whether a standard stream
// is one, Ctrl+C as a request to stop in order, and the program's arguments
// and output in UTF-8 whatever the system's own encoding.

#include "platform/export.h"

#include <memory>
#include <string>
#include <vector>

namespace tarvelin::platform {

enum class StandardStream { Input, Output, Error };

TARVELIN_API bool IsTerminal(StandardStream stream);

// While an InterruptCatcher lives, Ctrl+C (and a request to shut down:
// SIGTERM, or the console window being closed) only sets a flag that long
// work looks at, so it stops in order; what was there before comes back
// afterwards, and the flag is cleared: a request stops the work the
// catcher covered, not work begun later in the same process.
class TARVELIN_API InterruptCatcher {
public:
    InterruptCatcher();  // clears the flag and starts catching
    ~InterruptCatcher(); // puts back the previous handling
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

    // True once Ctrl+C was pressed while this catcher is alive.
    static bool Requested();

private:
    struct Previous;
    std::unique_ptr<Previous> previous_;
};

// Standard output passes bytes through unchanged from here on (Windows
// would otherwise turn each line feed into carriage return + line feed).
TARVELIN_API void WriteStandardOutputAsBytes();
// Makes text written to the console in UTF-8 show as such.
TARVELIN_API void UseUtf8Console();

#ifdef _WIN32
// The command line as UTF-8 words, converted once at the program's entry
// from the UTF-16 words wmain is given.
TARVELIN_API std::vector<std::string> WideArguments(int argc, wchar_t** argv);
#endif

} // namespace tarvelin::platform
