#include "provisioning/install_agent_cache.h"

#include "platform/file_manager.h"
#include "platform/unique_fd.h"
#include "provisioning/constants.h"
#include "provisioning/mkpath.h"
#include "provisioning/trusted_comment.h"
#include "provisioning/validation_stamp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string lockFileName = ".lock";
// The two locks in it, one byte each.
constexpr unsigned agentLockSlot = 0;
constexpr unsigned updateLockSlot = 1;
// The name that only unfinished work carries: staging directories (and
// agents swapped out into them).
const std::string stagingPrefix = "." + std::string("installagent") + "-";

std::string userName(uid_t uid)
{
    if (const passwd* entry = getpwuid(uid); entry != nullptr && entry->pw_name != nullptr)
        return std::string(entry->pw_name) + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

std::string octal(mode_t mode)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// One directory on the way to the cache: the user's own, and nobody else may write to it.
bool isSafeDirectory(const std::string& path, std::string& whyNot)
{
    const uid_t me = geteuid();
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        whyNot = "Cannot use the cache directory " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        // A link of the user's own may lead elsewhere; one of somebody else's may not.
        if (info.st_uid != me && info.st_uid != 0) {
            whyNot = "Refusing the cache directory " + path + ": it is a link owned by " + userName(info.st_uid);
            return false;
        }
        if (stat(path.c_str(), &info) != 0) {
            whyNot = "Cannot use the cache directory " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!S_ISDIR(info.st_mode)) {
        whyNot = "Cannot use the cache directory " + path + ": it is not a directory";
        return false;
    }
    if (info.st_uid != me) {
        whyNot = "Refusing the cache directory " + path + ": it is owned by " + userName(info.st_uid) + ", not by "
            + userName(me);
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        whyNot = "Refusing the cache directory " + path + ": others may write to it (mode " + octal(info.st_mode)
            + ")";
        return false;
    }
    return true;
}

// The cache directory and the directories between the home directory and it.
bool isSafeCache(const std::string& cacheDir, std::string& whyNot)
{
    if (!cacheDir.ends_with(cacheSubpath))
        return isSafeDirectory(cacheDir, whyNot);
    std::string path = cacheDir.substr(0, cacheDir.size() - cacheSubpath.size());
    std::string::size_type start = 0;
    while (start < cacheSubpath.size()) {
        const auto slash = cacheSubpath.find('/', start);
        path += cacheSubpath.substr(start, slash - start);
        if (!isSafeDirectory(path, whyNot))
            return false;
        path += pathSeparator;
        start = slash + 1;
    }
    return true;
}

bool isOnReadOnlyFileSystem(const std::string& path)
{
    struct statvfs fileSystem {};
    return statvfs(path.c_str(), &fileSystem) == 0 && (fileSystem.f_flag & ST_RDONLY) != 0;
}

void syncDirectory(const std::string& path)
{
    if (const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); fd)
        fsync(fd.get());
}

int syncEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    if (type == FTW_F || type == FTW_D || type == FTW_DP) {
        const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (type == FTW_F ? 0 : O_DIRECTORY)));
        if (fd)
            fsync(fd.get());
    }
    return 0;
}

// Every file and directory below path on the disk: after a power loss a stamp
// must not stand beside files whose content never got there.
void syncTree(const std::string& path)
{
    nftw(path.c_str(), syncEntry, 16, FTW_PHYS | FTW_DEPTH);
}

int startWritingOutEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    if (type == FTW_F) {
        const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (fd)
            sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    return 0;
}

} // namespace

std::optional<std::uint64_t> signingTimeOf(const AgentVouching& vouching)
{
    std::string whyNot;
    const std::optional<TrustedCommentFields> fields = parseTrustedComment(vouching.trustedComment, whyNot);
    return fields ? fields->timestamp : std::nullopt;
}

bool isCompleteInstallAgent(const std::string& directory)
{
    struct stat info {};
    return lstat((directory + pathSeparator + "install").c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::unique_ptr<InstallAgentCache> InstallAgentCache::open(const std::string& cacheDir, std::string& whyNot)
{
    std::string directory = cacheDir;
    if (directory.empty() || directory.back() != '/')
        directory += pathSeparator;
    if (mkpath(directory + installAgentDirName, 0700) != 0) {
        whyNot = "Cannot create the cache directory " + directory + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!isSafeCache(directory, whyNot))
        return nullptr;
    auto agentLock = FileLock::open(directory + lockFileName, whyNot, agentLockSlot);
    auto updateLock = agentLock ? FileLock::open(directory + lockFileName, whyNot, updateLockSlot) : nullptr;
    if (!updateLock) {
        whyNot = "Cannot use the cache directory " + directory + ": " + whyNot;
        // Nobody can change a cache on a read-only file system: it is read as it is.
        if (isOnReadOnlyFileSystem(directory))
            return std::unique_ptr<InstallAgentCache>(new InstallAgentCache(directory, nullptr, nullptr, whyNot));
        return nullptr;
    }
    return std::unique_ptr<InstallAgentCache>(
        new InstallAgentCache(directory, std::move(agentLock), std::move(updateLock), {}));
}

InstallAgentCache::InstallAgentCache(std::string directory, std::unique_ptr<FileLock> agentLock,
                                     std::unique_ptr<FileLock> updateLock, std::string whyReadOnly)
    : directory_(std::move(directory)), agentLock_(std::move(agentLock)), updateLock_(std::move(updateLock)),
      whyReadOnly_(std::move(whyReadOnly))
{
}

std::optional<AgentVouching> InstallAgentCache::currentVouching() const
{
    return readAgentVouching(directory_);
}

NewestSigningTimes InstallAgentCache::newestSigningTimes() const
{
    return readNewestSigningTimes(directory_);
}

std::optional<std::string> InstallAgentCache::currentStamp() const
{
    if (!isCompleteInstallAgent(directory_ + installAgentDirName))
        return std::nullopt;
    std::string stamp = readValidationString(directory_);
    if (stamp.empty())
        return std::nullopt;
    return stamp;
}

void InstallAgentCache::removeLeftovers() const
{
    DIR* listing = opendir(directory_.c_str());
    if (listing == nullptr)
        return;
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.starts_with(stagingPrefix) || isUnfinishedValidationStringName(name) || isUnfinishedVouchingName(name))
            leftovers.push_back(directory_ + name);
    }
    closedir(listing);
    for (const std::string& leftover : leftovers)
        removeItemAtPath(leftover);
}

std::string InstallAgentCache::makeStagingDirectory(std::string& whyNot) const
{
    std::string pattern = directory_ + stagingPrefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        whyNot = "Cannot create a directory in " + directory_ + ": " + std::strerror(errno);
        return {};
    }
    return pattern;
}

void InstallAgentCache::startWritingOut(const std::string& staging) const
{
    nftw(staging.c_str(), startWritingOutEntry, 16, FTW_PHYS);
}

bool InstallAgentCache::replaceAgent(const std::string& staging, const std::optional<std::string>& validationString,
                                     const std::optional<AgentVouching>& vouching, std::string& whyNot) const
{
    if (!isCompleteInstallAgent(staging)) {
        whyNot = "The install agent archive holds no file \"install\" at its top level";
        return false;
    }
    const std::string agent = directory_ + installAgentDirName;

    // Kept before anything changes: once this agent can be in place, none
    // signed before it may take its place again, even if the run ends here.
    if (const auto signedAt = vouching ? signingTimeOf(*vouching) : std::nullopt)
        recordSigningTime(directory_, vouching->keyId, *signedAt);
    syncTree(staging);
    // No stamp may name the old agent once the new one can be in its place,
    // and no record may stand beside a stamp it was not written for.
    removeAgentVouching(directory_);
    removeValidationString(directory_);
    syncDirectory(directory_);

    if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, agent.c_str(), RENAME_EXCHANGE) == 0) {
        removeItemAtPath(staging); // the old agent, swapped out
    } else if (errno == ENOENT) {
        if (rename(staging.c_str(), agent.c_str()) != 0) {
            whyNot = "Cannot move the new install agent into " + agent + ": " + std::strerror(errno);
            return false;
        }
    } else {
        // A file system that cannot swap: move the old one aside first. Only
        // this run holds the lock, so nobody sees the moment between.
        const std::string aside = staging + ".old";
        if (rename(agent.c_str(), aside.c_str()) != 0 || rename(staging.c_str(), agent.c_str()) != 0) {
            whyNot = "Cannot move the new install agent into " + agent + ": " + std::strerror(errno);
            return false;
        }
        removeItemAtPath(aside);
    }
    syncDirectory(directory_);

    // Who vouched goes on before the stamp: a stamp always stands beside its record.
    if (vouching)
        writeAgentVouching(directory_, *vouching);
    if (validationString && !validationString->empty())
        writeValidationString(directory_, *validationString);
    return true;
}
