#pragma once

// The head of an HTTP response as curl hands it over, one line at a time,
// and the few field values a download reads: Content-Range, Retry-After and
// entity tags. Pure text work: no connection, no curl handle.

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Header fields by name as the server sent them.
using HttpHeaderFields = std::map<std::string, std::string>;

// The value of the field of that name, names compared without regard to
// case; null when there is none.
const std::string* findHeaderField(const HttpHeaderFields& fields, std::string_view name);

// Reads the heads that one request gets, line by line. Every status line
// starts a new head: the answer after an interim "100 Continue", after a
// redirect that curl follows, or after a 401 or 407 that curl may answer with
// credentials. The head of the final answer ends at its blank line (a
// challenge's stays open: its body, or the end of the transfer, makes it the
// answer); lines after it (trailers) are ignored, and so is anything before
// the first status line (a scheme without headers).
class HttpResponseHeadReader {
public:
    enum class LineMeaning {
        Recorded,      // a status line, a field, or nothing of interest
        RedirectEnds,  // the blank line after a 3xx (not 304) with a Location: curl follows it
    };

    // Takes one line, with or without its line break.
    LineMeaning addLine(std::string_view line);

    // Whether any status line came.
    bool sawStatusLine() const { return sawStatusLine_; }
    // The status of the latest head; 0 before one, or when its line had no three digits.
    long statusCode() const { return statusCode_; }
    // Whether the final answer's head is complete (no interim answer or redirect follows).
    bool isComplete() const { return complete_; }
    // The latest head's Location, "" when it has none.
    const std::string& location() const { return location_; }
    // The latest head's fields; a name repeated, in any case, is one field
    // whose values are joined with ", " in the order they came.
    HttpHeaderFields fields() const;

private:
    struct Field {
        std::string name;
        std::string value;
    };

    void startHead(std::string_view statusLine);
    void addField(std::string_view line);

    bool sawStatusLine_ = false;
    bool complete_ = false;
    long statusCode_ = 0;
    std::string location_;
    std::vector<Field> fields_;
};

// The scheme of an absolute URL or location, in lower case; "" for a
// relative one (a colon in a path or a query starts no scheme).
std::string schemeOf(std::string_view url);

// The host of an absolute URL as a person reads it: without user
// information, port or the brackets of an IPv6 address
// ("downloads.example.com" for "https://user@downloads.example.com:8443/a");
// "" when the URL names none.
std::string hostOf(std::string_view url);

// The reason phrase HTTP gives a status code ("Not Found" for 404); "" for
// a code it names none for.
const char* httpReasonPhrase(long statusCode);

// A Content-Range value "bytes <first>-<last>/<complete length or *>".
struct ContentRange {
    std::uint64_t first = 0;
    std::optional<std::uint64_t> completeLength; // none for "*"
};
// None when the value is not of that form, or its numbers do not fit together.
std::optional<ContentRange> parseContentRange(std::string_view value);

// The wait a Retry-After value asks for, in seconds from `now`: delta-seconds
// (a very long run of digits is a very long wait), or an HTTP date in any of
// the three forms HTTP allows (one in the past gives a negative wait). None
// when the value is neither. Capping the wait is the caller's policy.
std::optional<double> retryAfterDelay(std::string_view value, std::time_t now);

// Entity tags. A tag that starts with "W/" is weak, and so is one with "w/",
// which some servers send: a validator that might be weak never vouches for
// the bytes. Both the check against a cached copy and the resumption of a
// body read tags through these.
bool isWeakETag(std::string_view tag);
// The tag without its weak indicator.
std::string_view opaqueTag(std::string_view tag);
// Weak comparison: the same opaque tag, whether either is weak or not. Good
// enough to say that a cached copy is still the one the server has.
bool etagsMatchWeakly(std::string_view a, std::string_view b);
// Strong comparison: both strong and the same.
bool etagsMatchStrongly(std::string_view a, std::string_view b);
