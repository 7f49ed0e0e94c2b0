#pragma once

#include "platform/file_lock.h"
#include "provisioning/agent_vouching.h"

#include <cstdint>
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
    // names the path otherwise. A cache on a read-only file system, which
    // nobody can change, is opened without its lock file: readOnly().
    static std::unique_ptr<InstallAgentCache> open(const std::string& cacheDir, std::string& whyNot);

    // The cache directory, ending in "/".
    const std::string& directory() const { return directory_; }
    // Without locks, and nothing in it can change: its stamp and agent are
    // read as they are, and whyReadOnly() says, in one line, why nothing can
    // be stored.
    bool readOnly() const { return !agentLock_; }
    const std::string& whyReadOnly() const { return whyReadOnly_; }
    // Held shared by the runs that read the stamp or run the agent, exclusive
    // by the one that changes the cache. Not for a read-only cache.
    FileLock& agentLock() { return *agentLock_; }
    // Held exclusive by the one run that decides whether to replace the agent, and does it.
    FileLock& updateLock() { return *updateLock_; }

    // With the agent lock held: the stamp, when the agent beside it is complete.
    std::optional<std::string> currentStamp() const;
    // With the agent lock held: who vouched for the agent in place (none:
    // nobody, it was stored without a signature), and the newest signing
    // times taken under each key.
    std::optional<AgentVouching> currentVouching() const;
    NewestSigningTimes newestSigningTimes() const;

    // The rest needs both locks held exclusive.

    // Removes what interrupted runs left: staging directories, agents swapped
    // out, unfinished stamps and records.
    void removeLeftovers() const;
    // A new, empty staging directory in the cache directory; "" with whyNot.
    std::string makeStagingDirectory(std::string& whyNot) const;
    // Starts writing what has been unpacked into the staging directory out
    // to the disk, without waiting for it: replaceAgent() then waits less.
    void startWritingOut(const std::string& staging) const;
    // Puts the agent unpacked in the staging directory in the place of the
    // cached one, records who vouched for it (none: nobody, and no record)
    // and stamps it with the validation string (none, or empty: no stamp).
    // The old agent, its record and its stamp go. False with whyNot when the
    // staged agent is not complete or cannot be put in place; the cache then
    // holds what it held before, or no stamp.
    bool replaceAgent(const std::string& staging, const std::optional<std::string>& validationString,
                      const std::optional<AgentVouching>& vouching, std::string& whyNot) const;

private:
    InstallAgentCache(std::string directory, std::unique_ptr<FileLock> agentLock, std::unique_ptr<FileLock> updateLock,
                      std::string whyReadOnly);

    std::string directory_;
    std::unique_ptr<FileLock> agentLock_;
    std::unique_ptr<FileLock> updateLock_;
    std::string whyReadOnly_;
};

// The signing time the trusted comment of the record states, if any.
std::optional<std::uint64_t> signingTimeOf(const AgentVouching& vouching);

// Whether a directory holds a complete agent: "install" at its top, a regular file.
bool isCompleteInstallAgent(const std::string& directory);
