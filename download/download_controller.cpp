#include "download/download_controller.h"

#include "download/download_run.h"
#include "download/status_texts.h"
#include "launcher/error_reporter.h"
#include "platform/file_manager.h"
#include "platform/http_response_head.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "platform/system_log.h"
#include "provisioning/agent_archive_start.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/cache_paths.h"
#include "provisioning/public_key_file.h"
#include "ui/picture_size.h"

namespace {

const double splashSize = 400.0;
const double handOffCloseDelaySeconds = 3.0;

// A picture whose header announces more pixels than the launcher decodes is
// not shown: decoding it could take gigabytes. The log says why.
bool splashPictureWithinLimit(const std::string& path)
{
    const std::optional<PictureSize> size = pictureSizeFromHeader(path);
    if (!size || size->pixels() <= splashPictureMaxPixels)
        return true;
    systemLog("The splash picture " + path + " is " + std::to_string(size->width) + " x " +
              std::to_string(size->height) + " pixels, more than the " + std::to_string(splashPictureMaxPixels) +
              " the launcher shows; it shows none");
    return false;
}

} // namespace

Download::Download(EventLoop& loop, UrlDownloadStarter startDownload, CacheSession& cache)
    : loop_(loop), startDownload_(std::move(startDownload)), cache_(cache),
      display_(loop, progress, downloadPercent, cancel, progressView), installAgentLocation_(downloadTo)
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
        if (image != nullptr && fileExistsAtPath(splashPath) && splashPictureWithinLimit(splashPath)) {
            image->showImageFromFile(splashPath, static_cast<int>(splashSize), static_cast<int>(splashSize));
            if (window != nullptr)
                window->displayIfNeeded();
        }
    }

    // A bundle that ships public keys takes only agents signed by one of them.
    std::string keyProblem;
    const auto keys = readBundlePublicKeys(keyProblem);
    if (!keys) {
        downloadFailed(keyProblem, downloadFrom);
        return;
    }
    if (!keys->empty()) {
        signature_ = std::make_unique<DownloadSignature>(loop_, startDownload_, *keys);
        signature_->setRetryNotice([this](const UrlDownloadRetry* retry) { signatureRetryNotice(retry); });
    }

    cache_.holdForReading(loop_, [this](bool held, const std::string& whyNot) {
        if (!held) {
            cacheUnusable(whyNot);
            return;
        }
        // The server may answer "not modified" for the agent the cache holds.
        cachedStamp_ = cache_.stamp();
        if (signature_)
            readWhoVouchedForTheCachedAgent();
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
    // A body that is no agent archive (a portal's page) fails as a download.
    options.bodyStartCheck = agentArchiveStartCheck();
    options.bodyLimit = agentBodyLimit();
    if (signature_)
        options.onBodyBytes = [signature = signature_.get()](const char* data, std::size_t size) {
            signature->archiveBytes(data, size);
        };
    std::string whyNot;
    theDownload_ = startDownload_(loop_, url, *this, std::move(options), whyNot);
    if (!theDownload_) {
        const std::string reason = whyNot.empty() ? "Cannot download from this URL" : whyNot;
        downloadFailed(reason, url, "The download address " + url + " cannot be used (" + reason + ")");
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
    cache_.letGo(); // a wait for the cache ends too, and so does an unpacking
    // A complete archive not yet in the cache has no more use.
    if (archiveComplete_ && !handedOff_)
        removeItemAtPath(installAgentLocation_);
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
    if (first && cachedAgentUsable_ && cache_.holdsAgentStamped(validationString_)) {
        handOffToTheCachedAgent();
        return;
    }
    // Another version comes. The cached agent stays, usable by other runs,
    // until the new one is complete and can take its place.
    cache_.letGo();
    // A cache that cannot take it (a read-only one) fails the run before the transfer.
    if (std::string whyNot; !cache_.canStore(whyNot)) {
        if (theDownload_)
            theDownload_->cancel();
        cacheUnusable(whyNot);
        return;
    }
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
                   response.url, httpStatusExplanation(response.statusCode, response.url));
}

void Download::downloadDidReceiveAuthenticationChallenge(UrlDownload&)
{
    // No credentials to offer: waiting would only hang the run.
    if (theDownload_)
        theDownload_->cancel();
    downloadFailed("Authentication required", downloadFrom,
                   "The server " + hostOf(downloadFrom) + " asks for a user name and password");
}

void Download::downloadDidReceiveProxyAuthenticationChallenge(UrlDownload&, const std::string& proxyHost)
{
    if (theDownload_)
        theDownload_->cancel();
    const std::string proxyWantsCredentials = "The proxy " + proxyHost + " requires authentication";
    downloadFailed(proxyWantsCredentials, downloadFrom, proxyWantsCredentials);
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
    display_.failed(downloadErrorText, TextColor::Red, whyNot, whyNot);
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
    if (signature_ && !signature_->fetched())
        display_.checkingTheSignature();
    else
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

void Download::storeTheDownload()
{
    using Outcome = CacheSession::StoreOutcome;
    std::optional<AgentVouching> vouching;
    if (signature_)
        vouching = signature_->vouching();
    const auto stored = [this](Outcome outcome, const std::string& whyNot) {
        switch (outcome) {
        case Outcome::Stored:
            handOffAfterTheDownload();
            return;
        case Outcome::Failed:
            // The agent that was there before, and its stamp, stay as they were.
            report_error_main(whyNot, true);
            removeItemAtPath(installAgentLocation_);
            display_.failed(unzipErrorText, TextColor::Red, whyNot, unpackingFailureExplanation(whyNot));
            endRunIfNobodyCanClose();
            return;
        case Outcome::Unusable:
            cacheUnusable(whyNot);
            return;
        case Outcome::Refused:
            downloadFailed(whyNot, downloadFrom, newerAgentTakenExplanation);
            return;
        }
    };
    cache_.store(loop_, installAgentLocation_, validationString_, vouching, stored);
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
