// The console on Windows. Ctrl+C, Ctrl+Break and the closing of the console
// window reach a handler the system calls on a thread of its own; it sets
// the stop flag and tells the system the event is handled. A console read
// waiting for an answer is ended by Ctrl+C too.

#include "platform/console.h"

#include "platform/win32/win32_common.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace tarvelin::platform {

namespace {

std::atomic<bool> interrupted{false};

BOOL WINAPI OnControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        interrupted.store(true);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

bool IsTerminal(StandardStream stream)
{
    const DWORD which = stream == StandardStream::Input    ? STD_INPUT_HANDLE
                        : stream == StandardStream::Output ? STD_OUTPUT_HANDLE
                                                           : STD_ERROR_HANDLE;
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

struct InterruptCatcher::Previous {};

InterruptCatcher::InterruptCatcher() : previous_(std::make_unique<Previous>())
{
    interrupted.store(false);
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

InterruptCatcher::~InterruptCatcher()
{
    ::SetConsoleCtrlHandler(OnControl, FALSE);
    interrupted.store(false);
}

bool InterruptCatcher::Requested() { return interrupted.load(); }

std::vector<std::string> WideArguments(int argc, wchar_t** argv)
{
    std::vector<std::string> words;
    words.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        words.push_back(win32::Narrow(argv[i]));
    }
    return words;
}

void WriteStandardOutputAsBytes()
{
    std::fflush(stdout);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

void UseUtf8Console()
{
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
}

} // namespace tarvelin::platform
