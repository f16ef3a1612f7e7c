// The image file: opening without creating, CUE sheets,
// positioned reads and writes with 64-bit positions.

#include "core/image_file.h"
#include "core/iso_sector.h"

#include "support/fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>


#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

using ImageFile = ComponentPtr<IImageFile>;
using Sectors = ComponentPtr<IIsoSector>;

ImageFile NewImageFile() { return ImageFile(RwFile1()); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ImageFileTest : public ::testing::Test {
protected:
    std::string Put(const std::string& name, const Bytes& bytes)
    {
        const std::string path = dir_ / name;
        WriteWholeFile(path, bytes);
        return path;
    }
    std::string Put(const std::string& name, const std::string& text)
    {
        return Put(name, Bytes(text.begin(), text.end()));
    }

    TempDir dir_;
};

TEST_F(ImageFileTest, MissingFileFailsAndIsNotCreated)
{
    const std::string missing = dir_ / "missing.iso";
    ImageFile file = NewImageFile();
    EXPECT_FALSE(file->Open(missing.c_str()));
    EXPECT_TRUE(Contains(file->GetLastError(), "missing.iso")) << file->GetLastError();
    EXPECT_FALSE(std::filesystem::exists(missing));

    Sectors sectors(Sector1());
    ASSERT_TRUE(sectors);
    EXPECT_FALSE(sectors->Open(missing.c_str()));
    EXPECT_EQ(sectors->GetOpenError(), ImageOpenError::CannotOpen);
    EXPECT_TRUE(Contains(sectors->GetLastError(), "missing.iso"));
    EXPECT_FALSE(std::filesystem::exists(missing));

    EXPECT_FALSE(file->Open((dir_ / "no folder/missing.iso").c_str()));
    EXPECT_FALSE(file->Open(""));
    // Nothing open: reads, writes and sector reads fail and say why.
    std::uint8_t byte = 0;
    EXPECT_EQ(file->Read(&byte, 1), 0u);
    EXPECT_FALSE(file->Write(&byte, 1));
    EXPECT_NE(std::string(file->GetLastError()), "");
    std::uint8_t sector[2048];
    EXPECT_FALSE(sectors->ReadSector(16, sector));
    EXPECT_FALSE(sectors->SeekToSector(16));
}

TEST_F(ImageFileTest, PositionedReadsAndWrites)
{
    const Bytes content = test::RandomBytes(10000, 3);
    const std::string path = Put("file.img", content);
    ImageFile file = NewImageFile();
    ASSERT_TRUE(file->Open(path.c_str()));
    EXPECT_FALSE(file->IsReadOnly());
    EXPECT_EQ(file->GetPath(), path);
    EXPECT_EQ(file->GetLength(), content.size());

    Bytes buffer(100);
    ASSERT_TRUE(file->Seek(9950));
    EXPECT_EQ(file->Read(buffer.data(), 100), 50u);
    EXPECT_TRUE(Bytes(buffer.begin(), buffer.begin() + 50) == Bytes(content.begin() + 9950, content.end()));
    EXPECT_EQ(file->Read(buffer.data(), 100), 0u); // at the end
    EXPECT_EQ(file->ReadAt(20000, buffer.data(), 100), 0u);
    EXPECT_EQ(file->ReadAt(100, buffer.data(), 100), 100u);
    EXPECT_TRUE(buffer == Bytes(content.begin() + 100, content.begin() + 200));

    // Write goes to the current position, WriteAt leaves it alone.
    const Bytes patch = {1, 2, 3, 4};
    ASSERT_TRUE(file->Seek(10));
    ASSERT_TRUE(file->WriteAt(5000, patch.data(), 4));
    ASSERT_TRUE(file->Write(patch.data(), 4));
    // Beyond 4 GiB: a sparse extension.
    const std::uint64_t far = (std::uint64_t{1} << 32) + 12345;
    ASSERT_TRUE(file->Seek(far));
    ASSERT_TRUE(file->Write(patch.data(), 4));
    ASSERT_TRUE(file->Flush());
    EXPECT_EQ(file->GetLength(), far + 4);
    EXPECT_EQ(file->ReadAt(far, buffer.data(), 100), 4u);

    file.reset(); // an open image is not shared on Windows
    Bytes expected = content;
    std::copy(patch.begin(), patch.end(), expected.begin() + 10);
    std::copy(patch.begin(), patch.end(), expected.begin() + 5000);
    EXPECT_TRUE(test::ReadFileRange(path, 0, content.size()) == expected);
    EXPECT_TRUE(test::ReadFileRange(path, far, 4) == patch);
    EXPECT_TRUE(test::ReadFileRange(path, far % (std::uint64_t{1} << 32), 4) == Bytes(4, 0));
}

// CUE sheets name the data file behind them.
class CueSheetTest : public ImageFileTest {
protected:
    void SetUp() override { dataPath_ = Put("data.bin", Bytes(4096, 0x42)); }

    // Opens a sheet with the text given; the data file actually opened, or
    // "failed: <reason>".
    std::string OpenSheet(const std::string& text, const std::string& sheetName = "image.cue")
    {
        const std::string sheet = Put(sheetName, text);
        ImageFile file = NewImageFile();
        if (!file->Open(sheet.c_str())) {
            return std::string("failed: ") + file->GetLastError();
        }
        return file->GetPath();
    }

    std::string dataPath_;
};

TEST_F(CueSheetTest, TheFirstFileEntryNamesTheDataFile)
{
    Put("other.bin", Bytes(10, 0));
    Put("my data.bin", Bytes(10, 0));
    // A name with a root is taken as it stands.
    TempDir elsewhere;
    std::filesystem::create_directories(elsewhere / "sub folder");
    const std::string target = elsewhere / "sub folder/track.bin";
    WriteWholeFile(target, Bytes(10, 1));
    std::filesystem::create_directories(dir_ / "sheets/tracks");
    Put("sheets/tracks/track.bin", Bytes(10, 2));
    const std::string longRemark(400, 'x');
    const std::string plain = "FILE \"data.bin\" BINARY\n";
    const struct {
        const char* what;
        std::string sheet;
        std::string opened; // empty: the sheet itself, opened as an image
        std::string sheetName = "image.cue";
    } cases[] = {
        {"quoted", "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n", dataPath_},
        {"bare", "FILE data.bin BINARY\n  TRACK 01 MODE1/2352\n", dataPath_},
        {"quoted with a space", "FILE \"my data.bin\" BINARY\n", dir_ / "my data.bin"},
        {"bare with spaces", "FILE my data.bin  BINARY \t\n", dir_ / "my data.bin"},
        {"bare without a type", "FILE data.bin\n", dataPath_},
        {"remarks and title first",
         "REM GENRE \"Test\"\nREM COMMENT \"made by hand\"\nTITLE \"A disc\"\nPERFORMER \"Someone\"\n"
         "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2352\n",
         dataPath_},
        {"two FILE entries",
         "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
         "FILE \"other.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n",
         dataPath_},
        {"lower case, indented, CRLF", "\r\n \t file \"data.bin\" binary\r\n  track 01 mode1/2352\r\n", dataPath_},
        {"byte order mark", "\xEF\xBB\xBF" + plain, dataPath_},
        {"entry behind a long remark", "REM " + longRemark + "\n" + plain, dataPath_},
        {"upper-case extension", plain, dataPath_, "IMAGE.CUE"},
        {"name with a root", "FILE \"" + target + "\" BINARY\n", target, "sheets/image.cue"},
        // A relative name with folders lies below the sheet's folder, not
        // below the folder the program runs in.
        {"name with a relative folder", "FILE \"tracks/track.bin\" BINARY\n", dir_ / "sheets/tracks/track.bin",
         "sheets/image.cue"},
        {"name in the folder above", "FILE \"../data.bin\" BINARY\n", dir_ / "sheets/../data.bin", "sheets/image.cue"},
        // Only a lower- or upper-case extension names a sheet.
        {"mixed-case extension", plain, "", "image.Cue"},
#ifndef _WIN32
        // Sheets written on Windows: backslashes part folders, and a name
        // missing as spelled finds the one file it names but for case.
        {"Windows separators and case", "FILE \"Tracks\\Track.BIN\" BINARY\n", dir_ / "sheets/tracks/track.bin",
         "sheets/image.cue"},
        {"Windows separators above", "FILE \"..\\DATA.bin\" BINARY\n", dir_ / "sheets/../data.bin",
         "sheets/image.cue"},
        {"exact spelling first", "FILE \"Other.BIN\" BINARY\n", dir_ / "Other.BIN"},
#endif
    };
#ifndef _WIN32
    Put("Other.BIN", Bytes(10, 3));
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(OpenSheet(c.sheet, c.sheetName), c.opened.empty() ? dir_ / c.sheetName : c.opened);
    }
    ImageFile file = NewImageFile();
    ASSERT_TRUE(file->Open((dir_ / "image.Cue").c_str()));
    EXPECT_EQ(file->GetLength(), plain.size());
}

// A copy of the one data file gets the sheet's text with only its FILE
// entry naming the copy: the tracks behind the data track come along.
TEST_F(CueSheetTest, ASheetForACopyKeepsAllButTheName)
{
    const std::string tracks = "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n  TRACK 02 AUDIO\r\n"
                               "    INDEX 00 00:10:00\r\n    INDEX 01 00:12:00\r\n";
    const struct {
        const char* what;
        std::string sheet;
        std::optional<std::string> copy;
    } cases[] = {
        {"quoted, CRLF", "REM x\r\nFILE \"data.bin\" BINARY\r\n" + tracks,
         "REM x\r\nFILE \"copy 1.bin\" BINARY\r\n" + tracks},
        {"byte order mark", "\xEF\xBB\xBF" "FILE \"data.bin\" BINARY\r\n" + tracks,
         "\xEF\xBB\xBF" "FILE \"copy 1.bin\" BINARY\r\n" + tracks},
        {"bare name with a blank, indented, lower case", " file my data.bin motorola\n", " FILE \"copy 1.bin\" motorola\n"},
        {"no file type", "FILE \"my data.bin\"\n", "FILE \"copy 1.bin\" BINARY\n"},
        {"two FILE entries", "FILE \"data.bin\" BINARY\nFILE \"other.bin\" BINARY\n", std::nullopt},
        {"no FILE entry", "REM nothing\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CueSheetForCopy(Put("image.cue", c.sheet), "copy 1.bin"), c.copy);
    }
}

TEST_F(CueSheetTest, SheetsThatNameNoUsableFileFail)
{
    const struct {
        const char* what;
        std::string sheet;
        std::string reason;
    } cases[] = {
        {"no FILE entry", "REM nothing here\nTRACK 01 MODE1/2352\nFILEX \"data.bin\"\n", "FILE"},
        {"empty sheet", "", "FILE"},
        {"FILE without a name", "FILE\n", "FILE"},
        {"unterminated quote", "FILE \"data.bin BINARY\n", "FILE"},
        {"missing data file", "FILE \"missing.bin\" BINARY\n", "missing.bin"},
        {"data file that is a folder", "FILE \"folder\" BINARY\n", "folder"},
#ifndef _WIN32
        {"several files apart only in case", "FILE \"Sub\\Twin.BIN\" BINARY\n",
         "several files match 'Twin.BIN' but for case (TWIN.bin, twin.bin)"},
        {"no file but for case either", "FILE \"Sub\\None.bin\" BINARY\n", "Sub/None.bin"},
#endif
    };
    std::filesystem::create_directories(dir_ / "folder");
#ifndef _WIN32
    std::filesystem::create_directories(dir_ / "sub");
    Put("sub/twin.bin", Bytes(10, 0));
    Put("sub/TWIN.bin", Bytes(10, 0));
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string result = OpenSheet(c.sheet);
        EXPECT_TRUE(result.starts_with("failed: ")) << result;
        EXPECT_TRUE(Contains(result, c.reason)) << result;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "missing.bin"));

    ImageFile file = NewImageFile();
    EXPECT_FALSE(file->Open((dir_ / "absent.cue").c_str()));
    EXPECT_TRUE(Contains(file->GetLastError(), "absent.cue"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "absent.cue"));
}

} // namespace
} // namespace tarvelin
