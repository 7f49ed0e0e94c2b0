#pragma once

#include "platform/file_lock.h"

#include <memory>
#include <optional>
#include <string>

// The per-user cache of the downloaded install agent, as one run uses it.
//
// Several runs may use the cache at once, and any of them may be killed at
// any instant. They agree through two locks in the lock file ".lock" in the
// cache directory:
//  - the agent lock: reading the stamp and starting the cached agent need it
//    shared (and keep it until the agent has ended, so that nobody changes
//    an agent while it runs); changing the cache needs it exclusive;
//  - the update lock, held exclusive by the one run that decides whether to
//    replace the agent and then does it. Runs that finish a download meanwhile
//    wait for it, not for the agents that run, and then find the agent they
//    would have stored already in place.
// A new agent is unpacked into a staging directory beside the old one,
// checked, and swapped into place in one step; the old stamp goes before the
// swap and the new one comes after it. So whenever a stamp is there, the
// agent beside it is complete and is the one the stamp names.
class InstallAgentCache {
public:
    // Creates the cache directory with its "installagent" directory (and their
    // parents, mode 0700), checks that it
    // and the directories between the home directory and it are directories
    // of the user's own that nobody else may write to, and opens the lock
    // file. Null with a one-line reason that names the path otherwise.
    static std::unique_ptr<InstallAgentCache> open(const std::string& cacheDir, std::string& whyNot);

    // The cache directory, ending in "/".
    const std::string& directory() const { return directory_; }
    FileLock& agentLock() { return *agentLock_; }
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

// The cache this run uses, opened before its download. It stays with the run
// after the download, its agent lock held shared, until the agent started
// from it has ended.
void setRunInstallAgentCache(std::unique_ptr<InstallAgentCache> cache);
InstallAgentCache* runInstallAgentCache();
// Lets go of the run's cache and its lock.
void closeRunInstallAgentCache();
