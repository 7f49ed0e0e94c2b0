#pragma once

#include "download/archive_hash_follower.h"
#include "download/url_download_starter.h"
#include "provisioning/agent_signature.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The signature that a bundle shipping a public key requires of every
// downloaded agent: minisign's detached signature, fetched from the
// archive's URL with ".minisig" after its path, and checked against the
// archive's bytes as they arrive, before anything is unpacked.
class DownloadSignature : public UrlDownloadDelegate {
public:
    // The public key among the bundle's resources, "InstallAgent.pub"; none
    // when the bundle has none (then nothing is signed). whyNot is set when
    // there is a file that is no usable key.
    static std::optional<MinisignPublicKey> bundlePublicKey(std::string& whyNot);

    // The signature's URL: ".minisig" appended to the URL's path, its query kept.
    static std::string signatureUrl(const std::string& archiveUrl);

    DownloadSignature(EventLoop& loop, UrlDownloadStarter startDownload, MinisignPublicKey key);
    ~DownloadSignature() override;
    DownloadSignature(const DownloadSignature&) = delete;
    DownloadSignature& operator=(const DownloadSignature&) = delete;

    // The archive's bytes, in order, once they are in its file at
    // archivePath; restart() when they start again from zero.
    void archiveBytes(const char* data, std::size_t size);
    void restart(const std::string& archivePath);

    // Starts fetching the signature into signaturePath (once; later calls do
    // nothing). onFetched(true) once it has arrived and parses, or
    // onFetched(false, reason, url) when it cannot be had.
    void fetch(const std::string& archiveUrl, const std::string& signaturePath,
               std::function<void(bool fetched, const std::string& whyNot, const std::string& url)> onFetched);
    bool fetched() const { return signature_.has_value(); }

    // With the signature fetched and the archive complete: whether the
    // signature is good for the archive, told to done from the event loop
    // once the hash is ready (never after cancel()). The trusted comment then
    // tells what the signer said of it.
    void verify(std::function<void(bool good, const std::string& whyNot)> done);
    const std::string& trustedComment() const { return check_.trustedComment(); }

    // Abandons the signature's download and removes its file.
    void cancel();

    // The signature's download.
    void downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response) override;
    void downloadDidReceiveAuthenticationChallenge(UrlDownload& download) override;
    void downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length) override;
    void downloadDidFinish(UrlDownload& download) override;
    void downloadDidFail(UrlDownload& download, const UrlDownloadError& error) override;

private:
    void fail(const std::string& whyNot);

    EventLoop& loop_;
    UrlDownloadStarter startDownload_;
    MinisignPublicKey key_;
    AgentSignatureCheck check_;
    // The archive's hash is made by a child process beside the transfer;
    // where none can be started, in line from the bytes as they arrive.
    std::unique_ptr<ArchiveHashFollower> follower_;
    bool hashInLine_ = false;
    std::string archivePath_;
    std::uint64_t archiveBytes_ = 0;
    std::optional<EventLoop::CallId> pendingVerdict_;
    std::unique_ptr<UrlDownload> download_;
    std::string url_;
    std::string path_;
    std::uint64_t received_ = 0;
    std::optional<MinisignSignature> signature_;
    std::function<void(bool, const std::string&, const std::string&)> onFetched_;
    std::optional<EventLoop::CallId> pendingFailure_;
};
