// The texts of the download window's status line that are made from numbers.

#include "download/status_texts.h"

#include <gtest/gtest.h>

TEST(DownloadingStatusText, RightAlignsTheRoundedPercentage)
{
    EXPECT_EQ(downloadingStatusText(0.0), "Downloading   0%");
    EXPECT_EQ(downloadingStatusText(42.4), "Downloading  42%");
    EXPECT_EQ(downloadingStatusText(99.6), "Downloading 100%");
    EXPECT_EQ(downloadingStatusText(1234.0), "Downloading 1234%");
}

TEST(RetryStatusText, NamesTheCauseAndCountsDownFromTheWholeSecondsOfTheWait)
{
    using Cause = UrlDownloadRetry::Cause;
    UrlDownloadRetry busy{"HTTP status 503", 3.2, 2, 5, Cause::ServerBusy, 503};
    EXPECT_EQ(retryWaitSeconds(busy), 4);
    EXPECT_EQ(retryStatusText(busy), "Server busy (503) \u2014 retrying in 4 s (attempt 2 of 5)");
    EXPECT_EQ(retryStatusText(busy, 1), "Server busy (503) \u2014 retrying in 1 s (attempt 2 of 5)");
    EXPECT_EQ(retryStatusText(busy, 0), "Server busy (503) \u2014 retrying now (attempt 2 of 5)");

    const UrlDownloadRetry unreachable{"Could not resolve host", 2.0, 3, 5, Cause::CannotReach, 0,
                                       "downloads.example.com"};
    EXPECT_EQ(retryStatusText(unreachable), "Cannot reach downloads.example.com \u2014 retrying in 2 s (attempt 3 of 5)");
    const UrlDownloadRetry lost{"Connection reset", 0.9, 2, 5};
    EXPECT_EQ(retryStatusText(lost), "Connection lost \u2014 retrying in 1 s (attempt 2 of 5)");
    const UrlDownloadRetry stalled{"No data for 60 s", 8.0, 4, 5, Cause::Stalled};
    EXPECT_EQ(retryStatusText(stalled), "Download stalled \u2014 retrying in 8 s (attempt 4 of 5)");
}

TEST(FailureExplanation, SaysWhatTheServerAnsweredInPlainWords)
{
    EXPECT_EQ(httpStatusExplanation(404, "http://downloads.example.com/agent.zip"),
              "The server answered 404 Not Found for http://downloads.example.com/agent.zip");
    EXPECT_EQ(httpStatusExplanation(599, "http://h/a"), "The server answered 599 for http://h/a");
}
