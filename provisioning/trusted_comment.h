#pragma once

// What a signer says of an install agent in its signature's trusted comment.
// A comment made of fields, "name:value" parts separated by tabs as
// minisign's own default comment is ("timestamp:1700000000<TAB>file:agent.zip
// <TAB>hashed"), states facts the launcher holds the agent to; a part
// without a colon is a flag and means nothing here, and a comment with no
// field at all is free text that states nothing. The fields known here:
//
//   timestamp  unix seconds of the signing
//   release    the release the agent is for (the launcher's release tag)
//   platform   the platform it is for (the launcher's platform tag)
//   size       the archive's length in bytes
//   file       the archive's name when it was signed (only told)
//
// Other fields are ignored. The launcher reads comments with
// parseTrustedComment() and the bundle tool writes them with
// trustedCommentText(): one spelling for both.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TrustedCommentFields {
    std::optional<std::uint64_t> timestamp;
    std::optional<std::string> release;
    std::optional<std::string> platform;
    std::optional<std::uint64_t> size;
    std::optional<std::string> file;
};

// The known fields of the comment (all none for free text). Nullopt with
// whyNot, one line, when a known field is malformed (a timestamp or size
// that is not a whole number, a field given twice): such a comment is no
// statement the launcher can hold an agent to.
std::optional<TrustedCommentFields> parseTrustedComment(std::string_view comment, std::string& whyNot);

// The comment stating the fields that are set, in the order above, joined by tabs.
std::string trustedCommentText(const TrustedCommentFields& fields);

// A signing time as a person reads it: "2024-05-01 12:00:00 UTC".
std::string signingTimeText(std::uint64_t timestamp);
