#include "tools/run_file_check.h"

#include "tools/bundle_files.h"
#include "tools/helper_program.h"
#include "tools/run_file_format.h"

#include "platform/file_manager.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"
#include "provisioning/bundle_contents.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sodium.h>
#include <unistd.h>
#include <vector>

namespace {

// Copies the archive out of the file into archivePath, hashing it on the
// way; empty when its SHA-256 is the one the header records.
std::string extractArchive(const std::string& path, const RunFileHeader& header, const std::string& archivePath)
{
    const UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(open(archivePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!in || !out || lseek(in.get(), static_cast<off_t>(header.archiveOffset), SEEK_SET) < 0)
        return std::string("cannot be read: ") + std::strerror(errno);
    crypto_hash_sha256_state hash;
    crypto_hash_sha256_init(&hash);
    std::vector<unsigned char> buffer(1 << 16);
    for (std::uint64_t left = header.archiveSize; left > 0;) {
        const ssize_t got = read(in.get(), buffer.data(), std::min<std::uint64_t>(left, buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return "was cut short while it was read";
        crypto_hash_sha256_update(&hash, buffer.data(), static_cast<unsigned long long>(got));
        if (!writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got)))
            return "cannot be unpacked: " + archivePath + ": " + std::strerror(errno);
        left -= static_cast<std::uint64_t>(got);
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&hash, digest);
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    if (header.sha256 != hex)
        return "is damaged: its archive's SHA-256 is not the one its header records";
    return out.close() ? std::string() : "cannot be unpacked: " + archivePath + ": " + std::strerror(errno);
}

// The one bundle beside the start script; empty when the archive holds anything else.
std::string bundleNameIn(const std::string& content)
{
    std::vector<std::string> names;
    if (DIR* listing = opendir(content.c_str())) {
        while (const dirent* entry = readdir(listing))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0
                && std::strcmp(entry->d_name, runFileStartScriptName) != 0)
                names.emplace_back(entry->d_name);
        closedir(listing);
    }
    const bool one = names.size() == 1 && isDirectory(content + "/" + names.front())
        && isRegularFile(content + "/" + runFileStartScriptName);
    return one ? names.front() : std::string();
}

// Unpacks the file's archive into scratch/content and reports on the bundle there.
BundleReport inspectUnpacked(const std::string& path, const RunFileHeader& header, const std::string& scratch)
{
    BundleReport failed;
    const std::string archive = scratch + "/archive.tar.gz";
    const std::string content = scratch + "/content";
    if (std::string problem = extractArchive(path, header, archive); !problem.empty()) {
        failed.problems.push_back(path + " " + problem);
        return failed;
    }
    mkdir(content.c_str(), 0700);
    const ChildRun unpacked = runHelperProgram({"tar", "-xzf", archive, "-C", content, "--no-same-owner"});
    const std::string name = unpacked.succeeded() ? bundleNameIn(content) : std::string();
    if (name.empty()) {
        failed.problems.push_back(path + " holds no bundle beside its start script" + helperComplaint(unpacked));
        return failed;
    }
    const std::string bundle = content + "/" + name;
    BundleReport report = inspectBundle(bundle, name + " inside " + lastPathComponent(path));
    const std::string launcher = launcherPathFromDesktopEntry(existingBundleDirectories(bundle));
    const std::string expected = runFileStartScript(name, launcher);
    std::string ignored;
    if (readSmallFile(content + "/" + runFileStartScriptName, expected.size() + 1, ignored) != expected)
        report.problems.push_back(path + " starts something else than " + name + "/" + launcher);
    report.facts.insert(report.facts.begin(),
                        {"Self-extracting file", path + " (makeself, SHA-256 checked; runs " + name + "/" + launcher
                                                     + " with its own arguments)"});
    return report;
}

} // namespace

BundleReport inspectRunFile(const std::string& path)
{
    std::string whyNot;
    std::optional<RunFileHeader> header = readRunFileHeader(path, whyNot);
    if (header && !header->passesArguments)
        whyNot = "is a self-extracting file not made by launcher-bundle";
    if (!header || !header->passesArguments) {
        BundleReport report;
        report.facts.emplace_back("Self-extracting file", path);
        report.problems.push_back(path + " " + whyNot);
        return report;
    }
    std::string scratch = appendPathComponent(userTemporaryDirectory(), "launcher-bundle-check-XXXXXX");
    if (mkdtemp(scratch.data()) == nullptr) {
        BundleReport report;
        report.problems.push_back("cannot make a directory in " + userTemporaryDirectory() + ": " + std::strerror(errno));
        return report;
    }
    BundleReport report = inspectUnpacked(path, *header, scratch);
    removeItemAtPath(scratch);
    return report;
}
