// The figures and words the front ends show beside the status text.

#include "ui/progress_text.h"

#include <gtest/gtest.h>

namespace {

using Phase = DownloadProgress::Phase;

DownloadProgress inPhase(Phase phase)
{
    DownloadProgress progress;
    progress.phase = phase;
    progress.url = "https://downloads.example.com/agent.zip";
    progress.host = "downloads.example.com";
    progress.logName = "launcher";
    return progress;
}

TEST(ProgressText, TheFactsOfATransferWithOrWithoutItsTotal)
{
    DownloadProgress progress = inPhase(Phase::Downloading);
    progress.bytesReceived = 3670016;
    progress.totalBytes = 29989273;
    const TransferFacts facts = transferFacts(progress, 1572864.0);
    EXPECT_EQ(facts.bytes, "3.5 MiB / 28.6 MiB");
    EXPECT_EQ(facts.speed, "1.5 MiB/s");
    EXPECT_EQ(facts.timeLeft, "17 s left");
    EXPECT_EQ(transferDetails(progress, 1572864.0), "3.5 MiB / 28.6 MiB  1.5 MiB/s  17 s left");
    EXPECT_EQ(joinedFacts(facts, " | ", false), "3.5 MiB / 28.6 MiB | 17 s left");

    progress.totalBytes = -1;
    EXPECT_EQ(transferDetails(progress, std::nullopt), "3.5 MiB") << "bytes received when the length is unknown";
    progress.bytesReceived = 0;
    EXPECT_EQ(transferDetails(progress, 1000.0), "");
}

TEST(ProgressText, WhomItConnectsToAndWhatAFailureTellsAPerson)
{
    EXPECT_EQ(connectingText(inPhase(Phase::Connecting)), "Connecting to downloads.example.com\u2026");
    EXPECT_EQ(connectingText(inPhase(Phase::Downloading)), "");

    DownloadProgress failed = inPhase(Phase::Failed);
    failed.failureReason = "Couldn't connect to server";
    EXPECT_EQ(failureDetails(failed),
              (std::vector<std::string>{"The download from downloads.example.com failed: Couldn't connect to server",
                                        "Details: journalctl -t launcher"}));
    failed.failureExplanation = "No connection to downloads.example.com";
    EXPECT_EQ(failureDetails(failed).front(), "No connection to downloads.example.com");
    EXPECT_TRUE(failureDetails(inPhase(Phase::Downloading)).empty());
}

} // namespace
