// The trusted comment's fields, read as the launcher reads them and written
// as the bundle tool writes them, and what the launcher holds an agent to by
// them.

#include "provisioning/trust_policy.h"
#include "provisioning/trusted_comment.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    std::string comment;
    TrustedCommentFields fields;
};

bool operator==(const TrustedCommentFields& a, const TrustedCommentFields& b)
{
    return a.timestamp == b.timestamp && a.release == b.release && a.platform == b.platform && a.size == b.size
        && a.file == b.file;
}

} // namespace

TEST(TrustedComment, FieldsAreNameColonValueBetweenTabsAndEverythingElseStatesNothing)
{
    const std::vector<Case> cases = {
        // minisign's own default comment
        {"timestamp:1700000000\tfile:agent.zip\thashed", {1700000000, {}, {}, {}, "agent.zip"}},
        {"timestamp:1\trelease:R2024a\tplatform:lnx64\tsize:1234\tfile:a.zip", {1, "R2024a", "lnx64", 1234, "a.zip"}},
        // free text: no field, or none the launcher knows
        {"agent 7.1 for ostx86", {}},
        {"agent 7.1 for ostx86\tbuilt on the release machine", {}},
        {"Built: on Monday\tRelease: 7.1", {}},
        {"", {}},
        // blanks around names and values, a colon in a value, empty parts
        {" release : R1 \t\tfile:C:agent.zip\t", {{}, "R1", {}, {}, "C:agent.zip"}},
        {"platform:", {{}, {}, "", {}, {}}},
        {"size:0", {{}, {}, {}, 0, {}}},
        {"timestamp:18446744073709551615", {18446744073709551615ull, {}, {}, {}, {}}},
    };
    for (const Case& c : cases) {
        std::string whyNot = "left over";
        const auto fields = parseTrustedComment(c.comment, whyNot);
        ASSERT_TRUE(fields) << c.comment << ": " << whyNot;
        EXPECT_TRUE(*fields == c.fields) << c.comment;
        EXPECT_EQ(whyNot, "");
    }
}

TEST(TrustedComment, AMalformedKnownFieldIsARefusal)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"timestamp:soon", "timestamp is not a whole number (\"soon\")"},
        {"timestamp:-5", "timestamp is not a whole number (\"-5\")"},
        {"timestamp:", "timestamp is not a whole number (\"\")"},
        {"size:12 kB", "size is not a whole number (\"12 kB\")"},
        {"size:18446744073709551616", "size is not a whole number (\"18446744073709551616\")"},
        {"release:R1\trelease:R2", "release given twice"},
        {"timestamp:1\ttimestamp:2", "timestamp given twice"},
    };
    for (const auto& [comment, reason] : cases) {
        std::string whyNot;
        EXPECT_FALSE(parseTrustedComment(comment, whyNot)) << comment;
        EXPECT_EQ(whyNot, "malformed trusted comment: " + reason);
    }
}

TEST(TrustedComment, WhatTheToolWritesReadsBackAndTheSigningTimeReadsAsADate)
{
    const TrustedCommentFields fields{1700000000, "R2024a", "lnx64", 99, "agent.zip"};
    EXPECT_EQ(trustedCommentText(fields), "timestamp:1700000000\trelease:R2024a\tplatform:lnx64\tsize:99\tfile:agent.zip");
    std::string whyNot;
    EXPECT_TRUE(*parseTrustedComment(trustedCommentText(fields), whyNot) == fields);
    EXPECT_EQ(signingTimeText(1700000000), "2023-11-14 22:13:20 UTC");
    EXPECT_EQ(signingTimeText(0), "1970-01-01 00:00:00 UTC");
}

TEST(TrustPolicy, AnAgentForThisReleaseAndPlatformSignedNoEarlierThanTheNewestIsTaken)
{
    const auto refusal = [](TrustedCommentFields fields, std::optional<std::uint64_t> newest) {
        const auto refused = trustRefusalOf(fields, newest);
        return refused ? refused->reason : std::string();
    };
    EXPECT_EQ(refusal({}, 1700000000), "");
    EXPECT_EQ(refusal({1700000000, "Q3071x", "ostx86", 5, "a.zip"}, 1700000000), "");
    EXPECT_EQ(refusal({1700000001, {}, {}, {}, {}}, 1700000000), "");
    EXPECT_EQ(refusal({1, {}, {}, {}, {}}, std::nullopt), "");
    EXPECT_EQ(refusal({1699999999, {}, {}, {}, {}}, 1700000000),
              "signed 2023-11-14 22:13:19 UTC, older than the cached agent signed 2023-11-14 22:13:20 UTC");
    EXPECT_EQ(refusal({{}, "R2", {}, {}, {}}, {}), "signed for release R2, not for Q3071x");
    EXPECT_EQ(refusal({{}, "Q3071x", "", {}, {}}, {}), "signed for platform , not for ostx86");
    // In plain words too.
    EXPECT_EQ(trustRefusalOf({1, {}, {}, {}, {}}, 2)->explanation,
              "The server offered an older install agent (signed 1970-01-01 00:00:01 UTC) than the one already "
              "installed (signed 1970-01-01 00:00:02 UTC).");
}
