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
