#include "provisioning/agent_archive_start.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

constexpr std::array<std::string_view, 3> zipArchiveStarts = {
    std::string_view("PK\x03\x04", 4), // a local file header: the first entry
    std::string_view("PK\x05\x06", 4), // the end record of an archive without entries
    std::string_view("PK\x07\x08", 4), // the marker that opens a spanned archive
};

enum class WhatCame { EmptyAnswer, WebPage, Text, OtherData };

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// "text/html" of "text/html; charset=utf-8", in lower case.
std::string mediaTypeOf(std::string_view contentType)
{
    const std::string_view type = contentType.substr(0, contentType.find(';'));
    const std::size_t first = type.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return lowerCase(type.substr(first, type.find_last_not_of(" \t") - first + 1));
}

// Whether the bytes open an HTML document, as a portal's page does even when
// its server says nothing of its type.
bool opensHtml(std::string_view start)
{
    const std::size_t first = start.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return false;
    const std::string opening = lowerCase(start.substr(first, 14));
    return opening.starts_with("<!doctype html") || opening.starts_with("<html") || opening.starts_with("<head")
           || opening.starts_with("<body");
}

WhatCame whatCame(std::string_view start, const std::string& mediaType)
{
    if (start.empty())
        return WhatCame::EmptyAnswer;
    if (mediaType == "text/html" || mediaType == "application/xhtml+xml" || opensHtml(start))
        return WhatCame::WebPage;
    if (mediaType.starts_with("text/"))
        return WhatCame::Text;
    return WhatCame::OtherData;
}

const char* wordsFor(WhatCame what)
{
    switch (what) {
    case WhatCame::EmptyAnswer: return "an empty answer";
    case WhatCame::WebPage: return "a web page";
    case WhatCame::Text: return "text";
    case WhatCame::OtherData: return "data that is not a zip archive";
    }
    return "something else";
}

} // namespace

bool startsLikeAnAgentArchive(std::string_view start)
{
    const std::string_view judged = start.substr(0, agentArchiveStartLength);
    if (judged.size() < agentArchiveStartLength)
        return false; // no archive is that short
    return std::find(zipArchiveStarts.begin(), zipArchiveStarts.end(), judged) != zipArchiveStarts.end();
}

std::string whatCameInsteadOfTheAgent(std::string_view start, std::string_view contentType)
{
    const std::string type = mediaTypeOf(contentType);
    const std::string shownType = type.empty() ? std::string() : " (" + type + ")";
    return std::string("the server sent ") + wordsFor(whatCame(start, type)) + shownType + ", not the install agent";
}

BodyStartCheck agentArchiveStartCheck()
{
    BodyStartCheck check;
    check.length = agentArchiveCheckedLength;
    check.judge = [](std::string_view start, const UrlResponse& response) -> std::optional<UrlDownloadError> {
        if (startsLikeAnAgentArchive(start))
            return std::nullopt;
        const std::string contentType = response.headerField("Content-Type");
        const bool webPage = whatCame(start, mediaTypeOf(contentType)) == WhatCame::WebPage;
        UrlDownloadError refusal;
        refusal.localizedDescription = whatCameInsteadOfTheAgent(start, contentType);
        refusal.explanation = webPage ? "The network handed over a web page instead of the installer: you may need "
                                        "to sign in to the network (a hotel or company portal) first"
                                      : "The server sent something other than the installer: try again later, or "
                                        "tell the people who gave you this installer";
        return refusal;
    };
    return check;
}
