#include "tools/public_key.h"

// The launcher's own reader, so that the tool accepts exactly the keys the
// launcher will.
#include "provisioning/public_key_file.h"

std::optional<PublicKeySummary> inspectPublicKey(const std::string& path, std::string& whyNot)
{
    const PublicKeyFile file = readPublicKeyFile(path);
    if (file.keys.empty()) {
        whyNot = (file.readable ? "is not a minisign public key (" : "cannot be read (") + file.problem + ")";
        return std::nullopt;
    }
    PublicKeySummary summary;
    for (const MinisignPublicKey& key : file.keys)
        summary.keyIds.push_back(keyIdText(key.keyId));
    return summary;
}
