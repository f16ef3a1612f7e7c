// Long runs of random edits saved in place on a plain and a raw image: our reader, 7-Zip and bsdtar agree with a model
// of the tree, the image stays within twice its live data, and a compact is no larger than a build.

#include "command.h"
#include "image_session.h"
#include "edit/iso_edit.h"
#include "edit/iso_extract.h"
#include "support/cli_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

namespace tarvelin {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

// Path -> bytes; folders end in '/' and hold nothing.
using Model = std::map<std::string, std::vector<std::uint8_t>>;

std::string Cli(const std::string& arguments)
{
    const test::CommandResult result = RunCommand(ShellQuote(TARVELIN_CLI_PATH) + " " + arguments);
    EXPECT_EQ(result.exitCode, 0) << arguments << "\n" << result.output;
    return result.output;
}

void ReadTree(cli::ImageSession& session, DirNode* folder, const std::string& prefix, Model& out)
{
    for (DirNode* node = session.Edit().GetFirstChild(folder); node != nullptr;
         node = session.Edit().GetNextSibling(node)) {
        const ItemInfo info = session.Info(node);
        if (info.isDirectory) {
            out[prefix + info.name + "/"];
            ReadTree(session, node, prefix + info.name + "/", out);
            continue;
        }
        std::vector<std::uint8_t>& bytes = out[prefix + info.name];
        bytes.resize(info.size);
        if (info.size != 0) {
            EXPECT_TRUE(session.Edit().ReadFileData(node, 0, bytes.data(), static_cast<std::uint32_t>(info.size)));
        }
    }
}

std::uint64_t LiveBytes(const Model& model)
{
    std::uint64_t total = 0;
    for (const auto& [path, bytes] : model) {
        total += (bytes.size() + 2047) / 2048 * 2048;
    }
    return total;
}

// The entry itself, or (for a folder) anything inside it.
bool Within(const std::string& entry, const std::string& path)
{
    return entry == path || (path.back() == '/' && entry.rfind(path, 0) == 0);
}

class Soak : public ::testing::TestWithParam<bool> { // raw 2352-byte sectors or not
protected:
    test::TempDir dir;
    std::mt19937 random{GetParam() ? 7u : 3u};
    Model model;

    std::size_t Pick(std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(random); }

    std::vector<std::string> Folders()
    {
        std::vector<std::string> folders{""};
        for (const auto& [path, bytes] : model) {
            if (path.back() == '/') {
                folders.push_back(path);
            }
        }
        return folders;
    }

    std::string Entry(bool wantFile)
    {
        std::vector<std::string> entries;
        for (const auto& [path, bytes] : model) {
            if ((path.back() != '/') == wantFile) {
                entries.push_back(path);
            }
        }
        return entries.empty() ? std::string() : entries[Pick(entries.size())];
    }

    DirNode* Find(cli::ImageSession& session, std::string path)
    {
        if (!path.empty() && path.back() == '/') {
            path.pop_back();
        }
        std::string problem;
        DirNode* node = session.Find(path, &problem);
        EXPECT_NE(node, nullptr) << problem;
        return node;
    }

    // One random edit, made through the engine and in the model.
    void Edit(cli::ImageSession& session, int step)
    {
        IIsoEdit& edit = session.Edit();
        const std::string name = "n" + std::to_string(step) + (Pick(2) == 0 ? ".dat" : "");
        switch (Pick(6)) {
        case 0:
        case 1: { // add a file, or replace one
            const std::string replaced = Entry(true);
            const bool replace = !replaced.empty() && Pick(2) == 0;
            const std::string path = replace ? replaced : Folders()[Pick(Folders().size())] + name;
            const std::size_t slash = path.rfind('/');
            const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
            const std::string source = dir / ("disk/" + path.substr(slash + 1));
            // Sizes up to 1.5 MiB, so that replaced files leave real holes.
            const std::vector<std::uint8_t> bytes = test::RandomBytes(Pick(4) == 0 ? 0 : Pick(1536 * 1024), step);
            test::WriteWholeFile(source, bytes);
            ASSERT_NE(edit.AddFile(source.c_str(), Find(session, folder)), nullptr) << edit.GetLastError();
            model[path] = bytes;
            return;
        }
        case 2: { // delete a file or a folder with everything in it
            const std::string path = Entry(Pick(3) != 0);
            if (path.empty()) {
                return;
            }
            const std::string trimmed = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
            const std::size_t slash = trimmed.rfind('/');
            DirNode* parent = Find(session, slash == std::string::npos ? "" : trimmed.substr(0, slash));
            ASSERT_TRUE(edit.DeleteNode(parent, Find(session, path))) << path;
            std::erase_if(model, [&](const auto& entry) { return Within(entry.first, path); });
            return;
        }
        case 3: { // a new folder
            const std::string folder = Folders()[Pick(Folders().size())];
            ASSERT_NE(edit.NewDirectory(name.c_str(), Find(session, folder)), nullptr);
            model[folder + name + "/"];
            return;
        }
        default: { // rename a file or a folder
            const std::string path = Entry(Pick(2) != 0);
            if (path.empty()) {
                return;
            }
            const bool folder = path.back() == '/';
            const std::string trimmed = folder ? path.substr(0, path.size() - 1) : path;
            const std::size_t slash = trimmed.rfind('/');
            const std::string renamed = trimmed.substr(0, slash + 1) + "r" + name + (folder ? "/" : "");
            ASSERT_TRUE(edit.Rename(("r" + name).c_str(), Find(session, path)));
            Model moved;
            for (auto entry = model.begin(); entry != model.end();) {
                if (Within(entry->first, path)) {
                    moved[renamed + entry->first.substr(path.size())] = std::move(entry->second);
                    entry = model.erase(entry);
                } else {
                    ++entry;
                }
            }
            model.merge(moved);
        }
        }
    }
};

TEST_P(Soak, RandomEditsKeepEveryReaderInStepAndTheImageSmall)
{
    TARVELIN_REQUIRE_TOOLS("7z", "bsdtar");
    const bool raw = GetParam();
    fs::create_directories(dir / "src/docs");
    fs::create_directories(dir / "disk");
    test::WriteWholeFile(dir / "src/docs/readme.txt", std::string("readme\n"));
    model["docs/"];
    model["docs/readme.txt"] = {'r', 'e', 'a', 'd', 'm', 'e', '\n'};
    Cli("build " + ShellQuote(dir / "start.iso") + " " + ShellQuote(dir / "src/docs"));
    std::string image = dir / "start.iso";
    if (raw) {
        Cli("iso2bin " + ShellQuote(image) + " " + ShellQuote(dir / "soak.bin"));
        image = dir / "soak.bin";
    }
    const std::string readable = dir / "readable.iso"; // what the peers read of a raw image
    constexpr int kSteps = 200;
    for (int step = 1; step <= kSteps; ++step) {
        {
            cli::ImageSession session;
            ASSERT_EQ(session.OpenForEditing(image), cli::kExitOk);
            Edit(session, step);
            ASSERT_EQ(cli::SaveEdits(session), cli::kExitOk) << "step " << step;
        }
        {
            cli::ImageSession reread;
            ASSERT_EQ(reread.Open(image), cli::kExitOk);
            Model read;
            ReadTree(reread, reread.Root(), "", read);
            ASSERT_EQ(read, model) << "step " << step;
        }

        if (raw) {
            fs::remove(readable);
            Cli("bin2iso " + ShellQuote(image) + " " + ShellQuote(readable));
        }
        const std::string peerImage = raw ? readable : image;
        ASSERT_EQ(test::SevenZipPaths(peerImage), test::PathsOf(model)) << "step " << step;
        ASSERT_EQ(test::BsdtarPaths(peerImage), test::PathsOf(model)) << "step " << step;
        const std::uint64_t live = LiveBytes(model);
        EXPECT_LE(fs::file_size(image) / (raw ? 2352 : 2048) * 2048, 2 * live + 1024 * 1024)
            << "step " << step << ": " << live << " live bytes";
        if (step % 50 == 0) { // the bytes too, as 7-Zip and the engine's extraction give them
            const std::string out = dir / ("x" + std::to_string(step));
            const std::string ours = dir / ("e" + std::to_string(step));
            ASSERT_EQ(RunCommand("7z x -y -o" + ShellQuote(out) + " " + ShellQuote(peerImage)).exitCode, 0);
            {
                cli::ImageSession session;
                ASSERT_EQ(session.Open(image), cli::kExitOk);
                EXPECT_EQ(ExtractEntries(session.Edit(), {session.Root()}, ours, ExtractOptions{}).failures, 0u);
            }
            for (const auto& [path, bytes] : model) {
                if (path.back() != '/') {
                    ASSERT_EQ(test::ReadWholeFile(out + "/" + path), bytes) << path;
                    ASSERT_EQ(test::ReadWholeFile(ours + "/" + path), bytes) << path;
                }
            }
        }
    }

    // Compacted, the volume is no larger than a fresh build of its tree.
    Cli("compact " + ShellQuote(image));
    fs::remove(readable);
    if (raw) {
        Cli("bin2iso " + ShellQuote(image) + " " + ShellQuote(readable));
    }
    const std::string peerImage = raw ? readable : image;
    const std::string tree = dir / "tree";
    ASSERT_EQ(RunCommand("7z x -y -o" + ShellQuote(tree) + " " + ShellQuote(peerImage)).exitCode, 0);
    EXPECT_EQ(test::SevenZipPaths(peerImage), test::PathsOf(model));
    Cli("build " + ShellQuote(dir / "fresh.iso") + " " + ShellQuote(tree) + "/*");
    EXPECT_LE(fs::file_size(peerImage), fs::file_size(dir / "fresh.iso"));
}

INSTANTIATE_TEST_SUITE_P(PlainAndRaw, Soak, ::testing::Values(false, true),
                         [](const auto& test) { return test.param ? "Raw" : "Plain"; });

} // namespace
} // namespace tarvelin
