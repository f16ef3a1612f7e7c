#pragma once

// Helpers shared by the test programs: temporary folders, running peer
// tools, reading and writing whole files.

#include <cstdint>
#include <string>
#include <vector>

namespace tarvelin::test {

// A fresh folder under the system's temporary folder, removed with
// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct CommandResult {
    int exitCode = -1;
    std::string output; // standard output and standard error together
};

// Runs a shell command line and collects its output.
CommandResult RunCommand(const std::string& commandLine);
// Quotes a word for the shell.
std::string ShellQuote(const std::string& word);
// True when the program is on the PATH.
bool ToolAvailable(const std::string& program);

std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
void WriteWholeFile(const std::string& path, const std::string& text);

// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed);

// True under CI (CI=true): there every tool and image ./test.sh installs
// must be there, and a missing one fails the test instead of skipping it.
bool RunningUnderCi();

} // namespace tarvelin::test

// Skips the current test when what it needs is missing (./test.sh installs
// the peer tools and Debian's images); fails it under CI. what is streamed
// into the message.
#define TARVELIN_REQUIRE(condition, what)                            \
    do {                                                             \
        if (!(condition)) {                                          \
            if (::tarvelin::test::RunningUnderCi()) {                \
                GTEST_FAIL() << what << " (./test.sh installs it)";  \
            }                                                        \
            GTEST_SKIP() << what << " (./test.sh installs it)";      \
        }                                                            \
    } while (false)

#define TARVELIN_REQUIRE_TOOL(program) \
    TARVELIN_REQUIRE(::tarvelin::test::ToolAvailable(program), program << " is not installed")
