#include "tools/public_key.h"

#include "tools/bundle_files.h"

// The launcher's own parser, so that the tool accepts exactly the keys the
// launcher will.
#include "provisioning/agent_signature.h"

namespace {

// A minisign public key file is two short lines; this leaves room for many.
constexpr std::size_t publicKeyFileLimit = 64 * 1024;

} // namespace

std::optional<PublicKeySummary> inspectPublicKey(const std::string& path, std::string& whyNot)
{
    const std::optional<std::string> text = readSmallFile(path, publicKeyFileLimit, whyNot);
    if (!text)
        return std::nullopt;
    std::string why;
    const std::optional<MinisignPublicKey> key = parseMinisignPublicKey(*text, why);
    if (!key) {
        whyNot = "is not a minisign public key" + (why.empty() ? std::string() : " (" + why + ")");
        return std::nullopt;
    }
    return PublicKeySummary{keyIdText(key->keyId)};
}
