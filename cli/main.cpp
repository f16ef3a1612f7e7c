// tarvelin-cli: the command-line face of the Tarvelin engine.

#include "command.h"
#include "image_session.h"
#include "udf_session.h"

#include "platform/console.h"
#include "platform/path.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace tarvelin::cli {

namespace {

void PrintHelp(std::FILE* out)
{
    // The default names are those the system's own CD reader shows, so the
    // same image may extract under other names on another system.
    std::fprintf(out, "usage: tarvelin-cli COMMAND [ARGUMENTS] [--names rr|joliet|iso] [--tree iso|joliet|udf]\n\n"
                      "--names: which names of an image to show (default: %s)\n"
                      "--tree: which file system ls, cat and extract read (default: the ISO 9660 tree,\n"
                      "with its Rock Ridge names, links and modes; the UDF tree instead when the image\n"
                      "has one and its ISO 9660 tree shows no Rock Ridge names or misses files the UDF\n"
                      "tree holds; joliet: the ISO 9660 tree with its Joliet names; the UDF tree\n"
                      "cannot be edited)\n\ncommands:\n",
                 platform::PrefersJolietNames()
                     ? "Joliet where the image has them,\nas Windows shows them, else Rock Ridge, else ISO 9660"
                     : "Rock Ridge where the image has\nthem, else Joliet, else ISO 9660");
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

// words: the command line in UTF-8, the program's name first.
int Run(const std::vector<std::string>& words)
{
    if (words.size() < 2) {
        PrintHelp(stderr);
        return kExitUsage;
    }
    const std::string& name = words[1];
    if (name == "help" || name == "--help" || name == "-h") {
        PrintHelp(stdout);
        return kExitOk;
    }
    Arguments args(words.begin() + 2, words.end());
    if (const auto names = std::find(args.begin(), args.end(), "--names"); names != args.end()) {
        const std::string value = names + 1 != args.end() ? *(names + 1) : std::string();
        static const std::pair<const char*, tarvelin::NameSource> kSources[] = {
            {"rr", tarvelin::NameSource::RockRidge}, {"joliet", tarvelin::NameSource::Joliet},
            {"iso", tarvelin::NameSource::Iso}, {"auto", tarvelin::NameSource::Automatic}};
        const auto known = std::find_if(std::begin(kSources), std::end(kSources),
                                        [&](const auto& source) { return value == source.first; });
        if (known == std::end(kSources)) {
            PrintError("--names takes rr, joliet, iso or auto");
            return kExitUsage;
        }
        SetSessionNameSource(known->second);
        args.erase(names, names + 2);
    }
    if (const auto tree = std::find(args.begin(), args.end(), "--tree"); tree != args.end()) {
        const std::string value = tree + 1 != args.end() ? *(tree + 1) : std::string();
        if (value != "iso" && value != "joliet" && value != "udf") {
            PrintError("--tree takes iso, joliet or udf");
            return kExitUsage;
        }
        if (value == "udf" && name != "ls" && name != "cat" && name != "extract") {
            PrintError("--tree udf is for ls, cat and extract; the UDF tree cannot be edited");
            return kExitUsage;
        }
        SetSessionTree(value == "udf" ? TreeSource::Udf : TreeSource::Iso);
        if (value == "joliet") {
            SetSessionNameSource(tarvelin::NameSource::Joliet);
        }
        args.erase(tree, tree + 2);
    }
    for (const Command& command : Commands()) {
        if (name == command.name) {
            // "tarvelin-cli ls --help" asks how to use ls. "-h" counts only
            // alone, as it may also name a file.
            if (std::find(args.begin(), args.end(), "--help") != args.end() ||
                (args.size() == 1 && args[0] == "-h")) {
                std::printf("usage: tarvelin-cli %s %s\n%s\n", command.name, command.usage, command.summary);
                return kExitOk;
            }
            const int status = command.run(args);
            // What a command printed may still wait in the buffer, and a
            // write to a full disk or a closed pipe shows only here: a
            // command whose output was lost did not succeed.
            if (status == kExitOk && (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
                PrintError("cannot write to standard output");
                return kExitFailure;
            }
            return status;
        }
    }
    PrintError("unknown command '" + name + "'");
    PrintHelp(stderr);
    return kExitUsage;
}

} // namespace tarvelin::cli

#ifdef _WIN32
// Windows gives the command line in UTF-16 only to wmain; it is turned into
// UTF-8 here, once, and the console is told to show UTF-8 output.
int wmain(int argc, wchar_t** argv)
{
    tarvelin::platform::UseUtf8Console();
    return tarvelin::cli::Run(tarvelin::platform::WideArguments(argc, argv));
}
#else
int main(int argc, char** argv)
{
    return tarvelin::cli::Run(std::vector<std::string>(argv, argv + argc));
}
#endif
