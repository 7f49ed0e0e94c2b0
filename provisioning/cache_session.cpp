#include "provisioning/cache_session.h"

#include "platform/file_manager.h"
#include "provisioning/cache_paths.h"
#include "provisioning/constants.h"
#include "provisioning/unzip_install_agent.h"
#include "provisioning/validation_stamp.h"

std::unique_ptr<CacheSession> CacheSession::open(const std::string& cacheDir, std::string& whyNot)
{
    std::unique_ptr<InstallAgentCache> cache = InstallAgentCache::open(cacheDir, whyNot);
    return cache ? std::make_unique<CacheSession>(std::move(cache)) : nullptr;
}

CacheSession::CacheSession(std::unique_ptr<InstallAgentCache> cache) : cache_(std::move(cache)) {}

CacheSession::~CacheSession() = default;

void CacheSession::holdForReading(EventLoop& loop, HoldDone done)
{
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

void CacheSession::keepForHandOff()
{
    keptForHandOff_ = true;
}

void CacheSession::letGo()
{
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
                         StoreDone done)
{
    // One run at a time decides whether to replace the agent, and does it.
    hold(
        loop, cache_->updateLock(), FileLock::Mode::Exclusive,
        [this, &loop, archivePath, validationString, done] {
            decideWithTheUpdateLockHeld(loop, archivePath, validationString, done);
        },
        [done](const std::string& whyNot) { done(StoreOutcome::Unusable, whyNot); });
}

void CacheSession::decideWithTheUpdateLockHeld(EventLoop& loop, const std::string& archivePath,
                                               const std::optional<std::string>& validationString,
                                               const StoreDone& done)
{
    const auto unusable = [done](const std::string& whyNot) { done(StoreOutcome::Unusable, whyNot); };
    FileLock& agentLock = cache_->agentLock();
    hold(
        loop, agentLock, FileLock::Mode::Shared,
        [this, &loop, &agentLock, archivePath, validationString, done, unusable] {
            // Another run may have put this very agent in place meanwhile.
            if (holdsAgentStamped(validationString)) {
                cache_->updateLock().unlock();
                done(StoreOutcome::Stored, {});
                return;
            }
            // Replacing it waits until the agents that run from it have ended.
            agentLock.unlock();
            hold(
                loop, agentLock, FileLock::Mode::Exclusive,
                [this, archivePath, validationString, done] {
                    std::string whyNot;
                    const StoreOutcome outcome = replaceTheAgent(archivePath, validationString, whyNot);
                    done(outcome, whyNot);
                },
                unusable);
        },
        unusable);
}

CacheSession::StoreOutcome CacheSession::replaceTheAgent(const std::string& archivePath,
                                                         const std::optional<std::string>& validationString,
                                                         std::string& whyNot)
{
    cache_->removeLeftovers();
    const std::string staging = cache_->makeStagingDirectory(whyNot);
    if (staging.empty()) {
        letGo();
        return StoreOutcome::Failed;
    }
    // The disk writes what unzip has written while unzip goes on, so that
    // making the new agent durable before its stamp costs little at the end.
    const UnzipOutcome unzipped = unpackInstallAgentArchive(archivePath, staging, "unzip",
                                                            [this, &staging] { cache_->startWritingOut(staging); });
    // The stamp goes on only once the agent it vouches for is complete and in place.
    if (unzipped != UnzipOutcome::Unpacked || !cache_->replaceAgent(staging, validationString, whyNot)) {
        if (unzipped == UnzipOutcome::Failed || unzipped == UnzipOutcome::NoArchive)
            whyNot = "Failed to unzip the install agent";
        removeItemAtPath(staging);
        letGo();
        return unzipped == UnzipOutcome::Interrupted ? StoreOutcome::Interrupted : StoreOutcome::Failed;
    }
    // Shared again in one step: nobody can change the new agent before it runs.
    cache_->agentLock().tryLock(FileLock::Mode::Shared);
    cache_->updateLock().unlock();
    return StoreOutcome::Stored;
}

std::unique_ptr<CacheSession> openInstallAgentCache(ErrorReporter reporter)
{
    std::string whyNot;
    std::unique_ptr<CacheSession> session = CacheSession::open(getInstallAgentCacheDir(), whyNot);
    if (!session)
        reporter(whyNot, true);
    return session;
}
