// The signature parser and the trusted comment's fields, on any bytes: a
// signature comes from the download server, whoever answers in its name.

#include "provisioning/agent_signature.h"
#include "provisioning/trusted_comment.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// What a comment states, read again from the text written of it, is the same.
void checkFields(std::string_view comment)
{
    std::string whyNot;
    const auto fields = parseTrustedComment(comment, whyNot);
    if (!fields) {
        if (whyNot.empty())
            __builtin_trap();
        return;
    }
    const auto again = parseTrustedComment(trustedCommentText(*fields), whyNot);
    if (!again || again->timestamp != fields->timestamp || again->release != fields->release
        || again->platform != fields->platform || again->size != fields->size || again->file != fields->file)
        __builtin_trap();
    if (fields->timestamp && signingTimeText(*fields->timestamp).empty())
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkFields(text);
    std::string whyNot;
    const auto signature = parseMinisignSignature(text, whyNot);
    if (!signature) {
        if (whyNot.empty())
            __builtin_trap();
        return 0;
    }
    checkFields(signature->trustedComment);
    // Checked against a key of its own id: the global signature then fails
    // (nobody holds that key), and must say so.
    MinisignPublicKey key{};
    key.keyId = signature->keyId;
    if (trustedCommentIsGenuine(key, *signature, whyNot) || whyNot.empty())
        __builtin_trap();
    return 0;
}
