// The undo journal that makes in-place saves all-or-nothing.

#include "core/image_journal.h"

#include "platform/directory.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace tarvelin {
namespace {

using platform::File;
using platform::OpenMode;

class ImageJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = dir_ / "image.iso";
        original_ = test::RandomBytes(300000, 7);
        test::WriteWholeFile(path_, original_);
        ASSERT_TRUE(image_.Open(path_, OpenMode::ReadWrite)) << image_.LastError();
    }

    // A save's typical writes: metadata at the front (two overlapping
    // writes), data over the old tail and beyond the old end.
    void WriteLikeASave(ImageJournal& journal) { WriteLikeASave(journal, image_); }
    static void WriteLikeASave(ImageJournal& journal, File& image)
    {
        const auto front = test::RandomBytes(10000, 1);
        ASSERT_TRUE(journal.Protect(100, front.size()));
        ASSERT_TRUE(image.WriteAt(100, front.data(), front.size()));
        const auto again = test::RandomBytes(5000, 2);
        ASSERT_TRUE(journal.Protect(8000, again.size()));
        ASSERT_TRUE(image.WriteAt(8000, again.data(), again.size()));
        const auto tail = test::RandomBytes(20000, 3);
        ASSERT_TRUE(journal.Protect(290000, tail.size()));
        ASSERT_TRUE(image.WriteAt(290000, tail.data(), tail.size()));
    }

    std::vector<std::uint8_t> Contents() { return test::ReadWholeFile(path_); }

    test::TempDir dir_;
    std::string path_;
    std::vector<std::uint8_t> original_;
    File image_;
};

TEST_F(ImageJournalTest, ASaveKilledHalfWayIsUndoneOnTheNextOpen)
{
    image_.Close();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        File image;
        ImageJournal journal;
        if (!image.Open(path_, OpenMode::ReadWrite) || !journal.Begin(image)) {
            ::_exit(3);
        }
        WriteLikeASave(journal, image);
        ::_exit(0); // dies without committing
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_NE(Contents(), original_);

    ASSERT_TRUE(image_.Open(path_, OpenMode::ReadWrite));
    bool recovered = false;
    std::string error;
    ASSERT_TRUE(ImageJournal::Recover(path_, image_, recovered, error)) << error;
    EXPECT_TRUE(recovered);
    EXPECT_EQ(Contents(), original_);
    EXPECT_FALSE(platform::PathExists(ImageJournal::UndoPathFor(path_)));
}

// Damaged undo files: a torn last record is ignored because its write
// never happened; a file without a whole header changes nothing.
TEST_F(ImageJournalTest, DamagedUndoFilesRecoverWhatTheyCan)
{
    const std::string undoPath = ImageJournal::UndoPathFor(path_);
    for (const bool torn : {true, false}) {
        SCOPED_TRACE(torn ? "torn last record" : "no whole header");
        if (torn) {
            {
                ImageJournal journal;
                ASSERT_TRUE(journal.Begin(image_));
                const auto front = test::RandomBytes(4096, 4);
                ASSERT_TRUE(journal.Protect(0, front.size()));
                ASSERT_TRUE(image_.WriteAt(0, front.data(), front.size()));
                // A second record that was being written when the power went: cut it.
                ASSERT_TRUE(journal.Protect(50000, 4096));
            }
            auto undo = test::ReadWholeFile(undoPath);
            undo.resize(undo.size() - 100);
            test::WriteWholeFile(undoPath, undo);
        } else {
            test::WriteWholeFile(undoPath, std::string("TRVLUN"));
        }
        bool recovered = !torn;
        std::string error;
        ASSERT_TRUE(ImageJournal::Recover(path_, image_, recovered, error)) << error;
        EXPECT_EQ(recovered, torn);
        EXPECT_EQ(Contents(), original_);
        EXPECT_FALSE(platform::PathExists(undoPath));
    }
}

// An abandoned save's undo file blocks a new save until recovered, and a
// read-only image with one cannot be recovered.
TEST_F(ImageJournalTest, ALeftoverUndoFileBlocksANewSaveUntilRecovered)
{
    const auto abandon = [&] {
        ImageJournal journal;
        ASSERT_TRUE(journal.Begin(image_));
        WriteLikeASave(journal);
    };
    abandon();
    ImageJournal next;
    EXPECT_FALSE(next.Begin(image_));
    EXPECT_NE(next.LastError().find("interrupted save"), std::string::npos);

    bool recovered = false;
    std::string error;
    ASSERT_TRUE(ImageJournal::Recover(path_, image_, recovered, error)) << error;
    EXPECT_EQ(Contents(), original_);
    EXPECT_TRUE(next.Begin(image_)) << next.LastError();
    EXPECT_TRUE(next.Rollback());

    abandon();
    image_.Close();
    File readOnly;
    ASSERT_TRUE(readOnly.Open(path_, OpenMode::ReadOnly));
    EXPECT_FALSE(ImageJournal::Recover(path_, readOnly, recovered, error));
    EXPECT_NE(error.find("cannot be written"), std::string::npos);
}

} // namespace
} // namespace tarvelin
