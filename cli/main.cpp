// tarvelin-cli: the command-line face of the Tarvelin engine.

#include "command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarvelin::cli {

namespace {

std::vector<Command>& MutableCommands()
{
    static std::vector<Command> commands;
    return commands;
}

void PrintHelp(std::FILE* out)
{
    std::fprintf(out, "usage: tarvelin-cli COMMAND [ARGUMENTS]\n\ncommands:\n");
    auto commands = Commands();
    std::sort(commands.begin(), commands.end(),
              [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
    for (const Command& command : commands) {
        std::fprintf(out, "  %-8s %-34s %s\n", command.name, command.usage, command.summary);
    }
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

int main(int argc, char** argv)
{
    using namespace tarvelin::cli;
    if (argc < 2) {
        PrintHelp(stderr);
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        PrintHelp(stdout);
        return kExitOk;
    }
    for (const Command& command : Commands()) {
        if (name == command.name) {
            return command.run(Arguments(argv + 2, argv + argc));
        }
    }
    PrintError("unknown command '" + name + "'");
    PrintHelp(stderr);
    return kExitUsage;
}
