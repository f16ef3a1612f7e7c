// tarvelin-cli: the command-line face of the Tarvelin engine.

#include "command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarvelin::cli {

namespace {

void PrintHelp(std::FILE* out)
{
    std::fprintf(out, "usage: tarvelin-cli COMMAND [ARGUMENTS]\n\ncommands:\n");
    auto commands = Commands();
    std::sort(commands.begin(), commands.end(),
              [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
    for (const Command& command : commands) {
        // A usage too long for its column puts the summary on a line of its own.
        const char* gap = std::strlen(command.usage) > 34 ? "\n                                              " : " ";
        std::fprintf(out, "  %-8s %-34s%s%s\n", command.name, command.usage, gap, command.summary);
    }
}

} // namespace

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
