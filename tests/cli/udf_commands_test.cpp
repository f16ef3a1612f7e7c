// The commands over the UDF tree of an image (--tree udf) and info's UDF
// lines, checked against peer tools: 7-Zip's listing, dates and extraction
// of the UDF side of genisoimage -udf images (made without Rock Ridge and
// Joliet, so that a listing of the ISO 9660 side could not pass for it), and
// udfinfo's revision, label and counts of volumes mkudffs makes. mkudffs
// volumes cannot be filled here (that takes mounting them), so they are
// empty: they check the descriptors of each revision and partition kind.

#include "support/cli_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::RunForOutput;
using test::ShellQuote;
using test::TempDir;

std::string Cli(const std::string& arguments, const std::string& zone = "UTC")
{
    return "env TZ=" + zone + " " + ShellQuote(TARVELIN_CLI_PATH) + " " + arguments;
}

// "key=value" lines of udfinfo.
std::map<std::string, std::string> UdfinfoFields(const std::string& image)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(RunForOutput("udfinfo " + ShellQuote(image)));
    std::string line;
    while (std::getline(lines, line)) {
        if (const std::size_t equals = line.find('='); equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return fields;
}

// "name:   value" lines of tarvelin-cli info.
std::map<std::string, std::string> InfoFields(const std::string& image)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(RunForOutput(Cli("info " + ShellQuote(image))));
    std::string line;
    while (std::getline(lines, line)) {
        if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
            const std::size_t value = line.find_first_not_of(' ', colon + 1);
            fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
        }
    }
    return fields;
}

class UdfCommandsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!test::ToolAvailable("genisoimage") || !test::ToolAvailable("mkudffs")) {
            return;
        }
        dir_ = std::make_unique<TempDir>();
        test::MakeTrickyTree(At("tree"));
        test::RunGenisoimage(At("tree"), At("udf.iso"), "-udf");
        test::MakeRawBin(At("udf.iso"), At("udf-mode1.bin"), test::RawForm::Mode1);
        test::RunGenisoimage(At("tree"), At("plain.iso"), "-R");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    void SetUp() override
    {
        TARVELIN_REQUIRE_TOOL("genisoimage");
        TARVELIN_REQUIRE_TOOL("mkudffs");
        TARVELIN_REQUIRE_TOOL("udfinfo");
        TARVELIN_REQUIRE_TOOL("7z");
        ASSERT_NE(dir_, nullptr);
    }

    static std::string At(const std::string& name) { return *dir_ / name; }

    static std::unique_ptr<TempDir> dir_;
};

std::unique_ptr<TempDir> UdfCommandsTest::dir_;

TEST_F(UdfCommandsTest, ListingAndDatesEqualSevenZips)
{
    // The UDF tree is shown by default when the image has one.
    for (const char* ls : {"ls --tree udf -R ", "ls -R "}) {
        for (const char* image : {"udf.iso", "udf-mode1.bin"}) {
            SCOPED_TRACE(std::string(ls) + image);
            int status = -1;
            const std::string listing = RunForOutput(Cli(ls + ShellQuote(At(image))), &status);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(test::SortedLines(listing), test::SevenZipPaths(At("udf.iso")));
        }
    }
    // The 7-Zip listing is of the UDF side: the ISO 9660 side has no long
    // names. An image without UDF shows its ISO 9660 tree.
    EXPECT_NE(RunForOutput(Cli("ls --tree iso -R " + ShellQuote(At("udf.iso")))),
              RunForOutput(Cli("ls --tree udf -R " + ShellQuote(At("udf.iso")))));
    EXPECT_EQ(RunForOutput(Cli("ls -R " + ShellQuote(At("plain.iso")))),
              RunForOutput(Cli("ls --tree iso -R " + ShellQuote(At("plain.iso")))));

    // "size  YYYY-MM-DD HH:MM:SS  extent  path" in a zone east of Greenwich.
    const std::string zone = "Asia/Kolkata";
    std::map<std::string, std::string> ours;
    std::istringstream lines(RunForOutput(Cli("ls --tree udf -R -l " + ShellQuote(At("udf.iso")), zone)));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::uint64_t size = 0;
        std::uint32_t extent = 0;
        std::string day, time;
        ASSERT_TRUE(fields >> size >> day >> time >> extent) << line;
        fields.ignore(2);
        std::string path;
        std::getline(fields, path);
        ours[path] = day + " " + time;
    }
    // 7-Zip shows fractions of a second; the listing whole seconds.
    std::map<std::string, std::string> peer = test::SevenZipDates(At("udf.iso"), zone);
    for (auto& [path, date] : peer) {
        date = date.substr(0, 19);
    }
    EXPECT_EQ(ours, peer);
}

TEST_F(UdfCommandsTest, ExtractAndCatGiveTheSourceBytesAndTimes)
{
    const std::string out = At("out");
    int status = -1;
    RunForOutput(Cli("extract " + ShellQuote(At("udf.iso")) + " -C " + ShellQuote(out)), &status);
    EXPECT_EQ(status, 0);
    // What 7-Zip extracts of the UDF side (genisoimage leaves out what is
    // nested deeper than ISO 9660 allows), with the source's times.
    const std::string peerOut = At("out-7z");
    ASSERT_EQ(test::RunCommand("7z x -y -o" + ShellQuote(peerOut) + " " + ShellQuote(At("udf.iso"))).exitCode, 0);
    const auto extracted = test::SnapshotTree(out);
    const auto peer = test::SnapshotTree(peerOut);
    const auto source = test::SnapshotTree(At("tree"));
    EXPECT_EQ(extracted.size(), peer.size());
    EXPECT_GT(extracted.size(), 20u);
    for (const auto& [path, entry] : peer) {
        const auto found = extracted.find(path);
        ASSERT_NE(found, extracted.end()) << path;
        EXPECT_EQ(found->second.isDirectory, entry.isDirectory) << path;
        EXPECT_TRUE(found->second.bytes == entry.bytes) << path;
        EXPECT_EQ(found->second.modified, source.at(path).modified) << path;
    }
    std::filesystem::remove_all(peerOut);
    std::filesystem::remove_all(out);

    // One file, found without regard to case, and a part of the tree.
    for (const auto& [path, entry] : test::SnapshotTree(At("tree"))) {
        if (!entry.isDirectory && entry.bytes.size() > 2048) {
            const std::string bytes = RunForOutput(Cli("cat --tree udf " + ShellQuote(At("udf.iso")) + " "
                                                       + ShellQuote(path)),
                                                   &status);
            EXPECT_EQ(status, 0) << path;
            EXPECT_EQ(bytes, std::string(entry.bytes.begin(), entry.bytes.end())) << path;
        }
    }
}

TEST_F(UdfCommandsTest, InfoAgreesWithUdfinfo)
{
    struct Case {
        const char* image;
        const char* mkudffs; // options; nullptr: the genisoimage image
    };
    const Case cases[] = {
        {"udf.iso", nullptr},
        {"r102.img", "--media-type=dvd --udfrev=1.02 --label=Rev102"},
        {"r150.img", "--media-type=dvd --udfrev=1.50 --label=Rev150"},
        {"r200.img", "--media-type=hd --udfrev=2.00 --label=Rev200"},
        {"r201.img", "--media-type=dvdram --udfrev=2.01 --label=Rev201"},
        {"sparable.img", "--media-type=dvdrw --udfrev=2.01 --label=Sparable"}, // a sparable partition map
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        if (c.mkudffs != nullptr) {
            const test::CommandResult made = test::RunCommand("mkudffs --blocksize=2048 " + std::string(c.mkudffs) + " "
                                                              + ShellQuote(At(c.image)) + " 3000");
            ASSERT_EQ(made.exitCode, 0) << made.output;
        }
        const auto peer = UdfinfoFields(At(c.image));
        const auto ours = InfoFields(At(c.image));
        EXPECT_EQ(ours.at("udf revision"), peer.at("udfrev"));
        EXPECT_EQ(ours.at("udf label"), peer.at("lvid"));
        const int folders = std::stoi(peer.at("numdirs")) - 1; // udfinfo counts the root
        EXPECT_EQ(ours.at("udf entries"), peer.at("numfiles") + " files, " + std::to_string(folders) + " folders");
        EXPECT_EQ(ours.count("udf damage"), 0u);
        int status = -1;
        RunForOutput(Cli("ls --tree udf -R " + ShellQuote(At(c.image))), &status);
        EXPECT_EQ(status, 0);
    }
}

TEST_F(UdfCommandsTest, RefusalsSayWhy)
{
    struct Case {
        std::string arguments;
        int status;
        const char* says;
    };
    const std::string udf = ShellQuote(At("udf.iso"));
    test::RunCommand("mkudffs --blocksize=2048 --media-type=cdr " + ShellQuote(At("vat.img")) + " 3000");
    const Case cases[] = {
        {"ls --tree udf " + ShellQuote(At("plain.iso")), 2, "no UDF anchor"},
        {"ls --tree udf " + ShellQuote(At("vat.img")), 1, "Virtual Partition' is not supported"},
        {"cat --tree udf " + udf + " /", 1, "is a folder"},
        {"ls --tree udf " + udf + " /no/such", 1, "not found"},
        {"rm --tree udf " + udf + " x", 64, "cannot be edited"},
        {"ls --tree hfs " + udf, 64, "--tree takes iso, joliet or udf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const test::CommandResult result = test::RunCommand(Cli(c.arguments));
        EXPECT_EQ(result.exitCode, c.status);
        EXPECT_NE(result.output.find(c.says), std::string::npos) << result.output;
    }
}

} // namespace
} // namespace tarvelin
