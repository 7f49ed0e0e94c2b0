#include "download/download_controller.h"

#include "download/download_run.h"
#include "launcher/error_reporter.h"
#include "platform/file_manager.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "platform/system_log.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/cache_paths.h"
#include "provisioning/constants.h"
#include "provisioning/install_agent_cache.h"
#include "provisioning/unzip_install_agent.h"
#include "provisioning/validation_stamp.h"

#include <cmath>
#include <cstdio>

namespace {

const std::string downloadErrorText =
    "Error during the download process. See your system log for more information.";
const std::string unzipErrorText = "Failed to unzip the installer.";
const std::string waitingText = "Waiting for another installation to finish";
const double splashSize = 400.0;
const double handOffCloseDelaySeconds = 3.0;

} // namespace

std::string downloadingStatusText(double percentage)
{
    char number[64];
    std::snprintf(number, sizeof number, "%3.0f%%", percentage);
    return std::string("Downloading ") + number;
}

Download::Download(EventLoop& loop, UrlDownloadStarter startDownload)
    : loop_(loop), startDownload_(std::move(startDownload)), installAgentLocation_(downloadTo)
{
    // The outlets are connected only after this constructor, so these settings
    // reach nothing here; the interface that builds the window makes them.
    if (progress != nullptr) {
        progress->setDoubleValue(0);
        progress->setUsesThreadedAnimation(true);
    }
    if (downloadPercent != nullptr)
        downloadPercent->setUsesSingleLineMode(true);
    if (cancel != nullptr)
        cancel->setKeyEquivalent("\r");
}

Download::~Download() = default;

void Download::applicationDidFinishLaunching()
{
    // Without a bundle there is no splash picture, but the download still
    // starts: a terminal has nobody who could close an idle window.
    if (const auto bundle = mainBundle()) {
        const std::string splashPath = appendPathComponent(bundle->resourcePath, splashPictureName);
        if (image != nullptr && fileExistsAtPath(splashPath)) {
            image->showImageFromFile(splashPath, static_cast<int>(splashSize), static_cast<int>(splashSize));
            if (window != nullptr)
                window->displayIfNeeded();
        }
    }

    // A bundle that ships a public key takes only signed agents.
    std::string keyProblem;
    if (const auto key = DownloadSignature::bundlePublicKey(keyProblem))
        signature_ = std::make_unique<DownloadSignature>(loop_, startDownload_, *key);
    else if (!keyProblem.empty()) {
        downloadFailed(keyProblem, downloadFrom);
        return;
    }

    // The cache is normally opened (and checked) before the window appears;
    // if not, here, so that a run never goes without its lock.
    cache_ = runInstallAgentCache();
    if (cache_ == nullptr) {
        std::string whyNot;
        setRunInstallAgentCache(InstallAgentCache::open(getInstallAgentCacheDir(), whyNot));
        cache_ = runInstallAgentCache();
        if (cache_ == nullptr) {
            downloadFailed(whyNot, downloadFrom);
            return;
        }
    }
    holdCache(cache_->agentLock(), FileLock::Mode::Shared, [this] { startDownloadWithTheCacheHeld(); });
}

void Download::holdCache(FileLock& lock, FileLock::Mode mode, std::function<void()> next)
{
    if (lock.tryLock(mode)) {
        next();
        return;
    }
    if (downloadPercent != nullptr) {
        textBeforeWaiting_ = downloadPercent->stringValue();
        downloadPercent->setStringValue(waitingText);
    }
    lock.lockWhenFree(loop_, mode, [this, next = std::move(next)](bool held, const std::string& whyNot) {
        if (textBeforeWaiting_ && downloadPercent != nullptr)
            downloadPercent->setStringValue(*textBeforeWaiting_);
        textBeforeWaiting_.reset();
        if (!held) {
            releaseCache();
            systemLog("Cannot use the cache " + cache_->directory() + ": " + whyNot);
            failure(downloadErrorText, TextColor::Red);
            endRunIfNobodyCanClose();
            return;
        }
        next();
    });
}

void Download::releaseCache()
{
    if (cache_ == nullptr)
        return;
    cache_->updateLock().unlock();
    if (!handedOff_)
        cache_->agentLock().unlock();
}

bool Download::cacheHoldsThisDownload() const
{
    const std::optional<std::string> stamp = cache_->currentStamp();
    return stamp && validationString_ && *stamp == *validationString_;
}

void Download::startDownloadWithTheCacheHeld()
{
    // The server may answer "not modified" for the agent the cache holds.
    cachedStamp_ = cache_->currentStamp();
    downloadFromURL(downloadFrom);
}

void Download::handOffToTheCachedAgent()
{
    fireInstallAgent();
    if (window != nullptr)
        window->close();
    else
        windowWillClose();
}

void Download::downloadFromURL(const std::string& url)
{
    UrlDownloadOptions options;
    if (cachedStamp_)
        options.ifNoneMatch = *cachedStamp_;
    if (signature_)
        options.onBodyBytes = [signature = signature_.get()](const char* data, std::size_t size) {
            signature->archiveBytes(data, size);
        };
    std::string whyNot;
    theDownload_ = startDownload_(loop_, url, *this, std::move(options), whyNot);
    if (!theDownload_) {
        downloadFailed(whyNot.empty() ? "Cannot download from this URL" : whyNot, url);
        return;
    }
    theDownload_->setDeletesFileUponFailure(true);
    theDownload_->setDestination(installAgentLocation_, true);
}

void Download::windowWillClose()
{
    if (windowClosed_)
        return;
    windowClosed_ = true;
    releaseCache(); // a wait for the lock ends too
    if (signature_)
        signature_->cancel();
    if (theDownload_)
        theDownload_->cancel();
    loop_.stop(handedOff_ ? 1 : 0);
}

void Download::downloadDidReceiveResponse(UrlDownload&, const UrlResponse& response)
{
    endRetryWait();
    const bool first = ++responses_ == 1;
    if (response.statusCode == 304) {
        // "Not modified" answers the If-None-Match with the cached agent's
        // stamp: that agent is current. Without one there is nothing to run.
        const std::string etag = response.headerField("ETag");
        const auto strong = [](const std::string& tag) { return tag.rfind("W/", 0) == 0 ? tag.substr(2) : tag; };
        if (first && cachedStamp_ && (etag.empty() || strong(etag) == strong(*cachedStamp_))) {
            handOffToTheCachedAgent();
            return;
        }
        if (theDownload_)
            theDownload_->cancel();
        downloadFailed("HTTP status 304 without a cached install agent it could stand for", response.url);
        return;
    }
    // An error page is not the archive: fail before anything in the cache is touched.
    if (response.statusCode >= 400) {
        if (theDownload_)
            theDownload_->cancel();
        downloadFailed("HTTP status " + std::to_string(response.statusCode), response.url);
        return;
    }

    validationString_.reset();
    if (response.hasHeaderField("ETag"))
        validationString_ = response.headerField("ETag");
    fileLength_ = response.expectedContentLength;

    // The lock is held shared since before the request: the stamp and the
    // agent beside it are the ones the request was made for. A later
    // response (the body started again from zero) comes after the lock has
    // gone: it only starts the progress again.
    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string agentDir = first ? installAgentDirOnDisk() : std::string();
    if (!agentDir.empty()) {
        // A response without an ETag never matches; nor does a stamp beside an agent that is not whole.
        if (validationString_ && isCacheValid(cacheDir, *validationString_)
            && isCompleteInstallAgent(cacheDir + installAgentDirName)) {
            handOffToTheCachedAgent();
            return;
        }
    }
    // Another version comes. The cached agent stays, usable by other runs,
    // until the new one is complete and can take its place.
    releaseCache();
    bytesReceived_ = 0;
    if (!first && progress != nullptr)
        progress->setDoubleValue(0);
    if (signature_) {
        signature_->restart(installAgentLocation_);
        signature_->fetch(downloadFrom, downloadTo + ".minisig",
                          [this](bool fetched, const std::string& whyNot, const std::string& url) {
                              signatureFetched(fetched, whyNot, url);
                          });
    }

    if (progress != nullptr) {
        if (fileLength_ != -1)
            progress->setMaxValue(static_cast<double>(fileLength_));
        progress->setIndeterminate(fileLength_ == -1);
        progress->startAnimation();
    }
    if (fileLength_ != -1 && downloadPercent != nullptr)
        downloadPercent->setStringValue(downloadingStatusText(0.0));
}

void Download::downloadDidReceiveAuthenticationChallenge(UrlDownload&)
{
    // No credentials to offer: waiting would only hang the run.
    if (theDownload_)
        theDownload_->cancel();
    downloadFailed("Authentication required", downloadFrom);
}

void Download::downloadDidReceiveDataOfLength(UrlDownload&, std::uint64_t length)
{
    endRetryWait();
    bytesReceived_ += static_cast<std::int64_t>(length);
    if (fileLength_ == -1) {
        // The bar stays indeterminate; its value still counts the bytes, for
        // front ends that show them.
        if (progress != nullptr)
            progress->incrementBy(static_cast<double>(length));
        return;
    }
    const double percentage = static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
    if (downloadPercent != nullptr)
        downloadPercent->setStringValue(downloadingStatusText(percentage));
    if (progress != nullptr) {
        progress->incrementBy(static_cast<double>(length));
        progress->displayIfNeeded();
    }
}

void Download::failure(const std::string& message, TextColor color)
{
    if (progress != nullptr) {
        progress->stopAnimation();
        progress->setIndeterminate(false);
        progress->setDoubleValue(progress->maxValue());
    }
    if (downloadPercent != nullptr) {
        downloadPercent->setStringValue(message);
        downloadPercent->setTextColor(color);
    }
}

void Download::downloadDidFail(UrlDownload&, const UrlDownloadError& error)
{
    endRetryWait();
    downloadFailed(error.localizedDescription, error.failingURL);
}

void Download::downloadWillRetry(UrlDownload&, const UrlDownloadRetry& retry)
{
    if (downloadPercent == nullptr)
        return;
    if (!textBeforeRetry_)
        textBeforeRetry_ = downloadPercent->stringValue();
    char text[128];
    std::snprintf(text, sizeof text, "Connection lost \u2014 retrying in %.0f s (attempt %d of %d)",
                  std::ceil(retry.delaySeconds), retry.nextAttempt, retry.attempts);
    downloadPercent->setStringValue(text);
}

void Download::endRetryWait()
{
    if (textBeforeRetry_ && downloadPercent != nullptr)
        downloadPercent->setStringValue(*textBeforeRetry_);
    textBeforeRetry_.reset();
}

void Download::downloadFailed(const std::string& description, const std::string& failingURL)
{
    releaseCache();
    // Neither half of a download stays: not the archive, not its signature.
    if (signature_)
        signature_->cancel();
    if (!handedOff_)
        removeItemAtPath(installAgentLocation_);
    systemLog("Download failed! Error - " + description + " " + failingURL);
    failure(downloadErrorText, TextColor::Red);
    endRunIfNobodyCanClose();
}

void Download::endRunIfNobodyCanClose()
{
    if (window == nullptr || window->hasUserToClose())
        return;
    // Close on the next turn of the loop, once the caller is done with us.
    loop_.callLater(0.0, [this] {
        if (window != nullptr)
            window->close();
    });
}

void Download::waitForInstallAgentToStart()
{
    if (window != nullptr)
        window->close();
}

void Download::downloadDidFinish(UrlDownload&)
{
    endRetryWait();
    if (downloadPercent != nullptr)
        downloadPercent->setStringValue("Initializing the installer");
    if (progress != nullptr) {
        progress->setIndeterminate(true);
        progress->startAnimation();
    }
    if (cancel != nullptr)
        cancel->setEnabled(false);
    if (window != nullptr)
        window->displayIfNeeded();

    archiveComplete_ = true;
    if (!signature_)
        storeTheDownload();
    else if (signature_->fetched())
        checkSignatureThenStore();
    // else: the signature is still on its way; signatureFetched goes on.
}

void Download::signatureFetched(bool fetched, const std::string& whyNot, const std::string& url)
{
    if (!fetched) {
        if (theDownload_)
            theDownload_->cancel();
        downloadFailed(whyNot, url);
        return;
    }
    if (archiveComplete_)
        checkSignatureThenStore();
}

void Download::checkSignatureThenStore()
{
    // Nothing of an archive that is not the signer's reaches the cache.
    signature_->verify([this](bool good, const std::string& whyNot) {
        if (!good) {
            downloadFailed(whyNot, downloadFrom);
            return;
        }
        systemLog("Good signature of " + downloadFrom + ", trusted comment: " + signature_->trustedComment());
        storeTheDownload();
    });
}

void Download::storeTheDownload()
{
    // One run at a time decides whether to replace the agent, and does it.
    holdCache(cache_->updateLock(), FileLock::Mode::Exclusive, [this] { decideWithTheUpdateLockHeld(); });
}

void Download::decideWithTheUpdateLockHeld()
{
    holdCache(cache_->agentLock(), FileLock::Mode::Shared, [this] {
        // Another run may have put this very agent in place meanwhile.
        if (cacheHoldsThisDownload()) {
            cache_->updateLock().unlock();
            handOffAfterTheDownload();
            return;
        }
        // Replacing it waits until the agents that run from it have ended.
        cache_->agentLock().unlock();
        holdCache(cache_->agentLock(), FileLock::Mode::Exclusive, [this] { installWithTheCacheHeldExclusive(); });
    });
}

void Download::installWithTheCacheHeldExclusive()
{
    FileLock& lock = cache_->agentLock();
    cache_->removeLeftovers();

    std::string whyNot;
    const std::string staging = cache_->makeStagingDirectory(whyNot);
    if (staging.empty()) {
        report_error_main(whyNot, true);
        installFailed();
        return;
    }
    // The disk writes what unzip has written while unzip goes on, so that
    // making the new agent durable before its stamp costs little at the end.
    const UnzipOutcome outcome = unpackInstallAgentArchive(installAgentLocation_, staging, "unzip",
                                                           [this, &staging] { cache_->startWritingOut(staging); });
    if (outcome == UnzipOutcome::Interrupted) {
        // A termination signal during the unpacking: the run ends as if cancelled.
        removeItemAtPath(staging);
        releaseCache();
        removeItemAtPath(installAgentLocation_);
        if (window != nullptr)
            window->close();
        else
            windowWillClose();
        return;
    }
    bool replaced = false;
    if (outcome == UnzipOutcome::Unpacked) {
        // The stamp goes on only once the agent it vouches for is complete and in place.
        replaced = cache_->replaceAgent(staging, validationString_, whyNot);
        if (!replaced)
            report_error_main(whyNot, true);
    } else {
        report_error_main("Failed to unzip the install agent", true);
    }
    if (!replaced) {
        removeItemAtPath(staging);
        installFailed();
        return;
    }
    // Shared again in one step: nobody can change the new agent before it runs.
    lock.tryLock(FileLock::Mode::Shared);
    cache_->updateLock().unlock();
    handOffAfterTheDownload();
}

void Download::installFailed()
{
    // The agent that was there before, and its stamp, stay as they were.
    releaseCache();
    removeItemAtPath(installAgentLocation_);
    failure(unzipErrorText, TextColor::Red);
    endRunIfNobodyCanClose();
}

void Download::handOffAfterTheDownload()
{
    removeItemAtPath(installAgentLocation_); // unpacked: the archive has done its work
    loop_.callLater(handOffCloseDelaySeconds, [this] { waitForInstallAgentToStart(); });
    fireInstallAgent();
    loop_.stop(1);
}

void Download::fireInstallAgent()
{
    installAgentLocation_ = installAgentDirOnDisk();
    handedOff_ = true;
}
