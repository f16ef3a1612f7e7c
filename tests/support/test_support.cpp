#include "support/test_support.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#ifdef _WIN32
#include <process.h>
#else
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarvelin::test {

TempDir::TempDir()
{
#ifdef _WIN32
    // A fresh name: create_directory reports whether it made the folder.
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto name = "tarvelin-test-" + std::to_string(::_getpid()) + "-" + std::to_string(seed());
        const std::filesystem::path candidate = std::filesystem::temp_directory_path() / name;
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvelin-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
#endif
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

CommandResult RunCommand(const std::string& commandLine)
{
    CommandResult result;
#ifdef _WIN32
    std::FILE* pipe = ::_popen((commandLine + " 2>&1").c_str(), "rb");
#else
    std::FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
#endif
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> chunk{};
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        result.output.append(chunk.data(), got);
    }
#ifdef _WIN32
    result.exitCode = ::_pclose(pipe);
#else
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return result;
}

std::string ShellQuote(const std::string& word)
{
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

bool ToolAvailable(const std::string& program)
{
    return RunCommand("command -v " + ShellQuote(program) + " >/dev/null").exitCode == 0;
}

bool UnderContinuousIntegration()
{
    const char* value = std::getenv("CI");
    return value != nullptr && *value != '\0' && std::string(value) != "false";
}

bool PathPresent(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// Paths are UTF-8 on every platform; a plain string would be read in the
// system's code page where that is not UTF-8 (Windows).
namespace {
std::filesystem::path Utf8Path(const std::string& path)
{
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}
} // namespace

std::vector<std::uint8_t> ReadWholeFile(const std::string& path)
{
    std::ifstream in(Utf8Path(path), std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void WriteWholeFile(const std::string& path, const std::string& text)
{
    WriteWholeFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(generator() >> 24);
    }
    return bytes;
}

int AsOrdinaryUser(const std::function<int()>& work)
{
#ifdef _WIN32
    return work(); // no root to step down from
#else
    if (::geteuid() != 0) {
        return work();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0
            && ::setresuid(65534, 65534, 65534) == 0;
        ::_exit(dropped ? std::min(work(), 100) : 101);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
#endif
}

} // namespace tarvelin::test
