// The table of subcommands and the messages every subcommand prints.

#include "command.h"

#include <cstdio>

namespace tarvelin::cli {

namespace {

std::vector<Command>& MutableCommands()
{
    static std::vector<Command> commands;
    return commands;
}

} // namespace

CommandRegistration::CommandRegistration(const Command& command)
{
    MutableCommands().push_back(command);
}

const std::vector<Command>& Commands() { return MutableCommands(); }

void PrintError(std::string_view message)
{
    std::fprintf(stderr, "tarvelin-cli: %.*s\n", static_cast<int>(message.size()), message.data());
}

int UsageError(const Command& command, std::string_view problem)
{
    if (!problem.empty()) {
        PrintError(problem);
    }
    std::fprintf(stderr, "usage: tarvelin-cli %s %s\n", command.name, command.usage);
    return kExitUsage;
}

} // namespace tarvelin::cli
