#include "tools/public_key.h"

// The launcher's own parser, so that the tool accepts exactly the keys the
// launcher will.
#include "provisioning/agent_signature.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

std::optional<PublicKeySummary> inspectPublicKey(const std::string& path, std::string& whyNot)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        whyNot = std::string("cannot be read (") + std::strerror(errno) + ")";
        return std::nullopt;
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::string why;
    const std::optional<MinisignPublicKey> key = parseMinisignPublicKey(text, why);
    if (!key) {
        whyNot = "is not a minisign public key" + (why.empty() ? std::string() : " (" + why + ")");
        return std::nullopt;
    }
    return PublicKeySummary{keyIdText(key->keyId)};
}
