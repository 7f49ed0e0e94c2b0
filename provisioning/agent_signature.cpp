#include "provisioning/agent_signature.h"

#include "platform/unique_fd.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Longer lines are refused: a comment is meant to be one short line, and text
// with longer ones is no key or signature file.
constexpr std::size_t kLineMaxBytes = 8192;
// Two comment lines and two lines of base64 (100 and 88 characters), each ending in "\r\n".
static_assert(minisignSignatureMaxBytes >= 2 * (kLineMaxBytes + 2) + 102 + 90);

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The lines of the text without their "\n" or "\r\n"; a last line without
// either counts too. Nullopt with whyNot for a control character (other than
// a tab) or an overlong line.
std::optional<std::vector<std::string_view>> splitLines(std::string_view text, std::string& whyNot)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        for (const unsigned char c : line) {
            if ((c < 0x20 && c != '\t') || c == 0x7f) {
                whyNot = "not a text file";
                return std::nullopt;
            }
        }
        if (line.size() > kLineMaxBytes) {
            whyNot = "line " + std::to_string(lines.size() + 1) + " is too long";
            return std::nullopt;
        }
        lines.push_back(line);
    }
    return lines;
}

// True when the text is padded base64 of exactly N bytes and nothing else.
template <std::size_t N>
bool decodeBase64(std::string_view text, std::array<unsigned char, N>& bytes)
{
    std::size_t length = 0;
    return sodium_base642bin(bytes.data(), N, text.data(), text.size(), nullptr, &length, nullptr,
                             sodium_base64_VARIANT_ORIGINAL) == 0
        && length == N;
}

// The lines of a minisign file: an untrusted comment, then the line named
// (a key or a signature), base64 of N bytes, decoded into bytes. Nullopt with
// reason when they are not there.
template <std::size_t N>
std::optional<std::vector<std::string_view>> commentedLines(std::string_view text, const std::string& lineName,
                                                           std::array<unsigned char, N>& bytes, std::string& reason)
{
    auto lines = splitLines(text, reason);
    if (!lines)
        return std::nullopt;
    if (lines->empty() || !(*lines)[0].starts_with(kUntrustedPrefix))
        reason = "no untrusted comment line";
    else if (lines->size() < 2)
        reason = "no " + lineName + " line";
    else if (!decodeBase64((*lines)[1], bytes))
        reason = lineName + " line is not base64 of " + std::to_string(N) + " bytes";
    else
        return lines;
    return std::nullopt;
}

// One key of a key file from its two lines at lines[at]: the untrusted
// comment and the key's base64. Nullopt with reason when they are no key.
std::optional<MinisignPublicKey> parseKeyLines(const std::vector<std::string_view>& lines, std::size_t at,
                                               std::string& reason)
{
    std::array<unsigned char, 2 + 8 + 32> bytes;
    if (at >= lines.size() || !lines[at].starts_with(kUntrustedPrefix))
        reason = "no untrusted comment line";
    else if (at + 1 >= lines.size())
        reason = "no key line";
    else if (!decodeBase64(lines[at + 1], bytes))
        reason = "key line is not base64 of " + std::to_string(bytes.size()) + " bytes";
    else if (bytes[0] != 'E' || bytes[1] != 'd')
        reason = "not an Ed25519 key";
    else {
        MinisignPublicKey key;
        std::memcpy(key.keyId.data(), bytes.data() + 2, key.keyId.size());
        std::memcpy(key.key.data(), bytes.data() + 10, key.key.size());
        return key;
    }
    return std::nullopt;
}

// Whether the signature holds over the whole file. The file is mapped rather
// than read, since libsodium wants the message in one piece and an agent may
// be large. Nullopt with whyNot when the file cannot be read.
std::optional<bool> signatureHoldsOverFile(const unsigned char* signature, const unsigned char* key,
                                           const std::string& path, std::string& whyNot)
{
    const auto unreadable = [&](const char* reason) {
        whyNot = std::string("cannot read the signed file: ") + reason;
        return std::nullopt;
    };
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return unreadable(std::strerror(errno));
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return unreadable("not a regular file");
    const auto size = static_cast<std::size_t>(info.st_size);
    static const unsigned char nothing = 0;
    void* mapped = size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    const int mapError = errno;
    fd.reset();
    if (mapped == MAP_FAILED)
        return unreadable(std::strerror(mapError));
    const auto* bytes = mapped != nullptr ? static_cast<const unsigned char*>(mapped) : &nothing;
    const bool holds = crypto_sign_verify_detached(signature, bytes, size, key) == 0;
    if (mapped != nullptr)
        munmap(mapped, size);
    return holds;
}

std::string anotherKeyText(const MinisignSignature& signature, const MinisignPublicKey& key)
{
    return "signature made with another key (key id " + keyIdText(signature.keyId) + ", expected "
        + keyIdText(key.keyId) + ")";
}

// Whether the key can check the signature at all: the library has started
// and the signature names this key.
bool keyCanCheck(const MinisignPublicKey& key, const MinisignSignature& signature, std::string& whyNot)
{
    if (!sodiumReady()) {
        whyNot = "the cryptography library cannot start";
        return false;
    }
    if (signature.keyId != key.keyId) {
        whyNot = anotherKeyText(signature, key);
        return false;
    }
    return true;
}

} // namespace

std::optional<std::vector<MinisignPublicKey>> parseMinisignPublicKeys(const std::string& fileText,
                                                                      std::string& whyNot)
{
    std::vector<MinisignPublicKey> keys;
    const auto fail = [&](const std::string& reason) {
        const std::string which = keys.empty() ? "" : "key " + std::to_string(keys.size() + 1) + ": ";
        whyNot = "malformed public key: " + which + reason;
        return std::nullopt;
    };
    std::string reason;
    const auto lines = splitLines(fileText, reason);
    if (!lines)
        return fail(reason);
    std::size_t next = 0;
    do {
        // Blank lines may stand between two keys.
        while (!keys.empty() && next < lines->size() && (*lines)[next].empty())
            ++next;
        if (!keys.empty() && next == lines->size())
            break;
        const std::optional<MinisignPublicKey> key = parseKeyLines(*lines, next, reason);
        if (!key)
            return fail(reason);
        keys.push_back(*key);
        next += 2;
    } while (next < lines->size());
    whyNot.clear();
    return keys;
}

std::optional<MinisignSignature> parseMinisignSignature(const std::string& fileText, std::string& whyNot)
{
    const auto fail = [&](const std::string& reason) {
        whyNot = "malformed signature: " + reason;
        return std::nullopt;
    };
    std::string reason;
    std::array<unsigned char, 2 + 8 + 64> bytes;
    const auto lines = commentedLines(fileText, "signature", bytes, reason);
    if (!lines)
        return fail(reason);
    MinisignSignature signature;
    if (bytes[0] == 'E' && bytes[1] == 'D')
        signature.prehashed = true;
    else if (bytes[0] == 'E' && bytes[1] == 'd')
        signature.prehashed = false;
    else
        return fail("unknown signature algorithm");
    std::memcpy(signature.keyId.data(), bytes.data() + 2, signature.keyId.size());
    std::memcpy(signature.signature.data(), bytes.data() + 10, signature.signature.size());
    if (lines->size() < 3 || !(*lines)[2].starts_with(kTrustedPrefix))
        return fail("no trusted comment line");
    signature.trustedComment = (*lines)[2].substr(kTrustedPrefix.size());
    if (lines->size() < 4)
        return fail("no global signature line");
    if (!decodeBase64((*lines)[3], signature.globalSignature))
        return fail("global signature line is not base64 of 64 bytes");
    if (lines->size() > 4)
        return fail("text after the global signature line");
    whyNot.clear();
    return signature;
}

static_assert(std::tuple_size_v<AgentSignatureCheck::Hash> == crypto_generichash_BYTES_MAX);

struct AgentSignatureCheck::HashState {
    crypto_generichash_state state;
};

AgentSignatureCheck::AgentSignatureCheck()
    : hash_(std::make_unique<HashState>())
{
    sodiumReady();
    restart();
}

AgentSignatureCheck::~AgentSignatureCheck() = default;
AgentSignatureCheck::AgentSignatureCheck(AgentSignatureCheck&&) noexcept = default;
AgentSignatureCheck& AgentSignatureCheck::operator=(AgentSignatureCheck&&) noexcept = default;

void AgentSignatureCheck::update(const char* data, std::size_t size)
{
    crypto_generichash_update(&hash_->state, reinterpret_cast<const unsigned char*>(data), size);
}

void AgentSignatureCheck::restart()
{
    crypto_generichash_init(&hash_->state, nullptr, 0, crypto_generichash_BYTES_MAX);
    trustedComment_.clear();
}

bool AgentSignatureCheck::verify(const MinisignPublicKey& key, const MinisignSignature& signature,
                                 const std::string& filePath, std::string& whyNot)
{
    if (signature.prehashed) {
        // Finishing a copy leaves the running hash as it was, so verify() may be called again.
        crypto_generichash_state finished = hash_->state;
        Hash hash;
        crypto_generichash_final(&finished, hash.data(), hash.size());
        return verifyHash(key, signature, hash, whyNot);
    }
    return verifyWith(key, signature, whyNot, [&] {
        return signatureHoldsOverFile(signature.signature.data(), key.key.data(), filePath, whyNot);
    });
}

bool AgentSignatureCheck::verifyHash(const MinisignPublicKey& key, const MinisignSignature& signature,
                                     const Hash& hash, std::string& whyNot)
{
    if (!signature.prehashed) {
        trustedComment_.clear();
        whyNot = "a signature over the whole file cannot be checked against its hash";
        return false;
    }
    return verifyWith(key, signature, whyNot, [&]() -> std::optional<bool> {
        return crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(), key.key.data()) == 0;
    });
}

bool AgentSignatureCheck::verifyWith(const MinisignPublicKey& key, const MinisignSignature& signature,
                                     std::string& whyNot, const std::function<std::optional<bool>()>& holds)
{
    trustedComment_.clear();
    if (!keyCanCheck(key, signature, whyNot))
        return false;
    const std::optional<bool> good = holds();
    if (!good)
        return false;
    if (!*good) {
        whyNot = "bad signature";
        return false;
    }
    if (!trustedCommentIsGenuine(key, signature, whyNot))
        return false;
    whyNot.clear();
    trustedComment_ = signature.trustedComment;
    return true;
}

bool trustedCommentIsGenuine(const MinisignPublicKey& key, const MinisignSignature& signature, std::string& whyNot)
{
    if (!keyCanCheck(key, signature, whyNot))
        return false;
    std::vector<unsigned char> signedComment(signature.signature.begin(), signature.signature.end());
    signedComment.insert(signedComment.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.globalSignature.data(), signedComment.data(), signedComment.size(),
                                    key.key.data())
        != 0) {
        whyNot = "trusted comment has been tampered with";
        return false;
    }
    whyNot.clear();
    return true;
}

std::string keyIdText(const std::array<unsigned char, 8>& keyId)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (auto byte = keyId.rbegin(); byte != keyId.rend(); ++byte) {
        text += digits[*byte >> 4];
        text += digits[*byte & 0xf];
    }
    // minisign prints the number without leading zeros; so do we, so that
    // the id can be compared with its own output and its key comments.
    const std::size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}
