#pragma once

// What an install agent's archive starts with, and what to say about a
// download that starts otherwise: behind a hotel's or a company's portal the
// "archive" is a web page, and unzip's complaints about it help nobody.

#include "platform/url_download.h"

#include <cstddef>
#include <string>
#include <string_view>

// How many first bytes tell whether a body can be an agent archive.
inline constexpr std::size_t agentArchiveStartLength = 4;
// How many first bytes the download's check looks at: enough to tell a web
// page by its opening tag when the server does not say what it sends.
inline constexpr std::size_t agentArchiveCheckedLength = 64;

// Whether a body that starts with these bytes (all of it, when it is shorter
// than agentArchiveStartLength) can be an agent archive: a zip archive, whose
// first bytes are a local file header ("PK\3\4"), the end of an empty archive
// ("PK\5\6") or the marker of a spanned one ("PK\7\10"). The server's
// Content-Type has no say: a real zip is never refused for it.
bool startsLikeAnAgentArchive(std::string_view start);

// What came instead of the archive, for the log: "the server sent a web page
// (text/html), not the install agent", "... sent an empty answer ...", or
// "... sent data that is not a zip archive (application/octet-stream) ...".
// contentType is the response's field ("" when it had none); only its media
// type is shown.
std::string whatCameInsteadOfTheAgent(std::string_view start, std::string_view contentType);

// The check a download of the agent's archive applies to the start of its
// body (its first agentArchiveCheckedLength bytes): a body that cannot be an
// archive fails the download, in the words above, with an explanation for
// the person in front of the window.
BodyStartCheck agentArchiveStartCheck();
