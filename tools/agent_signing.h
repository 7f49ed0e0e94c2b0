#pragma once

// Signing an install agent for the launchers of this kit, with the real
// minisign: a detached signature whose trusted comment states what the
// launcher holds the agent to (provisioning/trusted_comment.h), the signing
// time, the kit's release and platform (read from its launcher's build
// identity), the archive's size and its name.

#include <ostream>
#include <string>

struct SignRequest {
    std::string agent;     // the agent's zip archive
    std::string secretKey; // minisign's secret key file (it asks for its password, if any)
    std::string output;    // the signature; empty: the agent's path + ".minisig"
};

// Empty when the signature was written (and what it states told on out);
// otherwise why not, as one line.
std::string signAgent(const SignRequest& request, std::ostream& out);
