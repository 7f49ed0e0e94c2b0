// The stamp beside the cached agent: what it holds, how it matches, and a
// link in its place.

#include "provisioning/validation_stamp.h"
#include "support/recorded_reports.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// What the code under test reported.
std::vector<std::string>& reports = recordedReports();

class ValidationStamp : public ::testing::Test {
protected:
    void SetUp() override { reports.clear(); }

    ScratchDir scratch;
};

} // namespace

TEST_F(ValidationStamp, StampHoldsExactlyTheValidationString)
{
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";

    writeValidationString(dir, "\"etag-1234567890\"");
    EXPECT_EQ(readFile(stamp), "\"etag-1234567890\"") << "stored as given, quotes included, nothing after it";
    EXPECT_TRUE(isCacheValid(dir, "\"etag-1234567890\""));
    EXPECT_FALSE(isCacheValid(dir, "etag-1234567890"));

    writeValidationString(dir, "short");
    EXPECT_EQ(readFile(stamp), "short") << "a shorter value leaves nothing of the longer one";
    EXPECT_TRUE(isCacheValid(dir, "short"));
    EXPECT_FALSE(isCacheValid(dir, "shorter"));
    EXPECT_FALSE(isCacheValid(dir, "shor"));
    EXPECT_FALSE(isCacheValid(dir, "SHORT"));
}

TEST_F(ValidationStamp, StampMatchesOnItsFirstLineOnly)
{
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";

    writeFile(stamp, "abc\nsecond line\n");
    EXPECT_TRUE(isCacheValid(dir, "abc"));
    EXPECT_FALSE(isCacheValid(dir, "abcd"));
    EXPECT_FALSE(isCacheValid(dir, "ab"));

    writeFile(stamp, "abc\r\n");
    EXPECT_FALSE(isCacheValid(dir, "abc")) << "a carriage return is part of the line";
    EXPECT_FALSE(isCacheValid(dir, " abc"));

    writeFile(stamp, "");
    EXPECT_FALSE(isCacheValid(dir, "")) << "an empty validation string never matches";
    EXPECT_FALSE(isCacheValid(dir, "abc"));

    writeFile(stamp, "\nabc");
    EXPECT_FALSE(isCacheValid(dir, "abc"));
    EXPECT_FALSE(isCacheValid(dir, ""));
}

TEST_F(ValidationStamp, StampIsNotWrittenWithoutAValueOrADirectory)
{
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";

    writeValidationString(dir, "kept");
    writeValidationString(dir, "");
    EXPECT_EQ(readFile(stamp), "kept");

    const std::string missing = scratch / "missing";
    writeValidationString(missing, "value");
    EXPECT_FALSE(pathExists(missing));
    EXPECT_FALSE(isCacheValid(missing, "value"));
    EXPECT_TRUE(reports.empty());
}

TEST_F(ValidationStamp, StampInADirectoryWithATrailingSlash)
{
    const std::string dir = scratch.path() + "/";
    writeValidationString(dir, "v1");
    EXPECT_EQ(readFile(scratch / ".validatestring"), "v1");
    EXPECT_TRUE(isCacheValid(dir, "v1"));
    EXPECT_TRUE(isCacheValid(scratch.path(), "v1"));
}

TEST_F(ValidationStamp, ALinkAtTheStampsPathIsNoStamp)
{
    // A stamp vouches for the agent the cache's swap put beside it; a link
    // was put there by something else, whatever it points to.
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";
    writeFile(scratch / "elsewhere", "v1");
    ASSERT_EQ(symlink((scratch / "elsewhere").c_str(), stamp.c_str()), 0);
    EXPECT_EQ(readValidationString(dir), "");
    EXPECT_FALSE(isCacheValid(dir, "v1"));

    writeValidationString(dir, "v2");
    EXPECT_FALSE(isSymlink(stamp)) << "the link is replaced, not followed";
    EXPECT_EQ(readFile(scratch / "elsewhere"), "v1");
    EXPECT_TRUE(isCacheValid(dir, "v2"));
}

TEST_F(ValidationStamp, RemovedStampMatchesNothing)
{
    const std::string dir = scratch.path();
    writeValidationString(dir, "v1");
    removeValidationString(dir);
    EXPECT_FALSE(pathExists(scratch / ".validatestring"));
    EXPECT_FALSE(isCacheValid(dir, "v1"));
    removeValidationString(dir); // already gone: harmless
}
