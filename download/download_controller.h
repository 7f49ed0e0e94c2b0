#pragma once

#include "download/download_signature.h"
#include "download/download_display.h"
#include "download/url_download_starter.h"
#include "platform/event_loop.h"
#include "platform/url_download.h"
#include "provisioning/cache_session.h"
#include "ui/widgets.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>


// The controller of the download window: starts the download of the install
// agent's archive, checks the cached agent against the server's ETag, shows
// progress and failures, and after a finished download unpacks the archive
// into the cache. It ends the window's loop with a non-zero result when it
// hands off to the cached agent (which the launcher then runs), with zero when
// the window closes without a hand-off. Other runs may share the cache: the
// session (CacheSession) holds and lets go of it, and stores the download;
// where it has to wait for another run, the status line says so, and the
// window can still be closed.
// No agent's archive may be longer: the build's limit (LAUNCHER_MAX_AGENT_BYTES).
BodyLimit agentBodyLimit();

class Download : public UrlDownloadDelegate, public WindowDelegate {
public:
    // Reads the download destination from downloadTo. The outlets are not
    // connected yet when this runs. The cache session outlives the controller.
    Download(EventLoop& loop, UrlDownloadStarter startDownload, CacheSession& cache);
    ~Download() override;
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    // Outlets, connected by the interface that creates the controller.
    ProgressIndicator* progress = nullptr;
    ImageView* image = nullptr;
    StatusLine* downloadPercent = nullptr;
    Window* window = nullptr;
    Button* cancel = nullptr;
    // Told the download's progress in numbers, before the status text that goes with it.
    DownloadProgressView* progressView = nullptr;

    // Shows the splash picture and starts the download from downloadFrom.
    void applicationDidFinishLaunching();
    void downloadFromURL(const std::string& url);

    void windowWillClose() override;

    void downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response) override;
    void downloadDidReceiveAuthenticationChallenge(UrlDownload& download) override;
    void downloadDidReceiveProxyAuthenticationChallenge(UrlDownload& download, const std::string& proxyHost) override;
    void downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length) override;
    void downloadDidFinish(UrlDownload& download) override;
    void downloadDidFail(UrlDownload& download, const UrlDownloadError& error) override;
    void downloadWillRetry(UrlDownload& download, const UrlDownloadRetry& retry) override;

    // Stops the bar full and shows the message in the colour.
    void failure(const std::string& message, TextColor color);
    // Closes the window some time after a hand-off, should the loop still run.
    void waitForInstallAgentToStart();
    // Hands off to the agent in the cache: it is the launcher that starts it,
    // once the loop has ended.
    void fireInstallAgent();

    std::int64_t fileLength() const { return display_.progress().totalBytes; }
    std::int64_t bytesReceived() const { return display_.progress().bytesReceived; }
    const std::string& installAgentLocation() const { return installAgentLocation_; }
    const std::optional<std::string>& validationString() const { return validationString_; }
    bool handedOff() const { return handedOff_; }
    UrlDownload* theDownload() const { return theDownload_.get(); }
    const DownloadProgress& downloadProgress() const { return display_.progress(); }

private:
    // A download that failed: logged with its reason, shown in red (with the
    // explanation, in plain words, where there is one), and the run ended
    // where nobody is there to close the window.
    void downloadFailed(const std::string& description, const std::string& failingURL,
                        const std::string& explanation = {});
    // The cache cannot be held: logged with its reason, shown as a download error.
    void cacheUnusable(const std::string& whyNot);
    void endRunIfNobodyCanClose();

    // A 304 (the cached agent is current, or the answer stands for nothing)
    // or an error status: no archive comes.
    void answeredWithoutTheArchive(bool firstResponse, const UrlResponse& response);
    void handOffToTheCachedAgent();
    // A retry's wait is over: the status line says again what it said before.
    void endRetryWait();
    // With the hold for reading: whether one of the bundle's keys vouched for the cached agent.
    void readWhoVouchedForTheCachedAgent();
    // Fetches the archive's signature, from the start, beside the archive.
    void fetchTheSignature();
    void signatureFetched(const std::optional<SignatureProblem>& problem);
    // The signature's retries show as the archive's do, once the archive is complete.
    void signatureRetryNotice(const UrlDownloadRetry* retry);
    // The body may be as long as the signature says, or the build's limit without one.
    void limitTheBody();
    void checkSignatureThenStore();
    // Has the session store the finished download, then hands off or fails.
    void storeTheDownload();
    void handOffAfterTheDownload();

    EventLoop& loop_;
    UrlDownloadStarter startDownload_;
    CacheSession& cache_;
    // The bar, the status line and the progress in numbers.
    DownloadDisplay display_;
    std::unique_ptr<UrlDownload> theDownload_;
    std::string installAgentLocation_;
    std::optional<std::string> validationString_;
    bool handedOff_ = false;
    bool windowClosed_ = false;

    // The stamp of the complete agent in the cache when the request was made.
    std::optional<std::string> cachedStamp_;
    // Whether that agent may run: always without keys, with them only when one vouched for it.
    bool cachedAgentUsable_ = true;
    int responses_ = 0;
    bool archiveComplete_ = false;
    // Required when the bundle ships a public key.
    std::unique_ptr<DownloadSignature> signature_;
};
