#pragma once

// minisign public keys and detached signatures, and checking a file against
// them with libsodium. A signature is Ed25519, either over the BLAKE2b-512
// hash of the file ("ED", minisign's default) or over the file itself ("Ed",
// the legacy form); a second, global signature covers the first one and the
// trusted comment.

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct MinisignPublicKey {
    std::array<unsigned char, 8> keyId;
    std::array<unsigned char, 32> key;
};

// Parses the text of a minisign public-key file: one key or several, one
// after another, each an "untrusted comment:" line and then base64 of "Ed" +
// key id + key (blank lines between them are allowed). Lines end in "\n" or
// "\r\n". At least one key; none with whyNot ("malformed public key: ...",
// naming the key from the second on) when any of them is malformed.
std::optional<std::vector<MinisignPublicKey>> parseMinisignPublicKeys(const std::string& fileText,
                                                                      std::string& whyNot);

// A key id as minisign prints it: the little-endian number in hexadecimal.
std::string keyIdText(const std::array<unsigned char, 8>& keyId);

struct MinisignSignature {
    bool prehashed;
    std::array<unsigned char, 8> keyId;
    std::array<unsigned char, 64> signature;
    std::string trustedComment;
    std::array<unsigned char, 64> globalSignature;
};

// Parses a .minisig file: untrusted comment line, base64 signature line ("Ed"
// legacy over the file, "ED" over its BLAKE2b-512 hash), "trusted comment: "
// line, base64 global signature line.
std::optional<MinisignSignature> parseMinisignSignature(const std::string& fileText, std::string& whyNot);

// Whether the trusted comment is the signer's: the signature names the key,
// and the global signature over the signature and the comment holds under
// it. Needs nothing of the signed file, so the comment can be acted on before
// the file is complete; whyNot as verify() words it.
bool trustedCommentIsGenuine(const MinisignPublicKey& key, const MinisignSignature& signature, std::string& whyNot);

// No well-formed .minisig file is longer than this: a reader may stop there.
inline constexpr std::size_t minisignSignatureMaxBytes = 32 * 1024;

// Checks a file as its bytes arrive, so that nothing is read twice: feed every
// byte in order, restart() when the bytes start again from zero, then verify()
// once the signature is known. A moved-from check may only be assigned or destroyed.
class AgentSignatureCheck {
public:
    AgentSignatureCheck();
    ~AgentSignatureCheck();
    AgentSignatureCheck(AgentSignatureCheck&&) noexcept;
    AgentSignatureCheck& operator=(AgentSignatureCheck&&) noexcept;

    void update(const char* data, std::size_t size);
    void restart();

    // True when the signature is good for these bytes under the key; whyNot
    // says why not, in one short line (e.g. "signature made with another key",
    // "bad signature", "trusted comment has been tampered with"). filePath is
    // the complete file, read only for a legacy ("Ed") signature, which is over
    // the whole file rather than its hash. May be called more than once.
    bool verify(const MinisignPublicKey& key, const MinisignSignature& signature, const std::string& filePath,
                std::string& whyNot);

    // BLAKE2b-512, the hash a prehashed ("ED") signature signs.
    using Hash = std::array<unsigned char, 64>;
    // As verify(), for a prehashed signature, with the file's hash made
    // elsewhere rather than from update()'s bytes.
    bool verifyHash(const MinisignPublicKey& key, const MinisignSignature& signature, const Hash& hash,
                    std::string& whyNot);

    // The trusted comment of the last good verify(); empty after a failed one
    // or a restart().
    const std::string& trustedComment() const { return trustedComment_; }

private:
    bool verifyWith(const MinisignPublicKey& key, const MinisignSignature& signature, std::string& whyNot,
                    const std::function<std::optional<bool>()>& holds);

    struct HashState;
    std::unique_ptr<HashState> hash_;
    std::string trustedComment_;
};
