// The public-key file parser, on any bytes: a bundle's InstallAgent.pub is
// whatever its maker put there.

#include "provisioning/agent_signature.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string whyNot;
    const auto keys = parseMinisignPublicKeys(text, whyNot);
    // A file is keys, at least one, or a refusal that says why.
    if (keys ? keys->empty() || !whyNot.empty() : whyNot.empty())
        __builtin_trap();
    if (keys)
        for (const MinisignPublicKey& key : *keys)
            if (keyIdText(key.keyId).empty())
                __builtin_trap();
    return 0;
}
