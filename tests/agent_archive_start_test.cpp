// Telling an agent archive from what a server sends instead, by the first
// bytes of the body, and the words for what came.

#include "provisioning/agent_archive_start.h"
#include "support/bundle_layout.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

TEST(AgentArchiveStart, ZipArchivesOfEveryKindPassAndNothingElseDoes)
{
    ScratchDir scratch;
    const std::string zip = scratch / "agent.zip";
    makeZip(zip, {{"install", "echo hi\n"}});
    EXPECT_TRUE(startsLikeAnAgentArchive(readFile(zip)));
    EXPECT_TRUE(startsLikeAnAgentArchive(std::string("PK\x05\x06", 4) + std::string(18, '\0'))); // no entries
    EXPECT_TRUE(startsLikeAnAgentArchive(std::string("PK\x07\x08PK\x03\x04", 8)));                // spanned

    for (const std::string& body : {std::string(), std::string("PK"), std::string("PK\x03", 3),
                                    std::string("PK\x01\x02", 4), std::string("<!DOCTYPE html><html>"),
                                    std::string("pk\x03\x04", 4), std::string("\x1f\x8b\x08\x00", 4)})
        EXPECT_FALSE(startsLikeAnAgentArchive(body)) << '"' << body << '"';
}

TEST(AgentArchiveStart, SaysWhatCameInstead)
{
    struct Case {
        std::string start;
        std::string contentType;
        std::string said;
    };
    const Case cases[] = {
        {"<html><body>Sign in", "text/html; charset=UTF-8", "a web page (text/html)"},
        {"\r\n  <!doctype HTML>", "", "a web page"},
        {"<head><title>Portal", "application/octet-stream", "a web page (application/octet-stream)"},
        {"Service moved", "Text/Plain", "text (text/plain)"},
        {"\x1f\x8b\x08", "application/gzip", "data that is not a zip archive (application/gzip)"},
        {"", "text/html", "an empty answer (text/html)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ("the server sent " + c.said + ", not the install agent",
                  whatCameInsteadOfTheAgent(c.start, c.contentType));
}

TEST(AgentArchiveStart, TheDownloadsCheckRefusesAPortalsPageWithAdviceAndPassesAZipServedAsAPage)
{
    const BodyStartCheck check = agentArchiveStartCheck();
    ASSERT_TRUE(check.judge);
    EXPECT_EQ(agentArchiveCheckedLength, check.length);
    UrlResponse page;
    page.statusCode = 200;
    page.headerFields["Content-Type"] = "text/html";

    EXPECT_EQ(std::nullopt, check.judge(std::string("PK\x03\x04\x14\x00", 6), page));
    const std::optional<UrlDownloadError> portal = check.judge("<html><head>", page);
    ASSERT_TRUE(portal);
    EXPECT_EQ("the server sent a web page (text/html), not the install agent", portal->localizedDescription);
    EXPECT_NE(std::string::npos, portal->explanation.find("sign in to the network")) << portal->explanation;

    page.headerFields["Content-Type"] = "application/octet-stream";
    const std::optional<UrlDownloadError> junk = check.judge("\x7f" "ELF", page);
    ASSERT_TRUE(junk);
    EXPECT_EQ(std::string::npos, junk->explanation.find("sign in")) << junk->explanation;
    EXPECT_FALSE(junk->explanation.empty());
}

} // namespace
