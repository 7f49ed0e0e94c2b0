#pragma once

// Key pairs and signatures made with the real minisign, in a directory of
// the test's: <name>.pub and <name>.key (no password).

#include <string>

namespace testsupport {

class MinisignKeys {
public:
    explicit MinisignKeys(std::string directory) : directory_(std::move(directory)) {}

    // Makes the pair; returns the public key's path.
    std::string make(const std::string& name) const;
    std::string publicKey(const std::string& name) const { return directory_ + "/" + name + ".pub"; }
    std::string secretKey(const std::string& name) const { return directory_ + "/" + name + ".key"; }
    // The key id as minisign prints it (in the public key's comment).
    std::string keyId(const std::string& name) const;

    // Signs file with the key into file + ".minisig" (or signature), with
    // the trusted comment; legacy: over the whole file ("Ed").
    void sign(const std::string& name, const std::string& file, const std::string& trustedComment,
              bool legacy = false, const std::string& signature = {}) const;

private:
    std::string directory_;
};

} // namespace testsupport
