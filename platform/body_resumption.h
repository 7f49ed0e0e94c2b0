#pragma once

// Whether an answer to a range request is the rest of the body that a
// download's file holds the start of. The file must never hold bytes of two
// versions: any doubt means the body starts again from zero. Pure: no
// connection, no file.

#include "platform/url_download.h"

#include <cstdint>
#include <string>

// What the file holds: the start of the body of the response delivered
// last, and what can ask for the rest of it.
struct BodyInFile {
    bool delivered = false;
    std::int64_t length = -1;    // of the whole body; -1 when unknown
    std::string etag;            // the response's, weak or strong; "" without one
    std::string lastModified;    // the response's; "" without one
    std::string resumeValidator; // the strong ETag or Last-Modified; "" when it cannot be resumed

    // Whether a file of this size holds all of the body: when its length is
    // known, that many bytes; otherwise the end of the transfer says so.
    bool completeAt(std::uint64_t size) const { return length < 0 || size >= static_cast<std::uint64_t>(length); }
};

// A body that starts from zero with this response. Only a 200's body is worth
// resuming, and only with a validator that vouches for its bytes: a strong
// ETag, or else a Last-Modified.
BodyInFile bodyOf(const UrlResponse& response);

// Whether a 206 is the rest of that body: it starts where the file ends, at
// the same complete length, with the very same ETag (weak or strong, present
// or not: any change is another version) and no other Last-Modified.
bool continuesBody(const UrlResponse& partial, const BodyInFile& body, std::uint64_t resumeFrom);

// The body after a 206 that continues it: its Content-Range may tell the
// whole length that the first answer did not.
void learnLengthFromTheRest(const UrlResponse& partial, BodyInFile& body);
