#include "provisioning/cache_session.h"

#include "platform/file_manager.h"
#include "provisioning/cache_paths.h"
#include "provisioning/constants.h"
#include "provisioning/trust_policy.h"
#include "provisioning/unzip_install_agent.h"
#include "provisioning/validation_stamp.h"

std::unique_ptr<CacheSession> CacheSession::open(const std::string& cacheDir, std::string& whyNot)
{
    std::unique_ptr<InstallAgentCache> cache = InstallAgentCache::open(cacheDir, whyNot);
    return cache ? std::make_unique<CacheSession>(std::move(cache)) : nullptr;
}

CacheSession::CacheSession(std::unique_ptr<InstallAgentCache> cache) : cache_(std::move(cache)) {}

CacheSession::~CacheSession()
{
    stopUnpacking();
}

void CacheSession::holdForReading(EventLoop& loop, HoldDone done)
{
    if (cache_->readOnly()) {
        done(true, {}); // nobody can change it
        return;
    }
    hold(
        loop, cache_->agentLock(), FileLock::Mode::Shared, [done] { done(true, {}); },
        [done](const std::string& whyNot) { done(false, whyNot); });
}

std::optional<std::string> CacheSession::stamp() const
{
    return cache_->currentStamp();
}

bool CacheSession::holdsAgentStamped(const std::optional<std::string>& validationString) const
{
    return validationString && isCompleteInstallAgent(directory() + installAgentDirName)
        && isCacheValid(directory(), *validationString);
}

std::optional<AgentVouching> CacheSession::vouching() const
{
    return cache_->currentVouching();
}

NewestSigningTimes CacheSession::newestSigningTimes() const
{
    return cache_->newestSigningTimes();
}

void CacheSession::keepForHandOff()
{
    keptForHandOff_ = true;
}

bool CacheSession::canStore(std::string& whyNot) const
{
    whyNot = cache_->whyReadOnly();
    return !cache_->readOnly();
}

void CacheSession::letGo()
{
    stopUnpacking();
    if (cache_->readOnly())
        return;
    cache_->updateLock().unlock();
    if (!keptForHandOff_)
        cache_->agentLock().unlock();
}

void CacheSession::hold(EventLoop& loop, FileLock& lock, FileLock::Mode mode, std::function<void()> next,
                        std::function<void(const std::string& whyNot)> failed)
{
    if (lock.tryLock(mode)) {
        next();
        return;
    }
    if (waitNotice_)
        waitNotice_(true);
    lock.lockWhenFree(loop, mode, [this, next = std::move(next), failed = std::move(failed)](
                                      bool held, const std::string& whyNot) {
        if (waitNotice_)
            waitNotice_(false);
        if (!held) {
            letGo();
            failed("Cannot use the cache " + directory() + ": " + whyNot);
            return;
        }
        next();
    });
}

void CacheSession::store(EventLoop& loop, const std::string& archivePath, std::optional<std::string> validationString,
                         std::optional<AgentVouching> vouching, StoreDone done)
{
    if (std::string whyNot; !canStore(whyNot)) {
        done(StoreOutcome::Unusable, whyNot);
        return;
    }
    // One run at a time decides whether to replace the agent, and does it.
    Storing storing{archivePath, std::move(validationString), std::move(vouching)};
    hold(
        loop, cache_->updateLock(), FileLock::Mode::Exclusive,
        [this, &loop, storing, done] { decideWithTheUpdateLockHeld(loop, storing, done); },
        [done](const std::string& whyNot) { done(StoreOutcome::Unusable, whyNot); });
}

bool CacheSession::holdsTheAgentBeingStored(const Storing& storing) const
{
    return holdsAgentStamped(storing.validationString)
        && (!storing.vouching || cache_->currentVouching() == storing.vouching);
}

void CacheSession::decideWithTheUpdateLockHeld(EventLoop& loop, const Storing& storing, const StoreDone& done)
{
    const auto unusable = [done](const std::string& whyNot) { done(StoreOutcome::Unusable, whyNot); };
    FileLock& agentLock = cache_->agentLock();
    hold(
        loop, agentLock, FileLock::Mode::Shared,
        [this, &loop, &agentLock, storing, done, unusable] {
            // Another run may have put this very agent in place meanwhile.
            if (holdsTheAgentBeingStored(storing)) {
                cache_->updateLock().unlock();
                done(StoreOutcome::Stored, {});
                return;
            }
            // Replacing it waits until the agents that run from it have ended.
            agentLock.unlock();
            hold(
                loop, agentLock, FileLock::Mode::Exclusive,
                [this, &loop, storing, done] { replaceTheAgent(loop, storing, done); }, unusable);
        },
        unusable);
}

bool CacheSession::signedBeforeTheNewest(const Storing& storing, std::string& whyNot) const
{
    // The signature was checked against the newest signing time when the
    // request was made; another run may have taken a later one since.
    const auto signedAt = storing.vouching ? signingTimeOf(*storing.vouching) : std::nullopt;
    if (!signedAt)
        return false;
    const NewestSigningTimes newest = cache_->newestSigningTimes();
    const auto kept = newest.find(storing.vouching->keyId);
    if (kept == newest.end() || *signedAt >= kept->second)
        return false;
    whyNot = olderAgentRefusal(*signedAt, kept->second).reason;
    return true;
}

void CacheSession::replaceTheAgent(EventLoop& loop, const Storing& storing, const StoreDone& done)
{
    std::string whyNot;
    if (signedBeforeTheNewest(storing, whyNot)) {
        letGo();
        done(StoreOutcome::Refused, whyNot);
        return;
    }
    cache_->removeLeftovers();
    const std::string staging = cache_->makeStagingDirectory(whyNot);
    if (staging.empty()) {
        letGo();
        done(StoreOutcome::Failed, whyNot);
        return;
    }
    // unzip runs on the loop, which goes on serving the window meanwhile;
    // the disk writes what unzip has written while unzip goes on, so that
    // making the new agent durable before its stamp costs little at the end.
    UnzipOutcome notStarted = UnzipOutcome::Failed;
    unpacking_ = ArchiveUnpacking::start(
        loop, storing.archivePath, staging, "unzip",
        [this, staging, storing, done](UnzipOutcome unzipped) { agentUnpacked(staging, storing, unzipped, done); },
        [this, staging] { cache_->startWritingOut(staging); }, notStarted);
    if (!unpacking_) {
        agentUnpacked(staging, storing, notStarted, done);
        return;
    }
    staging_ = staging;
}

void CacheSession::agentUnpacked(const std::string& staging, const Storing& storing, UnzipOutcome unzipped,
                                 const StoreDone& done)
{
    unpacking_.reset(); // unzip has ended: this only lets go of it
    staging_.clear();
    std::string whyNot;
    // The stamp goes on only once the agent it vouches for is complete and in place.
    if (unzipped != UnzipOutcome::Unpacked
        || !cache_->replaceAgent(staging, storing.validationString, storing.vouching, whyNot)) {
        if (unzipped != UnzipOutcome::Unpacked)
            whyNot = "Failed to unzip the install agent";
        removeItemAtPath(staging);
        letGo();
        done(StoreOutcome::Failed, whyNot);
        return;
    }
    // Shared again in one step: nobody can change the new agent before it runs.
    cache_->agentLock().tryLock(FileLock::Mode::Shared);
    cache_->updateLock().unlock();
    done(StoreOutcome::Stored, {});
}

void CacheSession::stopUnpacking()
{
    if (!unpacking_)
        return;
    unpacking_.reset(); // kills unzip, and waits until it has gone
    removeItemAtPath(staging_);
    staging_.clear();
}

std::unique_ptr<CacheSession> openInstallAgentCache(ErrorReporter reporter)
{
    std::string whyNot;
    std::unique_ptr<CacheSession> session = CacheSession::open(getInstallAgentCacheDir(), whyNot);
    if (!session)
        reporter(whyNot, true);
    return session;
}
