#include "platform/http_response_head.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <strings.h>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The three digits after the protocol ("HTTP/1.1 404 Not Found"); 0 without them.
long statusCodeOf(std::string_view statusLine)
{
    const std::size_t blank = statusLine.find(' ');
    if (blank == std::string_view::npos)
        return 0;
    const std::string_view rest = statusLine.substr(blank + 1);
    long code = 0;
    std::size_t digits = 0;
    while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9')
        code = code * 10 + (rest[digits++] - '0');
    return digits == 3 ? code : 0;
}

} // namespace

const std::string* findHeaderField(const HttpHeaderFields& fields, std::string_view name)
{
    for (const auto& [fieldName, value] : fields) {
        if (equalIgnoringCase(fieldName, name))
            return &value;
    }
    return nullptr;
}

HttpResponseHeadReader::LineMeaning HttpResponseHeadReader::addLine(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.size() > 5 && line.starts_with("HTTP/")) {
        startHead(line);
        return LineMeaning::Recorded;
    }
    if (!sawStatusLine_ || complete_)
        return LineMeaning::Recorded; // not HTTP, or trailers after the body
    if (!line.empty()) {
        addField(line);
        return LineMeaning::Recorded;
    }
    const bool interim = statusCode_ >= 100 && statusCode_ < 200;
    // curl follows every 3xx that names a Location; the answer comes later.
    const bool followed = statusCode_ >= 300 && statusCode_ < 400 && statusCode_ != 304 && !location_.empty();
    if (followed)
        return LineMeaning::RedirectEnds;
    // curl may answer a challenge with the credentials it has and ask again:
    // such a head is the answer only once its body comes, or the transfer ends.
    const bool challenge = statusCode_ == 401 || statusCode_ == 407;
    if (!interim && !challenge)
        complete_ = true;
    return LineMeaning::Recorded;
}

void HttpResponseHeadReader::startHead(std::string_view statusLine)
{
    sawStatusLine_ = true;
    complete_ = false;
    location_.clear();
    fields_.clear();
    statusCode_ = statusCodeOf(statusLine);
}

void HttpResponseHeadReader::addField(std::string_view line)
{
    if ((line.front() == ' ' || line.front() == '\t') && !fields_.empty()) {
        // An obsolete folded continuation of the previous field.
        const std::string_view more = trimmed(line);
        if (!more.empty()) {
            std::string& value = fields_.back().value;
            if (!value.empty())
                value += ' ';
            value.append(more);
        }
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalIgnoringCase(name, "Location"))
        location_ = value;
    fields_.push_back(Field{std::string(name), std::string(value)});
}

HttpHeaderFields HttpResponseHeadReader::fields() const
{
    HttpHeaderFields joined;
    for (const Field& field : fields_) {
        auto same = std::find_if(joined.begin(), joined.end(),
                                 [&](const auto& entry) { return equalIgnoringCase(entry.first, field.name); });
        if (same == joined.end())
            joined.emplace(field.name, field.value);
        else
            same->second += ", " + field.value;
    }
    return joined;
}

std::string schemeOf(std::string_view url)
{
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return {};
    std::string scheme;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = url[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && !(i > 0 && other))
            return {}; // a colon in a path or a query, not a scheme
        scheme += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return scheme;
}

std::string hostOf(std::string_view url)
{
    const std::size_t start = url.find("://");
    if (schemeOf(url).empty() || start == std::string_view::npos)
        return {};
    std::string_view authority = url.substr(start + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        return close == std::string_view::npos ? std::string() : std::string(authority.substr(1, close - 1));
    }
    return std::string(authority.substr(0, authority.find(':')));
}

const char* httpReasonPhrase(long statusCode)
{
    switch (statusCode) {
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 410: return "Gone";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 451: return "Unavailable For Legal Reasons";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "";
    }
}

std::optional<ContentRange> parseContentRange(std::string_view value)
{
    value = trimmed(value);
    if (value.size() < 6 || !equalIgnoringCase(value.substr(0, 6), "bytes "))
        return std::nullopt;
    const std::string rest(trimmed(value.substr(6)));
    char* end = nullptr;
    ContentRange range;
    errno = 0;
    range.first = std::strtoull(rest.c_str(), &end, 10);
    if (end == rest.c_str() || *end != '-' || errno != 0)
        return std::nullopt;
    const char* lastStart = end + 1;
    const std::uint64_t last = std::strtoull(lastStart, &end, 10);
    if (end == lastStart || *end != '/' || last < range.first)
        return std::nullopt;
    const char* totalStart = end + 1;
    if (std::string_view(totalStart) == "*")
        return range;
    const std::uint64_t total = std::strtoull(totalStart, &end, 10);
    if (end == totalStart || *end != '\0' || last >= total)
        return std::nullopt;
    range.completeLength = total;
    return range;
}

std::optional<double> retryAfterDelay(std::string_view value, std::time_t now)
{
    const std::string text(trimmed(value));
    if (text.empty())
        return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        double seconds = 0; // grows to infinity rather than overflowing
        for (const char digit : text)
            seconds = seconds * 10 + (digit - '0');
        return seconds;
    }
    // curl reads all three forms of an HTTP date.
    const std::time_t when = curl_getdate(text.c_str(), nullptr);
    if (when == static_cast<std::time_t>(-1))
        return std::nullopt;
    return std::difftime(when, now);
}

bool isWeakETag(std::string_view tag)
{
    return tag.starts_with("W/") || tag.starts_with("w/");
}

std::string_view opaqueTag(std::string_view tag)
{
    return isWeakETag(tag) ? tag.substr(2) : tag;
}

bool etagsMatchWeakly(std::string_view a, std::string_view b)
{
    return opaqueTag(a) == opaqueTag(b);
}

bool etagsMatchStrongly(std::string_view a, std::string_view b)
{
    return !isWeakETag(a) && !isWeakETag(b) && a == b;
}
