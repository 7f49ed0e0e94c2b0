#pragma once

// The public key that makes a bundle's launcher require signed downloads:
// a minisign public-key file, shipped as InstallAgent.pub.

#include <optional>
#include <string>

struct PublicKeySummary {
    std::string keyId; // as minisign shows it: 16 upper-case hex digits
};

// Reads and parses the key file; none with the reason in whyNot.
std::optional<PublicKeySummary> inspectPublicKey(const std::string& path, std::string& whyNot);
