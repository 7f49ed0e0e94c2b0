#pragma once

// What the launcher holds a signed install agent to, by what its signer
// states in the trusted comment (provisioning/trusted_comment.h): made for
// this launcher's release and platform, and not signed before the newest
// agent this cache has taken under the same key, so that nobody can bring
// an older agent back with its old, valid signature. A vendor who means to
// go back signs the old archive again.

#include "provisioning/trusted_comment.h"

#include <cstdint>
#include <optional>
#include <string>

// Why an agent that a genuine signature covers is not taken: for the log,
// and in plain words for the person in front of the window.
struct TrustRefusal {
    std::string reason;
    std::string explanation;
};

// None when the fields allow the agent; newestAccepted is the newest signing
// time this cache has taken under the signature's key (none: never one).
std::optional<TrustRefusal> trustRefusalOf(const TrustedCommentFields& fields,
                                           std::optional<std::uint64_t> newestAccepted);

// A comment whose known fields cannot be read (whyNot from parseTrustedComment).
TrustRefusal malformedCommentRefusal(const std::string& whyNot);

// An agent signed at offered, older than the newest one taken, signed at newest.
TrustRefusal olderAgentRefusal(std::uint64_t offered, std::uint64_t newest);
