#pragma once

// The minisign public-key file that makes a bundle take only signed
// downloads, "InstallAgent.pub" among its resources: one key, or several
// one after another (a vendor moving to a new key ships both for a while).
// Read by the launcher and the bundle tool alike, by the same rules.

#include "provisioning/agent_signature.h"

#include <optional>
#include <string>
#include <vector>

struct PublicKeyFile {
    std::vector<MinisignPublicKey> keys; // empty: none usable
    std::string problem;                 // why not, one line without the path
    bool readable = false;               // it could be read: its text is no key file
};

// The keys of the file at path (links followed). Anything that yields no
// key, a link that leads nowhere, a directory, a file that cannot be read,
// an empty, overlong or malformed one, is a problem.
PublicKeyFile readPublicKeyFile(const std::string& path);

// Whether anything at all stands at path, a link that leads nowhere included:
// a key file that is there in any form asks for signed downloads.
bool publicKeyFileStandsAt(const std::string& path);

// The keys of the running launcher's bundle: empty when nothing stands at
// the key file's place (downloads need no signature). None with whyNot, one
// line that names the file, when something does that yields no usable key:
// the launcher then downloads nothing at all.
std::optional<std::vector<MinisignPublicKey>> readBundlePublicKeys(std::string& whyNot);
