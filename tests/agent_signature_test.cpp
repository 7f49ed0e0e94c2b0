// Signed install agents: keys and signatures made by the real minisign tool,
// the agent's bytes streamed through the check as a download delivers them,
// then every part of a signature tampered with in turn, and malformed files.

#include "provisioning/agent_signature.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <sodium.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

const std::string kComment = "agent 7.1 for ostx86\tbuilt on the release machine";

struct KeyPair {
    std::string publicKeyPath;
    std::string secretKeyPath;
};

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string textOf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

std::string withLine(const std::string& text, std::size_t index, const std::string& line)
{
    auto lines = linesOf(text);
    lines.at(index) = line;
    return textOf(lines);
}

// The text with the base64 line at index decoded, changed and encoded again.
template <typename Change>
std::string withBytesChanged(const std::string& text, std::size_t index, Change change)
{
    const std::string line = linesOf(text).at(index);
    std::vector<unsigned char> bytes(line.size());
    std::size_t length = 0;
    EXPECT_EQ(sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &length, nullptr,
                                sodium_base64_VARIANT_ORIGINAL),
              0);
    bytes.resize(length);
    change(bytes);
    std::string encoded(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(encoded.data(), encoded.size(), bytes.data(), length, sodium_base64_VARIANT_ORIGINAL);
    encoded.pop_back(); // the terminating NUL
    return withLine(text, index, encoded);
}

class AgentSignature : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Bytes of every value, like a compressed archive.
        std::uint32_t state = 12345;
        for (int i = 0; i < 300000; ++i) {
            state = state * 1103515245u + 12345u;
            agentBytes += static_cast<char>(state >> 24);
        }
        agent = scratch / "InstallAgent.zip";
        writeFile(agent, agentBytes);
    }

    KeyPair makeKeyPair(const std::string& name)
    {
        KeyPair pair{scratch / (name + ".pub"), scratch / (name + ".key")};
        const auto result = run({"minisign", "-G", "-W", "-p", pair.publicKeyPath, "-s", pair.secretKeyPath});
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe() << result.err;
        return pair;
    }

    // Signs the agent file with minisign and returns the text of its .minisig.
    std::string sign(const KeyPair& pair, bool legacy = false)
    {
        std::vector<std::string> argv{"minisign", "-S", "-s", pair.secretKeyPath, "-m", agent, "-t", kComment};
        if (legacy)
            argv.push_back("-l");
        const auto result = run(argv);
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe() << result.err;
        return readFile(agent + ".minisig");
    }

    MinisignPublicKey keyOf(const KeyPair& pair)
    {
        std::string whyNot;
        const auto keys = parseMinisignPublicKeys(readFile(pair.publicKeyPath), whyNot);
        EXPECT_TRUE(keys && keys->size() == 1) << whyNot;
        return keys ? keys->front() : MinisignPublicKey{};
    }

    // Parses the signature text, streams the agent's current bytes in the
    // given chunks (the rest in one piece) and verifies.
    bool check(const MinisignPublicKey& key, const std::string& signatureText, std::string& whyNot,
               const std::vector<std::size_t>& chunks = {})
    {
        const auto signature = parseMinisignSignature(signatureText, whyNot);
        EXPECT_TRUE(signature) << whyNot;
        if (!signature)
            return false;
        const std::string bytes = readFile(agent);
        std::size_t offset = 0;
        for (const auto size : chunks) {
            check_.update(bytes.data() + offset, size);
            offset += size;
        }
        check_.update(bytes.data() + offset, bytes.size() - offset);
        return check_.verify(key, *signature, agent, whyNot);
    }

    ScratchDir scratch;
    std::string agent;
    std::string agentBytes;
    AgentSignatureCheck check_;
};

} // namespace

// ---------------------------------------------------------------- good signatures

TEST_F(AgentSignature, PrehashedSignatureVerifiesAndYieldsTheTrustedComment)
{
    const auto pair = makeKeyPair("vendor");
    const std::string text = sign(pair);
    std::string whyNot;
    ASSERT_TRUE(parseMinisignSignature(text, whyNot).value().prehashed);

    EXPECT_TRUE(check(keyOf(pair), text, whyNot)) << whyNot;
    EXPECT_EQ(whyNot, "");
    EXPECT_EQ(check_.trustedComment(), kComment);
}

TEST_F(AgentSignature, LegacySignatureVerifiesOverTheFile)
{
    const auto pair = makeKeyPair("vendor");
    const std::string text = sign(pair, /*legacy=*/true);
    std::string whyNot;
    ASSERT_FALSE(parseMinisignSignature(text, whyNot).value().prehashed);

    EXPECT_TRUE(check(keyOf(pair), text, whyNot)) << whyNot;
    EXPECT_EQ(check_.trustedComment(), kComment);

    removeTree(agent);
    EXPECT_FALSE(check_.verify(keyOf(pair), parseMinisignSignature(text, whyNot).value(), agent, whyNot));
    EXPECT_EQ(whyNot, "cannot read the signed file: No such file or directory");
    EXPECT_EQ(check_.trustedComment(), "");
}

TEST_F(AgentSignature, BytesInUnevenChunksVerify)
{
    const auto pair = makeKeyPair("vendor");
    std::string whyNot;
    EXPECT_TRUE(check(keyOf(pair), sign(pair), whyNot, {1, 3, 127, 4096, 65537, 0, 2})) << whyNot;
}

TEST_F(AgentSignature, RestartForgetsTheBytesBefore)
{
    const auto pair = makeKeyPair("vendor");
    const std::string text = sign(pair);
    // A first attempt that broke off after bytes of another version.
    check_.update("an older agent", 14);
    check_.restart();
    std::string whyNot;
    EXPECT_TRUE(check(keyOf(pair), text, whyNot)) << whyNot;
}

TEST_F(AgentSignature, CrlfLineEndsAreAccepted)
{
    const auto pair = makeKeyPair("vendor");
    std::string text = sign(pair);
    std::string keyText = readFile(pair.publicKeyPath);
    for (auto* file : {&text, &keyText}) {
        std::string crlf;
        for (const char c : *file)
            crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        *file = crlf;
    }
    std::string whyNot;
    const auto keys = parseMinisignPublicKeys(keyText, whyNot);
    ASSERT_TRUE(keys) << whyNot;
    EXPECT_TRUE(check(keys->front(), text, whyNot)) << whyNot;
    EXPECT_EQ(check_.trustedComment(), kComment);
}

// ---------------------------------------------------------------- tampering

TEST_F(AgentSignature, TamperedFileFails)
{
    const auto pair = makeKeyPair("vendor");
    const std::string prehashed = sign(pair);
    const std::string legacy = sign(pair, /*legacy=*/true);
    agentBytes[150000] ^= 1;
    writeFile(agent, agentBytes);
    std::string whyNot;

    EXPECT_FALSE(check(keyOf(pair), prehashed, whyNot));
    EXPECT_EQ(whyNot, "bad signature");
    check_.restart();
    EXPECT_FALSE(check(keyOf(pair), legacy, whyNot));
    EXPECT_EQ(whyNot, "bad signature");
}

TEST_F(AgentSignature, TamperedSignatureLineFails)
{
    const auto pair = makeKeyPair("vendor");
    const std::string text = withBytesChanged(sign(pair), 1, [](auto& bytes) { bytes.at(40) ^= 0x20; });
    std::string whyNot;
    EXPECT_FALSE(check(keyOf(pair), text, whyNot));
    EXPECT_EQ(whyNot, "bad signature");
}

TEST_F(AgentSignature, TamperedTrustedCommentFails)
{
    const auto pair = makeKeyPair("vendor");
    const std::string text = withLine(sign(pair), 2, "trusted comment: agent 9.9 for ostx86");
    std::string whyNot;
    EXPECT_FALSE(check(keyOf(pair), text, whyNot));
    EXPECT_EQ(whyNot, "trusted comment has been tampered with");
    EXPECT_EQ(check_.trustedComment(), "");
}

TEST_F(AgentSignature, TamperedGlobalSignatureFails)
{
    const auto pair = makeKeyPair("vendor");
    const std::string text = withBytesChanged(sign(pair), 3, [](auto& bytes) { bytes.at(5) ^= 0x01; });
    std::string whyNot;
    EXPECT_FALSE(check(keyOf(pair), text, whyNot));
    EXPECT_EQ(whyNot, "trusted comment has been tampered with");
}

// ---------------------------------------------------------------- the wrong key

TEST_F(AgentSignature, SignatureByAnotherKeyFails)
{
    const auto bundleKey = keyOf(makeKeyPair("vendor"));
    const std::string text = sign(makeKeyPair("stranger"));
    std::string whyNot;
    EXPECT_FALSE(check(bundleKey, text, whyNot));
    EXPECT_EQ(whyNot.rfind("signature made with another key (key id ", 0), 0u) << whyNot;
}

TEST_F(AgentSignature, ForgedKeyIdFails)
{
    const auto bundleKey = keyOf(makeKeyPair("vendor"));
    // A stranger's signature that claims the bundle's key id.
    const std::string text = withBytesChanged(sign(makeKeyPair("stranger")), 1, [&](auto& bytes) {
        std::copy(bundleKey.keyId.begin(), bundleKey.keyId.end(), bytes.begin() + 2);
    });
    std::string whyNot;
    EXPECT_FALSE(check(bundleKey, text, whyNot));
    EXPECT_EQ(whyNot, "bad signature");
}

// ---------------------------------------------------------------- malformed files

TEST_F(AgentSignature, MalformedPublicKeysAreRefused)
{
    const std::string good = readFile(makeKeyPair("vendor").publicKeyPath);
    const std::string comment = linesOf(good)[0];
    const std::string keyLine = linesOf(good)[1];
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "no untrusted comment line"},
        {"<html><body>Not Found</body></html>\n", "no untrusted comment line"},
        {comment + "\n", "no key line"},
        {comment + "\n" + keyLine.substr(0, 52) + "\n", "key line is not base64 of 42 bytes"},
        {comment + "\n" + keyLine + "AAAA\n", "key line is not base64 of 42 bytes"},
        {comment + "\n" + keyLine + " \n", "key line is not base64 of 42 bytes"},
        {withBytesChanged(good, 1, [](auto& bytes) { bytes.at(1) = 'D'; }), "not an Ed25519 key"},
        {good + "untrusted comment: another key\n", "key 2: no key line"},
        {good + "\n" + keyLine + "\n", "key 2: no untrusted comment line"},
        {"untrusted comment: " + std::string(9000, 'x') + "\n" + keyLine + "\n", "line 1 is too long"},
        {comment + "\n" + keyLine + std::string("\0\n", 2), "not a text file"},
    };
    for (const auto& [text, reason] : cases) {
        std::string whyNot;
        EXPECT_FALSE(parseMinisignPublicKeys(text, whyNot)) << text;
        EXPECT_EQ(whyNot, "malformed public key: " + reason) << text;
    }
}

TEST_F(AgentSignature, MalformedSignaturesAreRefused)
{
    const auto pair = makeKeyPair("vendor");
    const std::string good = sign(pair);
    const auto lines = linesOf(good);
    ASSERT_EQ(lines.size(), 4u);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "no untrusted comment line"},
        {"<html><body>Not Found</body></html>\n", "no untrusted comment line"},
        {agentBytes.substr(0, 500), "not a text file"},
        {lines[0] + "\n", "no signature line"},
        {readFile(pair.publicKeyPath), "signature line is not base64 of 74 bytes"},
        {withLine(good, 1, lines[1].substr(0, 99)), "signature line is not base64 of 74 bytes"},
        {withBytesChanged(good, 1, [](auto& bytes) { bytes.at(1) = 'X'; }), "unknown signature algorithm"},
        {textOf({lines[0], lines[1]}), "no trusted comment line"},
        {withLine(good, 2, "trusted comment:" + kComment), "no trusted comment line"},
        {textOf({lines[0], lines[1], lines[2]}), "no global signature line"},
        {withLine(good, 3, lines[3] + "=="), "global signature line is not base64 of 64 bytes"},
        {good + "\n", "text after the global signature line"},
        {withLine(good, 2, "trusted comment: " + std::string(9000, 'x')), "line 3 is too long"},
    };
    for (const auto& [text, reason] : cases) {
        std::string whyNot;
        EXPECT_FALSE(parseMinisignSignature(text, whyNot)) << text;
        EXPECT_EQ(whyNot, "malformed signature: " + reason) << text;
    }
}

TEST_F(AgentSignature, SeveralKeysOneAfterAnotherAreEachAKeyAndTheCommentIsTheSignersAlone)
{
    const auto old = makeKeyPair("old");
    const auto next = makeKeyPair("new");
    // As a vendor moving to a new key ships them: one file after the other,
    // a blank line between (CRLF files too).
    std::string whyNot;
    const auto keys = parseMinisignPublicKeys(readFile(old.publicKeyPath) + "\r\n" + readFile(next.publicKeyPath), whyNot);
    ASSERT_TRUE(keys) << whyNot;
    ASSERT_EQ(keys->size(), 2u);
    EXPECT_EQ(keys->at(0).keyId, keyOf(old).keyId);
    EXPECT_EQ(keys->at(1).keyId, keyOf(next).keyId);

    // The trusted comment is known to be the signer's without the file's bytes.
    const auto signature = parseMinisignSignature(sign(next), whyNot);
    ASSERT_TRUE(signature) << whyNot;
    EXPECT_TRUE(trustedCommentIsGenuine(keys->at(1), *signature, whyNot)) << whyNot;
    EXPECT_FALSE(trustedCommentIsGenuine(keys->at(0), *signature, whyNot));
    EXPECT_NE(whyNot.find("signature made with another key"), std::string::npos) << whyNot;
    auto changed = *signature;
    changed.trustedComment += "\trelease:other";
    EXPECT_FALSE(trustedCommentIsGenuine(keys->at(1), changed, whyNot));
    EXPECT_EQ(whyNot, "trusted comment has been tampered with");
}

TEST(KeyIdText, ReadsAsMinisignPrintsItWithoutLeadingZeros)
{
    // Stored little-endian: the last byte is the most significant.
    EXPECT_EQ(keyIdText({0xA3, 0xC1, 0xF4, 0x7E, 0x9C, 0x3C, 0x1D, 0x09}), "91D3C9C7EF4C1A3");
    EXPECT_EQ(keyIdText({0x01, 0, 0, 0, 0, 0, 0, 0}), "1");
    EXPECT_EQ(keyIdText({0, 0, 0, 0, 0, 0, 0, 0}), "0");
}
