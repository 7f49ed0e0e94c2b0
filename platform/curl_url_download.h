#pragma once

// A URL download on libcurl, in attempts (see curl_url_download.cpp). Only
// startUrlDownload (url_download.h) makes one; the class is declared here so
// that its parts can be read apart from its workings.

#include "platform/body_limit.h"
#include "platform/body_resumption.h"
#include "platform/body_start_gate.h"
#include "platform/curl_transfer.h"
#include "platform/download_file.h"
#include "platform/transfer_failure.h"
#include "platform/url_download.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

class CurlUrlDownload final : public UrlDownload, private CurlTransferClient {
public:
    CurlUrlDownload(EventLoop& loop, std::string url, UrlDownloadDelegate& delegate, const UrlDownloadOptions& options)
        : loop_(loop), url_(std::move(url)), delegate_(delegate), options_(options),
          bodyStart_(options.bodyStartCheck), bodyLimit_(loop, options.bodyLimit),
          attempts_(1 + std::clamp(options.retries, 0, 1000))
    {
    }

    ~CurlUrlDownload() override
    {
        cancel();
        *alive_ = false;
    }

    CurlUrlDownload(const CurlUrlDownload&) = delete;
    CurlUrlDownload& operator=(const CurlUrlDownload&) = delete;

    bool start() { return startAttempt(); }

    void setDestination(const std::string& path, bool allowOverwrite) override { file_.setPath(path, allowOverwrite); }
    void setDeletesFileUponFailure(bool deletes) override { file_.setRemovedUponFailure(deletes); }
    void limitBody(const BodyLimit& limit) override
    {
        bodyLimit_.change(limit, [this] {
            if (state_ == State::Running && body_.delivered)
                bodyFits(); // a lower limit than the body already has fails it
        });
    }

    void cancel() override
    {
        if (state_ != State::Running)
            return;
        state_ = State::Cancelled;
        releaseTransfer(); // also the wait for the next attempt
        file_.discard();
    }

private:
    enum class State { Running, Finished, Failed, Challenged, Cancelled };

    bool transferReceivedBody(const char* data, std::size_t size, std::string& whyNot) override;
    void transferMayHaveNews() override { dispatch(); }
    bool writeBody(const char* data, std::size_t size, std::string& whyNot);
    bool passBodyStart(std::string& whyNot);

    bool startAttempt();
    // The next attempt, after delay seconds on the loop timer.
    void startAnotherAttemptIn(double delay);

    void dispatch();
    bool settleResponse();
    bool deliverResponse(const UrlResponse& response);
    bool reportNewBytes();
    void endAttempt();
    void finishAttempt();
    void failAttempt(const TransferFailure& failure);
    void retryLater(const TransferFailure& failure, std::optional<double> serverDelay);
    void fetchAgainWithoutRange();
    void challenge(bool byProxy);
    // Whether the body fits the limit; otherwise the download fails.
    bool bodyFits();
    void deliverFailure(const std::string& description) { deliverFailure(UrlDownloadError{description, url_}); }
    void deliverFailure(UrlDownloadError error);
    void releaseTransfer();
    // Whether the download goes on after a delegate call, which may have
    // destroyed it: self is looked at only while alive.
    static bool goesOn(const std::shared_ptr<bool>& alive, const CurlUrlDownload* self)
    {
        return *alive && self->state_ == State::Running;
    }

    EventLoop& loop_;
    const std::string url_;
    UrlDownloadDelegate& delegate_;
    const UrlDownloadOptions options_;
    // Set to false when the object dies; whoever calls the delegate holds a
    // copy to notice that the call destroyed it.
    const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    State state_ = State::Running;
    DownloadFile file_;
    BodyInFile body_;
    BodyStartGate bodyStart_;
    DownloadBodyLimit bodyLimit_;

    // The attempts.
    const int attempts_;                  // at most this many in all
    int attempt_ = 1;                     // the current one, from 1
    std::optional<EventLoop::CallId> nextAttemptCall_;
    std::uint64_t resumeFrom_ = 0;        // this attempt asks for the body from here on (0: all of it)
    bool rangesRefused_ = false;          // the server could not resume once: it is not asked again

    // The current attempt.
    std::unique_ptr<CurlTransfer> transfer_;
    bool responseSettled_ = false;        // its answer has been looked at
    std::uint64_t unreportedBytes_ = 0;
};
