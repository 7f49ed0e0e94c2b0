#include "tools/agent_signing.h"

#include "tools/agent_archive.h"
#include "tools/bundle_files.h"
#include "tools/kit_files.h"
#include "tools/launcher_identity.h"

#include "platform/child_process.h"
#include "platform/paths.h"
#include "provisioning/agent_signature.h"
#include "provisioning/trusted_comment.h"

#include <ctime>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// The release and platform the kit's launcher serves, as --check reads them.
LauncherIdentity kitIdentity()
{
    std::string whyNot;
    if (const auto kit = findKitFiles(whyNot))
        if (auto identity = readLauncherIdentity(kit->launcher))
            return *identity;
    return ownLauncherIdentity();
}

// What the signature states of the archive at path, signed now.
std::optional<TrustedCommentFields> statedFields(const std::string& path, std::string& whyNot)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        whyNot = "install agent " + path + " cannot be read";
        return std::nullopt;
    }
    const std::string name = lastPathComponent(path);
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            whyNot = "install agent " + path + " has a control character in its name";
            return std::nullopt;
        }
    }
    const LauncherIdentity identity = kitIdentity();
    TrustedCommentFields fields;
    fields.timestamp = static_cast<std::uint64_t>(std::time(nullptr));
    fields.release = identity.release;
    fields.platform = identity.platform;
    fields.size = static_cast<std::uint64_t>(info.st_size);
    fields.file = name;
    return fields;
}

// The key id of the signature minisign wrote; "" when it is none.
std::string signatureKeyId(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::string whyNot;
    const auto signature = parseMinisignSignature(text, whyNot);
    return signature ? keyIdText(signature->keyId) : std::string();
}

} // namespace

std::string signAgent(const SignRequest& request, std::ostream& out)
{
    if (!isRegularFile(request.agent))
        return "install agent " + request.agent + " is not a file";
    if (const std::string problem = agentArchiveProblem(request.agent); !problem.empty())
        return "install agent " + request.agent + " " + problem;
    if (!isRegularFile(request.secretKey))
        return "secret key " + request.secretKey + " is not a file";
    std::string whyNot;
    const std::optional<TrustedCommentFields> fields = statedFields(request.agent, whyNot);
    if (!fields)
        return whyNot;
    const std::string output = request.output.empty() ? request.agent + ".minisig" : request.output;
    const std::string comment = trustedCommentText(*fields);

    // On the tool's own terminal, so that minisign can ask for the key's password.
    ChildProcessOptions minisign;
    minisign.argv = {"minisign", "-S", "-s", request.secretKey, "-m", request.agent, "-x", output, "-t", comment};
    const ChildRun ran = runChild(minisign, ChildOutput::Inherited);
    if (!ran.started)
        return "cannot run minisign (" + ran.whyNot + "; Debian: apt install minisign)";
    if (!ran.succeeded())
        return "minisign could not sign " + request.agent + " (exit status "
            + std::to_string(WIFEXITED(ran.waitStatus) ? WEXITSTATUS(ran.waitStatus) : -1) + ")";
    out << "Signed " << request.agent << ": " << output << " (key id " << signatureKeyId(output) << ")\n"
        << "Trusted comment: " << comment << "\n";
    return {};
}
