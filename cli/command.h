#pragma once

// Subcommands of tarvelin-cli. Each lives in a file of its own and registers
// itself with TARVELIN_CLI_COMMAND; main() dispatches by name.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::cli {

// Exit codes shared by every subcommand.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,       // the operation failed (I/O, bad input, cancelled)
    kExitNotAnImage = 2,    // the file holds no recognisable image
    kExitUsage = 64,        // wrong arguments
};

using Arguments = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;   // arguments after the command name
    const char* summary; // one line for the help text
    int (*run)(const Arguments& args);
};

struct CommandRegistration {
    explicit CommandRegistration(const Command& command);
};

const std::vector<Command>& Commands();

// Prints "tarvelin-cli: <message>" to standard error.
void PrintError(std::string_view message);
// Prints the usage line of one command to standard error; returns kExitUsage.
int UsageError(const Command& command, std::string_view problem);

// Prints the notices of a build or an edit (IIsoBuild, IIsoEdit) from index
// from on, each as "warning: ..." or "error: ...".
template <class Source>
void PrintNotices(Source& source, std::uint32_t from = 0)
{
    for (std::uint32_t i = from; i < source.GetNoticeCount(); ++i) {
        bool isError = false;
        const char* text = source.GetNotice(i, &isError);
        PrintError(std::string(isError ? "error: " : "warning: ") + text);
    }
}

} // namespace tarvelin::cli

#define TARVELIN_CLI_COMMAND(variable, ...) \
    static const ::tarvelin::cli::CommandRegistration variable##Registration{variable};
