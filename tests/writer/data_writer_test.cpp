// CBuildData, the file data of a new image: extents of the layout pass, the
// order of the data, the copy pass's bytes and progress, and what happens
// when a source changes, disappears, or the caller cancels.

#include "build_test_support.h"
#include "platform/directory.h"
#include "platform/path.h"
#include "support/fixtures.h"
#include "support/test_support.h"
#include "writer/data_writer.h"
#include "core/out_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using test::FileNode;
using test::FolderNode;
using test::Held;
using test::InfoOf;
using test::kSector;

constexpr std::uint32_t kStart = 25;

struct Recorder {
    std::vector<std::int32_t> values;
    std::optional<std::size_t> cancelAt;

    static bool Callback(void* context, std::int32_t value)
    {
        auto* self = static_cast<Recorder*>(context);
        self->values.push_back(value);
        return !(self->cancelAt && self->values.size() - 1 == *self->cancelAt);
    }
};

// An output that already holds `sectors` sectors of metadata (zeros).
IOutFile* OutputAt(const std::string& path, std::uint32_t sectors)
{
    IOutFile* out = OutFile1();
    EXPECT_TRUE(out->Open(path.c_str())) << out->GetLastError();
    const std::vector<std::uint8_t> zeros(std::size_t{sectors} * kSector, 0);
    EXPECT_TRUE(out->Write(zeros.data(), static_cast<std::uint32_t>(zeros.size())));
    return out;
}

std::vector<std::uint8_t> Range(const std::vector<std::uint8_t>& bytes, std::uint64_t from, std::uint64_t count)
{
    return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

bool AllZero(const std::vector<std::uint8_t>& bytes, std::uint64_t from, std::uint64_t to)
{
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(to), [](std::uint8_t b) { return b == 0; });
}

TEST(BuildData, SizesAnImageCannotRecordAreRefusedByTheLayout)
{
    Held<IMacroList> list(NEW_MACROLIST());
    list->AddChild(list->GetRoot(), FileNode("huge", std::uint64_t{5} << 30, "/somewhere/huge"));
    Held<IBuildData> data(NEW_DATANEW());
    data->Build(2, list.get(), kStart);
    EXPECT_NE(std::string(data->GetLastError()).find("/somewhere/huge"), std::string::npos) << data->GetLastError();

    // 2^32 sectors of files of 4 GiB - 1 bytes overflow the volume.
    Held<IMacroList> many(NEW_MACROLIST());
    for (int i = 0; i < 2049; ++i) {
        many->AddChild(many->GetRoot(), FileNode("f" + std::to_string(i), 0xFFFFFFFFull));
    }
    Held<IBuildData> overflowing(NEW_DATANEW());
    overflowing->Build(2, many.get(), kStart);
    EXPECT_NE(std::string(overflowing->GetLastError()).find("2^32"), std::string::npos);
}

class BuildDataCopy : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string image = dir / "out.iso";
    Held<IMacroList> list{NEW_MACROLIST()};
    std::uint32_t total = 0; // the end sector of the layout
    std::optional<Held<IOutFile>> out;
    Held<IBuildData> data{NEW_DATANEW()};
    Recorder recorder;

    std::string Source(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        const std::string path = dir / name;
        test::WriteWholeFile(path, bytes);
        return path;
    }

    MacroNode* Add(const std::string& path, std::uint64_t size)
    {
        return list->AddChild(list->GetRoot(), FileNode(std::string(platform::FileNameOf(path)), size, path));
    }

    void Layout()
    {
        Held<IBuildData> layout(NEW_DATANEW());
        layout->Build(2, list.get(), kStart);
        total = layout->GetEndSector();
    }

    // Copies the data of the list laid out behind `sectors` sectors of
    // metadata in a new output.
    bool Copy(std::uint32_t sectors = kStart)
    {
        out.reset();
        platform::RemoveFile(image);
        out.emplace(OutputAt(image, sectors));
        return data->Write(list.get(), kStart, out->get(), total, &recorder, &Recorder::Callback);
    }

    std::vector<std::uint8_t> Written()
    {
        (*out)->Close();
        return test::ReadWholeFile(image);
    }

    std::uint64_t Offset(MacroNode* node) { return InfoOf(list.get(), node).fileExtent * std::uint64_t{kSector}; }
};

TEST_F(BuildDataCopy, AFileThatChangedLengthKeepsExactlyItsSectors)
{
    const std::string grows = Source("grows", test::RandomBytes(3000, 4));
    const std::string shrinks = Source("shrinks", test::RandomBytes(5000, 5));
    const std::vector<std::uint8_t> after = test::RandomBytes(100, 6);
    Add(grows, 3000);
    Add(shrinks, 5000);
    const std::string wasEmpty = Source("was-empty", {});
    Add(wasEmpty, 0);
    MacroNode* last = Add(Source("follows", after), after.size());
    Layout();

    const std::vector<std::uint8_t> grown = test::RandomBytes(9000, 7);
    test::WriteWholeFile(grows, grown);
    const std::vector<std::uint8_t> shrunk = test::RandomBytes(10, 8);
    test::WriteWholeFile(shrinks, shrunk);
    test::WriteWholeFile(wasEmpty, test::RandomBytes(50, 9)); // stays empty in the image, but not silently
    ASSERT_TRUE(Copy());
    std::string warnings;
    for (std::uint32_t i = 0; i < data->GetWarningCount(); ++i) {
        warnings += std::string(data->GetWarning(i)) + "\n";
    }
    EXPECT_EQ(data->GetWarningCount(), 3u) << warnings;
    for (const std::string& path : {grows, shrinks, wasEmpty}) {
        EXPECT_NE(warnings.find("'" + path + "' changed length"), std::string::npos) << path;
    }

    const std::vector<std::uint8_t> bytes = Written();
    ASSERT_EQ(bytes.size(), std::uint64_t{total} * kSector);
    const std::uint64_t first = std::uint64_t{kStart} * kSector;
    EXPECT_EQ(Range(bytes, first, 3000), Range(grown, 0, 3000)); // cut to its size when added
    EXPECT_TRUE(AllZero(bytes, first + 3000, first + 2 * kSector));
    EXPECT_EQ(Range(bytes, first + 2 * kSector, 10), shrunk); // padded with zeros
    EXPECT_TRUE(AllZero(bytes, first + 2 * kSector + 10, first + 5 * kSector));
    EXPECT_EQ(InfoOf(list.get(), last).fileExtent, kStart + 5);
    EXPECT_EQ(Range(bytes, first + 5 * kSector, after.size()), after); // still where the directory says
}

TEST_F(BuildDataCopy, TheOutputMustStandWhereTheDataBegins)
{
    Add(Source("one", test::RandomBytes(100, 13)), 100);
    Layout();
    EXPECT_FALSE(Copy(kStart - 1));
    EXPECT_TRUE(recorder.values.empty());
    EXPECT_EQ((*out)->GetBytesWritten(), std::uint64_t{kStart - 1} * kSector);
}

} // namespace
} // namespace tarvelin
