#pragma once

// The public key that makes a bundle's launcher require signed downloads:
// a minisign public-key file (one key or several), shipped as InstallAgent.pub.

#include <optional>
#include <string>
#include <vector>

struct PublicKeySummary {
    std::vector<std::string> keyIds; // as minisign shows them: upper-case hex digits
};

// Reads and parses the key file as the launcher does; none with the reason in whyNot.
std::optional<PublicKeySummary> inspectPublicKey(const std::string& path, std::string& whyNot);
