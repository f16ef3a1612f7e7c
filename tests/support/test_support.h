#pragma once

// Helpers shared by the test programs: temporary folders, running peer
// tools, reading and writing whole files.

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
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
// True when a file or folder is there.
bool PathPresent(const std::string& path);
// True under continuous integration (CI set in the environment and not
// "false"), where ./test.sh has installed every tool and package the tests
// use: a missing one fails the test there instead of skipping it.
bool UnderContinuousIntegration();

std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
void WriteWholeFile(const std::string& path, const std::string& text);

// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed);

// Runs work as an ordinary user: when the tests run as root (who may write
// any file and fill any folder), in a child process as nobody (65534),
// else in this process. The result is work's (at most 100); -1 when the
// child did not end by itself, 101 when it could not change its user.
int AsOrdinaryUser(const std::function<int()>& work);

#ifndef _WIN32
// Sets the time zone for the life of the object (through TZ, which the
// Windows platform layer does not read: tests that use it are POSIX only).
class ScopedZone {
public:
    explicit ScopedZone(const char* zone)
    {
        if (const char* saved = std::getenv("TZ")) {
            saved_ = saved;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedZone()
    {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    std::optional<std::string> saved_;
};
#endif

} // namespace tarvelin::test

// Skips the current test when a peer tool is missing (./test.sh installs
// them); fails it under continuous integration.
#define TARVELIN_REQUIRE_TOOL(program) \
    TARVELIN_REQUIRE_(::tarvelin::test::ToolAvailable(program), program << " is not installed")
// Each of the programs named, the same way.
#define TARVELIN_REQUIRE_TOOLS(...) \
    for (const char* tarvelinTool_ : {__VA_ARGS__}) TARVELIN_REQUIRE_TOOL(tarvelinTool_)
// The same for a file a Debian package ships (a loader, a module).
#define TARVELIN_REQUIRE_FILE(path) \
    TARVELIN_REQUIRE_(::tarvelin::test::PathPresent(path), path << " is missing")

// Any other condition a test needs of the machine.
#define TARVELIN_REQUIRE(present, what) TARVELIN_REQUIRE_(present, what)

#define TARVELIN_REQUIRE_(present, what)                                         \
    do {                                                                         \
        if (!(present)) {                                                        \
            if (::tarvelin::test::UnderContinuousIntegration()) {                \
                GTEST_FAIL() << what << " (./test.sh installs it)";              \
            }                                                                    \
            GTEST_SKIP() << what << " (./test.sh installs it)";                  \
        }                                                                        \
    } while (false)
