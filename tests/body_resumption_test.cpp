// Whether an answer to a range request is the rest of the body in the file:
// any sign of another version means no.

#include "platform/body_resumption.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kDate = "Tue, 01 Jul 2025 10:00:00 GMT";

UrlResponse answer(long status, std::int64_t length, std::map<std::string, std::string> fields)
{
    UrlResponse response;
    response.statusCode = status;
    response.expectedContentLength = length;
    response.headerFields = std::move(fields);
    return response;
}

TEST(BodyResumption, OnlyAStrongTagOrADateCanAskForTheRest)
{
    EXPECT_EQ("\"s\"", bodyOf(answer(200, 10, {{"ETag", "\"s\""}, {"Last-Modified", kDate}})).resumeValidator);
    EXPECT_EQ(kDate, bodyOf(answer(200, 10, {{"ETag", "W/\"w\""}, {"Last-Modified", kDate}})).resumeValidator);
    EXPECT_EQ("", bodyOf(answer(200, 10, {{"ETag", "W/\"w\""}})).resumeValidator);
    EXPECT_EQ("", bodyOf(answer(203, 10, {{"ETag", "\"s\""}})).resumeValidator);
}

TEST(BodyResumption, ThePartMustFitTheFileAndCarryTheSameVersion)
{
    const BodyInFile weak = bodyOf(answer(200, 1000, {{"ETag", "W/\"a\""}, {"Last-Modified", kDate}}));
    const BodyInFile strong = bodyOf(answer(200, 1000, {{"ETag", "\"s\""}}));
    struct Case {
        const char* what;
        const BodyInFile& body;
        std::map<std::string, std::string> fields;
        bool continues;
    };
    const Case cases[] = {
        {"the rest, same weak tag and date", weak,
         {{"Content-Range", "bytes 400-999/1000"}, {"ETag", "W/\"a\""}, {"Last-Modified", kDate}}, true},
        {"the rest, same strong tag", strong, {{"Content-Range", "bytes 400-999/1000"}, {"ETag", "\"s\""}}, true},
        {"another weak tag, same date", weak,
         {{"Content-Range", "bytes 400-999/1000"}, {"ETag", "W/\"b\""}, {"Last-Modified", kDate}}, false},
        {"the weak tag gone", weak, {{"Content-Range", "bytes 400-999/1000"}, {"Last-Modified", kDate}}, false},
        {"another strong tag", strong, {{"Content-Range", "bytes 400-999/1000"}, {"ETag", "\"t\""}}, false},
        {"the same tag made weak", strong, {{"Content-Range", "bytes 400-999/1000"}, {"ETag", "W/\"s\""}}, false},
        {"another date", weak,
         {{"Content-Range", "bytes 400-999/1000"}, {"ETag", "W/\"a\""}, {"Last-Modified", "Wed, 02 Jul 2025"}},
         false},
        {"another start", strong, {{"Content-Range", "bytes 500-999/1000"}, {"ETag", "\"s\""}}, false},
        {"another length", strong, {{"Content-Range", "bytes 400-1999/2000"}, {"ETag", "\"s\""}}, false},
        {"no range", strong, {{"ETag", "\"s\""}}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.continues, continuesBody(answer(206, -1, c.fields), c.body, 400)) << c.what;
}

TEST(BodyResumption, ABodyOfUnknownLengthLearnsItFromTheRest)
{
    BodyInFile body = bodyOf(answer(200, -1, {{"ETag", "\"s\""}}));
    EXPECT_TRUE(body.completeAt(5));
    learnLengthFromTheRest(answer(206, -1, {{"Content-Range", "bytes 5-99/100"}}), body);
    EXPECT_EQ(100, body.length);
    EXPECT_FALSE(body.completeAt(99));
    EXPECT_TRUE(body.completeAt(100));
}

} // namespace
