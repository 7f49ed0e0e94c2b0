#include "support/minisign_keys.h"

#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

namespace testsupport {

std::string MinisignKeys::make(const std::string& name) const
{
    const ProcessResult made = run({"minisign", "-G", "-W", "-f", "-p", publicKey(name), "-s", secretKey(name)});
    EXPECT_EQ(made.exitCode, 0) << "minisign -G: " << made.describe() << "\n" << made.err;
    return publicKey(name);
}

std::string MinisignKeys::keyId(const std::string& name) const
{
    const std::string text = readFile(publicKey(name));
    const std::string marker = "public key ";
    const std::size_t start = text.find(marker) + marker.size();
    return text.substr(start, text.find('\n') - start);
}

void MinisignKeys::sign(const std::string& name, const std::string& file, const std::string& trustedComment,
                        bool legacy, const std::string& signature) const
{
    std::vector<std::string> argv{"minisign", "-S", "-s", secretKey(name), "-m", file, "-t", trustedComment};
    if (legacy)
        argv.push_back("-l");
    if (!signature.empty()) {
        argv.push_back("-x");
        argv.push_back(signature);
    }
    const ProcessResult signed_ = run(argv);
    EXPECT_EQ(signed_.exitCode, 0) << "minisign -S: " << signed_.describe() << "\n" << signed_.err;
}

} // namespace testsupport
