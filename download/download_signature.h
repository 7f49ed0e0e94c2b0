#pragma once

#include "download/archive_hash_follower.h"
#include "download/url_download_starter.h"
#include "provisioning/agent_signature.h"
#include "provisioning/agent_vouching.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Why a downloaded agent is not taken on its signature: the reason for the
// log, the URL it concerns, and the same in plain words for a person.
struct SignatureProblem {
    std::string reason;
    std::string url;
    std::string explanation;
};

// The signature that a bundle shipping public keys requires of every
// downloaded agent: minisign's detached signature, fetched from the
// archive's URL with ".minisig" after its path, by one of the bundle's keys,
// checked against the archive's bytes as they arrive, before anything is
// unpacked. Its trusted comment is held to as soon as it is known to be the
// signer's (provisioning/trust_policy.h): another release or platform, or a
// signing time before the newest the cache has taken under that key, is
// refused without waiting for the archive, and a size it states limits the
// archive's body.
class DownloadSignature : public UrlDownloadDelegate {
public:
    using FetchDone = std::function<void(const std::optional<SignatureProblem>& problem)>;
    // Told with the retry when the signature's download waits to try again,
    // and with null at its next event, when the wait is over.
    using RetryNotice = std::function<void(const UrlDownloadRetry* retry)>;

    // The signature's URL: ".minisig" appended to the URL's path, its query kept.
    static std::string signatureUrl(const std::string& archiveUrl);

    // keys: the bundle's, at least one.
    DownloadSignature(EventLoop& loop, UrlDownloadStarter startDownload, std::vector<MinisignPublicKey> keys);
    ~DownloadSignature() override;
    DownloadSignature(const DownloadSignature&) = delete;
    DownloadSignature& operator=(const DownloadSignature&) = delete;

    // Whether the record names one of the bundle's keys.
    bool vouchedForByOurKey(const std::optional<AgentVouching>& vouching) const;
    // The newest signing time the cache has taken under each key.
    void setNewestSigningTimes(NewestSigningTimes times) { newestSigningTimes_ = std::move(times); }
    void setRetryNotice(RetryNotice notice) { retryNotice_ = std::move(notice); }

    // The archive's body starts (again) from zero into archivePath, with the
    // validator (its ETag; none without one): the hash starts afresh, and the
    // signature of that archive is fetched into signaturePath. It is fetched
    // once for a validator: again when a body with another one (or none)
    // starts, dropping the one fetched or on its way. onFetched(none) once it
    // has arrived, parses and its trusted comment allows the agent, or
    // onFetched(problem) when it cannot be had or is refused.
    void archiveStarts(const std::string& archiveUrl, const std::string& archivePath,
                       const std::string& signaturePath, const std::optional<std::string>& validator,
                       FetchDone onFetched);
    bool fetched() const { return signature_.has_value(); }
    // The archive's length that the fetched signature's comment states, if it does.
    std::optional<std::uint64_t> signerSize() const { return signerSize_; }

    // The archive's bytes, in order, once they are in its file.
    void archiveBytes(const char* data, std::size_t size);

    // With the signature fetched and the archive complete: whether the
    // signature is good for the archive, told to done from the event loop
    // once the hash is ready (never after cancel()): none when it is.
    void verify(std::function<void(const std::optional<SignatureProblem>& problem)> done);
    // After a good verify(): what the signer said of it, and who vouched.
    const std::string& trustedComment() const { return check_.trustedComment(); }
    AgentVouching vouching() const;

    // Abandons the signature's download and removes its file.
    void cancel();

    // The signature's download.
    void downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response) override;
    void downloadDidReceiveAuthenticationChallenge(UrlDownload& download) override;
    void downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length) override;
    void downloadDidFinish(UrlDownload& download) override;
    void downloadDidFail(UrlDownload& download, const UrlDownloadError& error) override;
    void downloadWillRetry(UrlDownload& download, const UrlDownloadRetry& retry) override;

private:
    void fetch();
    void restartHash(const std::string& archivePath);
    // The key the signature names; none with the problem when it names none of ours.
    const MinisignPublicKey* signersKey(const MinisignSignature& signature, SignatureProblem& problem) const;
    // The fetched signature's trusted comment, held to the policy once it is
    // known to be genuine; the problem when it is refused.
    std::optional<SignatureProblem> judgeTrustedComment(const MinisignSignature& signature);
    void fail(const std::string& reason, const std::string& explanation);
    void retryOver();

    EventLoop& loop_;
    UrlDownloadStarter startDownload_;
    const std::vector<MinisignPublicKey> keys_;
    NewestSigningTimes newestSigningTimes_;
    RetryNotice retryNotice_;
    bool retrying_ = false;

    AgentSignatureCheck check_;
    // The archive's hash is made by a child process beside the transfer;
    // where none can be started, in line from the bytes as they arrive.
    std::unique_ptr<ArchiveHashFollower> follower_;
    bool hashInLine_ = false;
    std::string archivePath_;
    std::uint64_t archiveBytes_ = 0;
    std::optional<EventLoop::CallId> pendingVerdict_;

    // The signature's download, for the archive with this validator.
    bool started_ = false;
    std::optional<std::string> validator_;
    std::unique_ptr<UrlDownload> download_;
    std::string url_;
    std::string path_;
    std::uint64_t received_ = 0;
    std::optional<MinisignSignature> signature_;
    std::optional<std::uint64_t> signerSize_;
    FetchDone onFetched_;
    std::optional<EventLoop::CallId> pendingFailure_;
};
