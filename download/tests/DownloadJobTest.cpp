// The download job without a window or a server: the transfer's own clock and the placement of
// the finished file, driven through the worker's side on the test thread (the UI thread here).
#include <gtest/gtest.h>

#include <filesystem>

#include "download/TDownloadJob.h"
#include "platform/UiThread.h"
#include "tests/support/TempFolder.h"

namespace {

struct TJob {
    TQueuedUiThread Ui;
    TDownloadJob::TTimePoint Now{};
    std::shared_ptr<TDownloadJob> Job =
        std::make_shared<TDownloadJob>(Ui, TNumberFormat{}, [this] { return Now; });
    void At(double seconds) {
        Now = TDownloadJob::TTimePoint(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(seconds)));
    }
};

// However long the save dialog stayed open, the figures count from the first block written and
// the completion line gives the transfer's own duration.
TEST(DownloadJob, FiguresCountFromTheFirstBlockWritten) {
    const struct {
        double Dialog, Transfer;
        std::string Progress, Rate, Result, ResultRate;
    } rows[] = {
        {10, 1.4, "700.0 KB of 1.4 MB (1 sec left)", "700.00 KB/s", "1.4 MB in 1 sec ",
         "1400.00 KB/s"},
        {0, 3, "700.0 KB of 1.4 MB (2 sec left)", "350.00 KB/s", "1.4 MB in 3 sec ", "466.67 KB/s"},
        {65, 0.4, "700.0 KB of 1.4 MB", "", "1.4 MB in 0 sec ", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Result);
        TJob j;
        j.Job->SizeAnnounced(1433600);
        j.At(row.Dialog);
        EXPECT_FALSE(j.Job->BlockWritten(16384));
        j.At(row.Dialog + row.Transfer / 2);
        j.Job->BlockWritten(716800);
        const TProgressView progress = j.Job->Progress();
        EXPECT_EQ(progress.Amount, row.Progress);
        EXPECT_EQ(progress.Rate, row.Rate);
        j.At(row.Dialog + row.Transfer);
        j.Job->TransferEnded(0, 1433600, 1433600, "");
        j.At(row.Dialog + row.Transfer + 30);  // the window shows it later
        const TProgressView result = j.Job->Result();
        EXPECT_EQ(result.Amount, row.Result);
        EXPECT_EQ(result.Rate, row.ResultRate);
        EXPECT_EQ(result.Percent, 100);
    }
}

TEST(DownloadJob, PartFileReplacesTheChosenOneOnlyWhenWhole) {
    const struct {
        int32_t Code;
        uint64_t Received;
        int64_t Total;
        bool Kept;
    } rows[] = {{0, 5, 5, true}, {0, 5, -1, true}, {0, 3, 5, false}, {404, 5, 5, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.Code) + " " + std::to_string(row.Received));
        TTempFolder dir;
        const std::string chosen = dir.File("video.flv");
        WriteFile(chosen, "old");
        TJob j;
        j.Job->OnAskFile = [&] { return std::optional<std::string>(chosen); };
        bool complete = !row.Kept;
        j.Job->OnFinish = [&](bool c, const std::string&) { complete = c; };
        const std::optional<std::string> part = j.Job->AskPartFile();
        ASSERT_EQ(part, chosen + ".part");
        WriteFile(*part, "fresh");
        j.Job->TransferEnded(row.Code, row.Received, row.Total, "");
        EXPECT_EQ(complete, row.Kept);
        EXPECT_EQ(ReadFile(chosen), row.Kept ? "fresh" : "old");
        EXPECT_FALSE(std::filesystem::exists(*part));
    }
    // Once aborted, the owner is not asked and the next block stops the transfer.
    TJob j;
    j.Job->OnAskFile = [] { return std::optional<std::string>("never"); };
    j.Job->Abort();
    EXPECT_FALSE(j.Job->AskPartFile());
    EXPECT_TRUE(j.Job->BlockWritten(1));
}

}  // namespace
