#pragma once

#include "launcher/error_reporter.h"
#include "platform/event_loop.h"
#include "provisioning/install_agent_cache.h"
#include "provisioning/unzip_install_agent.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// One run's use of the per-user cache, which several runs may share at once
// and any of them may leave at any instant (killed). They agree through two
// locks of the cache:
//  - the agent lock: reading the stamp and running the cached agent need it
//    shared, and keep it until the agent has ended, so that nobody changes an
//    agent while it runs; changing the cache needs it exclusive;
//  - the update lock, held exclusive by the one run that decides whether to
//    replace the agent, and does it. Runs that finish a download meanwhile
//    wait for it, not for the agents that run, and then find the agent they
//    would have stored already in place.
// A run holds the agent lock shared from before its request until the
// response. It keeps that hold when it runs the cached agent, or lets go of
// it when another version comes. A finished download is stored with the
// update lock held: if the cache holds, complete, the agent stamped with the
// download's ETag (another run stored it), that agent is used; otherwise,
// once the agents that run have ended, the agent lock exclusive, leftovers
// of killed runs go, the archive is unpacked into a staging directory beside
// the cached agent (unzip runs on the loop, which goes on serving the window;
// what it writes goes out to the disk meanwhile), swapped into
// place and stamped; then the hold goes back to shared in one step, so that
// nobody can change the new agent before it runs. Whenever a stamp is there,
// the agent beside it is complete and is the one the stamp names.
//
// Waits for a lock never block the loop, nor does unzip; letGo() ends them:
// unzip is killed and its staging directory removed.
class CacheSession {
public:
    // held: done; otherwise whyNot, one line, says why the wait for a lock failed.
    using HoldDone = std::function<void(bool held, const std::string& whyNot)>;
    // Said with true when a wait for another run begins, with false when it
    // is over (not when letGo() ends it).
    using WaitNotice = std::function<void(bool waiting)>;

    enum class StoreOutcome {
        Stored,      // the download's agent is in place (stored now, or by another run), held shared
        Failed,      // not unpacked, or not put in place: whyNot; the cache holds what it held
        Unusable,    // the wait for a lock failed: whyNot
        Refused,     // another run has meanwhile taken an agent signed later: whyNot
    };
    using StoreDone = std::function<void(StoreOutcome outcome, const std::string& whyNot)>;

    // Opens the cache (see InstallAgentCache::open); null with whyNot.
    static std::unique_ptr<CacheSession> open(const std::string& cacheDir, std::string& whyNot);
    explicit CacheSession(std::unique_ptr<InstallAgentCache> cache);
    // Lets go of every lock, a hand-off's hold included, and ends an unpacking.
    ~CacheSession();
    CacheSession(const CacheSession&) = delete;
    CacheSession& operator=(const CacheSession&) = delete;

    // The cache directory, ending in "/".
    const std::string& directory() const { return cache_->directory(); }
    void setWaitNotice(WaitNotice notice) { waitNotice_ = std::move(notice); }

    // Holds the agent lock shared for reading the stamp, waiting on the loop
    // while another run changes the cache. done comes at once when nobody is
    // in the way.
    void holdForReading(EventLoop& loop, HoldDone done);
    // With the hold: the stamp of the complete agent in the cache, if any.
    std::optional<std::string> stamp() const;
    // With the hold: whether the cache holds, complete, the agent stamped
    // with validationString (never for none).
    bool holdsAgentStamped(const std::optional<std::string>& validationString) const;
    // Whether a download can be stored; false with whyNot (one line) for a
    // cache on a read-only file system, which is read without locks.
    bool canStore(std::string& whyNot) const;
    // With the hold: who vouched for the cached agent (none: nobody), and the
    // newest signing time this cache has taken under each key.
    std::optional<AgentVouching> vouching() const;
    NewestSigningTimes newestSigningTimes() const;
    // The agent about to run is the cached one: the shared hold stays until
    // this session goes, whatever letGo() is asked later.
    void keepForHandOff();
    // Lets go of the locks and ends a wait or an unpacking (which then never
    // calls back), except the hold kept for a hand-off.
    void letGo();

    // Stores the finished download, the archive at archivePath stamped with
    // validationString (none: no stamp) and vouched for by vouching (none:
    // its bundle asks for no signature), as described above; done comes on
    // the loop, or at once. An agent that another run stored is used only
    // when it carries the same record; a signed one is refused when a later
    // signature under its key has been taken meanwhile. The archive itself
    // stays where it is; done never comes after letGo(). On every outcome but
    // Stored the session has let go of its locks.
    void store(EventLoop& loop, const std::string& archivePath, std::optional<std::string> validationString,
               std::optional<AgentVouching> vouching, StoreDone done);

private:
    // Takes the lock in the mode, waiting on the loop (and saying so) while
    // another run is in the way; then next(), or failed(whyNot) after letting go.
    void hold(EventLoop& loop, FileLock& lock, FileLock::Mode mode, std::function<void()> next,
              std::function<void(const std::string& whyNot)> failed);
    struct Storing {
        std::string archivePath;
        std::optional<std::string> validationString;
        std::optional<AgentVouching> vouching;
    };
    void decideWithTheUpdateLockHeld(EventLoop& loop, const Storing& storing, const StoreDone& done);
    // With the agent lock held: whether the agent in place is the one being stored.
    bool holdsTheAgentBeingStored(const Storing& storing) const;
    // With both locks exclusive: whether a later signature under the same
    // key has been taken since (whyNot then says so).
    bool signedBeforeTheNewest(const Storing& storing, std::string& whyNot) const;
    // With both locks exclusive: unpacks into a staging directory on the loop...
    void replaceTheAgent(EventLoop& loop, const Storing& storing, const StoreDone& done);
    // ... then, once unzip has ended, swaps and stamps.
    void agentUnpacked(const std::string& staging, const Storing& storing, UnzipOutcome unzipped,
                       const StoreDone& done);
    // Kills an unzip still running and removes its staging directory.
    void stopUnpacking();

    std::unique_ptr<InstallAgentCache> cache_;
    std::unique_ptr<ArchiveUnpacking> unpacking_;
    std::string staging_; // where unpacking_ unpacks
    WaitNotice waitNotice_;
    bool keptForHandOff_ = false;
};

// The cache of this release and platform under the user's home, opened for
// this run: the one place the launcher opens its cache. Null after
// reporting why not (one line, an error) through the reporter.
std::unique_ptr<CacheSession> openInstallAgentCache(ErrorReporter reporter);
