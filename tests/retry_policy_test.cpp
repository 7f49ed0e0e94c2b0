// The waits between attempts: the backoff and the cap on what a server asks.

#include "platform/retry_policy.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>

namespace {

TEST(RetryPolicy, WaitsDoubleUpToEightSecondsOrWhatTheServerAsksUpToThirty)
{
    EXPECT_EQ(1.0, backoffSeconds(1, 0.5));
    EXPECT_EQ(2.0, backoffSeconds(2, 0.5));
    EXPECT_EQ(8.0, backoffSeconds(4, 0.5));
    EXPECT_EQ(8.0, backoffSeconds(9, 0.5));
    EXPECT_DOUBLE_EQ(3.2, backoffSeconds(3, 0.0));
    EXPECT_DOUBLE_EQ(4.8, backoffSeconds(3, 1.0));

    const std::time_t now = 1751364000; // Tue, 01 Jul 2025 10:00:00 GMT
    EXPECT_EQ(std::optional<double>(1.0), retryAfterSeconds("1", now));
    EXPECT_EQ(std::optional<double>(30.0), retryAfterSeconds("3600", now));
    EXPECT_EQ(std::optional<double>(12.0), retryAfterSeconds("Tue, 01 Jul 2025 10:00:12 GMT", now));
    EXPECT_EQ(std::optional<double>(0.0), retryAfterSeconds("Tue, 01 Jul 2025 09:00:00 GMT", now));
    EXPECT_EQ(std::optional<double>(30.0), retryAfterSeconds("Wed, 02 Jul 2025 10:00:00 GMT", now));
    EXPECT_EQ(std::nullopt, retryAfterSeconds("soon", now));
    EXPECT_EQ(std::nullopt, retryAfterSeconds("", now));
}

} // namespace
