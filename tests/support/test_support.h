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
// True when the environment says CI=true (as CI services set it).
bool RunningUnderCi();

std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
void WriteWholeFile(const std::string& path, const std::string& text);

// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed);

} // namespace tarvelin::test

// Skips the current test when a peer tool is missing (./test.sh installs
// them); under CI (CI=true) the test fails instead, so that a run without
// its peer tools cannot pass unchecked.
#define TARVELIN_REQUIRE_TOOL(program)                                              \
    do {                                                                            \
        if (!::tarvelin::test::ToolAvailable(program)) {                            \
            if (::tarvelin::test::RunningUnderCi()) {                               \
                GTEST_FAIL() << program << " is not installed, and CI=true";        \
            }                                                                       \
            GTEST_SKIP() << program << " is not installed (./test.sh installs it)"; \
        }                                                                           \
    } while (false)
