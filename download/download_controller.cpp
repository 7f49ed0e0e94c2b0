#include "download/download_controller.h"

#include "download/download_run.h"
#include "download/status_texts.h"
#include "launcher/error_reporter.h"
#include "platform/file_manager.h"
#include "platform/http_response_head.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "platform/system_log.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/cache_paths.h"

namespace {

const double splashSize = 400.0;
const double handOffCloseDelaySeconds = 3.0;

} // namespace

Download::Download(EventLoop& loop, UrlDownloadStarter startDownload, CacheSession& cache)
    : loop_(loop), startDownload_(std::move(startDownload)), cache_(cache),
      display_(progress, downloadPercent, cancel, progressView), installAgentLocation_(downloadTo)
{
    // The controls are connected only after this constructor: their first
    // settings (bar at 0, threaded, single-line status, Return for cancel) are
    // made by the interface that connects them.
    cache_.setWaitNotice([this](bool waiting) { display_.waitingForTheCache(waiting); });
}

Download::~Download()
{
    // No wait for the cache outlives the loop; a hand-off's hold stays with the session.
    cache_.letGo();
    cache_.setWaitNotice({});
}

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

    cache_.holdForReading(loop_, [this](bool held, const std::string& whyNot) {
        if (!held) {
            cacheUnusable(whyNot);
            return;
        }
        // The server may answer "not modified" for the agent the cache holds.
        cachedStamp_ = cache_.stamp();
        downloadFromURL(downloadFrom);
    });
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
    display_.connecting(url);
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
    cache_.letGo(); // a wait for the cache ends too
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
    if (response.statusCode == 304 || response.statusCode >= 400) {
        answeredWithoutTheArchive(first, response);
        return;
    }

    validationString_.reset();
    if (response.hasHeaderField("ETag"))
        validationString_ = response.headerField("ETag");
    display_.setTotalBytes(response.expectedContentLength);

    // The cache is held since before the request, for the agent the request
    // was made for. A later response (the body started again from zero) comes
    // after the hold has gone: it only starts the progress again.
    if (first && cache_.holdsAgentStamped(validationString_)) {
        handOffToTheCachedAgent();
        return;
    }
    // Another version comes. The cached agent stays, usable by other runs,
    // until the new one is complete and can take its place.
    cache_.letGo();
    if (signature_)
        fetchTheSignature();
    display_.bodyStarts(!first);
}

void Download::answeredWithoutTheArchive(bool firstResponse, const UrlResponse& response)
{
    if (response.statusCode == 304) {
        // "Not modified" answers the If-None-Match with the cached agent's
        // stamp: that agent is current. Without one there is nothing to run.
        const std::string etag = response.headerField("ETag");
        if (firstResponse && cachedStamp_ && (etag.empty() || etagsMatchWeakly(etag, *cachedStamp_))) {
            handOffToTheCachedAgent();
            return;
        }
    }
    // An error page is not the archive: fail before anything in the cache is touched.
    if (theDownload_)
        theDownload_->cancel();
    downloadFailed(response.statusCode == 304 ? "HTTP status 304 without a cached install agent it could stand for"
                                              : "HTTP status " + std::to_string(response.statusCode),
                   response.url);
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
    display_.received(length);
}

void Download::failure(const std::string& message, TextColor color)
{
    display_.failed(message, color);
}

void Download::downloadDidFail(UrlDownload&, const UrlDownloadError& error)
{
    endRetryWait();
    downloadFailed(error.localizedDescription, error.failingURL, error.explanation);
}

void Download::downloadWillRetry(UrlDownload&, const UrlDownloadRetry& retry)
{
    display_.retrying(retry);
}

void Download::endRetryWait()
{
    display_.retryOver();
}

void Download::downloadFailed(const std::string& description, const std::string& failingURL,
                              const std::string& explanation)
{
    cache_.letGo();
    // Neither half of a download stays: not the archive, not its signature.
    if (signature_)
        signature_->cancel();
    if (!handedOff_)
        removeItemAtPath(installAgentLocation_);
    systemLog("Download failed! Error - " + description + " " + failingURL);
    display_.failed(downloadErrorText, TextColor::Red, description, explanation);
    endRunIfNobodyCanClose();
}

void Download::cacheUnusable(const std::string& whyNot)
{
    systemLog(whyNot);
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
    display_.initializing();
    if (window != nullptr)
        window->displayIfNeeded();

    archiveComplete_ = true;
    if (!signature_)
        storeTheDownload();
    else if (signature_->fetched())
        checkSignatureThenStore();
    // else: the signature is still on its way; signatureFetched goes on.
}

void Download::fetchTheSignature()
{
    signature_->restart(installAgentLocation_);
    signature_->fetch(downloadFrom, downloadTo + ".minisig",
                      [this](bool fetched, const std::string& whyNot, const std::string& url) {
                          signatureFetched(fetched, whyNot, url);
                      });
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
    using Outcome = CacheSession::StoreOutcome;
    cache_.store(loop_, installAgentLocation_, validationString_, [this](Outcome outcome, const std::string& whyNot) {
        switch (outcome) {
        case Outcome::Stored:
            handOffAfterTheDownload();
            return;
        case Outcome::Failed:
            // The agent that was there before, and its stamp, stay as they were.
            report_error_main(whyNot, true);
            removeItemAtPath(installAgentLocation_);
            failure(unzipErrorText, TextColor::Red);
            endRunIfNobodyCanClose();
            return;
        case Outcome::Interrupted:
            // A termination signal during the unpacking: the run ends as if cancelled.
            removeItemAtPath(installAgentLocation_);
            if (window != nullptr)
                window->close();
            else
                windowWillClose();
            return;
        case Outcome::Unusable:
            cacheUnusable(whyNot);
            return;
        }
    });
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
    cache_.keepForHandOff(); // nobody may change the agent until it has ended
    display_.handedOff();
}
