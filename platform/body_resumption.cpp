#include "platform/body_resumption.h"

#include "platform/http_response_head.h"

#include <optional>

BodyInFile bodyOf(const UrlResponse& response)
{
    BodyInFile body;
    body.delivered = true;
    body.length = response.expectedContentLength;
    body.etag = response.headerField("ETag");
    body.lastModified = response.headerField("Last-Modified");
    if (response.statusCode != 200)
        return body; // only the archive itself is worth resuming
    body.resumeValidator = !body.etag.empty() && !isWeakETag(body.etag) ? body.etag : body.lastModified;
    return body;
}

bool continuesBody(const UrlResponse& partial, const BodyInFile& body, std::uint64_t resumeFrom)
{
    const std::optional<ContentRange> range = parseContentRange(partial.headerField("Content-Range"));
    if (!range || range->first != resumeFrom)
        return false;
    if (range->completeLength && body.length >= 0 && *range->completeLength != static_cast<std::uint64_t>(body.length))
        return false;
    // A weak tag that changed while the date stayed (republished within the
    // second) is another version as much as a strong one that changed.
    if (partial.headerField("ETag") != body.etag)
        return false;
    const std::string lastModified = partial.headerField("Last-Modified");
    return lastModified.empty() || lastModified == body.lastModified;
}

void learnLengthFromTheRest(const UrlResponse& partial, BodyInFile& body)
{
    if (body.length >= 0)
        return;
    const std::optional<ContentRange> range = parseContentRange(partial.headerField("Content-Range"));
    if (range && range->completeLength)
        body.length = static_cast<std::int64_t>(*range->completeLength);
}
