#pragma once

#include "platform/file_lock.h"

#include <memory>
#include <optional>
#include <string>

// The per-user cache of the downloaded install agent on disk: its directory,
// the two locks in its lock file ".lock", and the steps that change it
// (leftovers, staging, swap, stamp). In which order a run takes the locks
// and takes these steps is CacheSession's (provisioning/cache_session.h).
class InstallAgentCache {
public:
    // Creates the cache directory with its "installagent" directory (and their
    // parents, mode 0700), checks that it and the directories between the home
    // directory and it are directories of the user's own that nobody else may
    // write to, and opens the lock file. Null with a one-line reason that
    // names the path otherwise.
    static std::unique_ptr<InstallAgentCache> open(const std::string& cacheDir, std::string& whyNot);

    // The cache directory, ending in "/".
    const std::string& directory() const { return directory_; }
    // Held shared by the runs that read the stamp or run the agent, exclusive
    // by the one that changes the cache.
    FileLock& agentLock() { return *agentLock_; }
    // Held exclusive by the one run that decides whether to replace the agent, and does it.
    FileLock& updateLock() { return *updateLock_; }

    // With the agent lock held: the stamp, when the agent beside it is complete.
    std::optional<std::string> currentStamp() const;

    // The rest needs both locks held exclusive.

    // Removes what interrupted runs left: staging directories, agents swapped
    // out, unfinished stamps.
    void removeLeftovers() const;
    // A new, empty staging directory in the cache directory; "" with whyNot.
    std::string makeStagingDirectory(std::string& whyNot) const;
    // Starts writing what has been unpacked into the staging directory out
    // to the disk, without waiting for it: replaceAgent() then waits less.
    void startWritingOut(const std::string& staging) const;
    // Puts the agent unpacked in the staging directory in the place of the
    // cached one and stamps it with the validation string (none, or empty:
    // no stamp). The old agent is removed. False with whyNot when the staged
    // agent is not complete or cannot be put in place; the cache then holds
    // what it held before, or no stamp.
    bool replaceAgent(const std::string& staging, const std::optional<std::string>& validationString,
                      std::string& whyNot) const;

private:
    InstallAgentCache(std::string directory, std::unique_ptr<FileLock> agentLock, std::unique_ptr<FileLock> updateLock);

    std::string directory_;
    std::unique_ptr<FileLock> agentLock_;
    std::unique_ptr<FileLock> updateLock_;
};

// Whether a directory holds a complete agent: "install" at its top, a regular file.
bool isCompleteInstallAgent(const std::string& directory);
