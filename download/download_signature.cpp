#include "download/download_signature.h"

#include "platform/file_manager.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "provisioning/bundle_contents.h"

#include <fstream>
#include <sstream>

namespace {

const char* const signatureSuffix = ".minisig";
// A key file is two short lines; anything much larger is not one.
constexpr std::size_t publicKeyMaxBytes = 16 * 1024;

// The file's bytes, up to limit + 1 of them (so that "too large" shows).
bool readSmallFile(const std::string& path, std::size_t limit, std::string& content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    content.assign(limit + 1, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    return !in.bad();
}

} // namespace

std::optional<MinisignPublicKey> DownloadSignature::bundlePublicKey(std::string& whyNot)
{
    const auto bundle = mainBundle();
    if (!bundle)
        return std::nullopt;
    const std::string path = appendPathComponent(bundle->resourcePath, installAgentPublicKeyName);
    if (!fileExistsAtPath(path))
        return std::nullopt;
    std::string text;
    if (!readSmallFile(path, publicKeyMaxBytes, text)) {
        whyNot = "cannot read the public key " + path;
        return std::nullopt;
    }
    std::optional<MinisignPublicKey> key = parseMinisignPublicKey(text, whyNot);
    if (!key)
        whyNot += " (" + path + ")";
    return key;
}

std::string DownloadSignature::signatureUrl(const std::string& archiveUrl)
{
    // The path ends where the query or the fragment begins; the fragment is
    // the client's own and never sent.
    const std::string withoutFragment = archiveUrl.substr(0, archiveUrl.find('#'));
    const auto query = withoutFragment.find('?');
    if (query == std::string::npos)
        return withoutFragment + signatureSuffix;
    return withoutFragment.substr(0, query) + signatureSuffix + withoutFragment.substr(query);
}

DownloadSignature::DownloadSignature(EventLoop& loop, UrlDownloadStarter startDownload, MinisignPublicKey key)
    : loop_(loop), startDownload_(std::move(startDownload)), key_(key)
{
}

DownloadSignature::~DownloadSignature()
{
    cancel();
}

void DownloadSignature::fetch(const std::string& archiveUrl, const std::string& signaturePath,
                              std::function<void(bool, const std::string&, const std::string&)> onFetched)
{
    if (download_ || signature_ || !url_.empty())
        return;
    url_ = signatureUrl(archiveUrl);
    path_ = signaturePath;
    onFetched_ = std::move(onFetched);
    std::string whyNot;
    download_ = startDownload_(loop_, url_, *this, UrlDownloadOptions{}, whyNot);
    if (!download_) {
        // Told on the next turn: the caller is still in the middle of its own work.
        pendingFailure_ = loop_.callLater(0.0, [this, whyNot] {
            pendingFailure_.reset();
            fail("no signature: " + whyNot);
        });
        return;
    }
    download_->setDeletesFileUponFailure(true);
    download_->setDestination(path_, true);
}

void DownloadSignature::downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response)
{
    if (response.statusCode >= 300) {
        download.cancel();
        fail("no signature: HTTP status " + std::to_string(response.statusCode));
        return;
    }
    if (response.expectedContentLength > static_cast<std::int64_t>(minisignSignatureMaxBytes)) {
        download.cancel();
        fail("malformed signature: it is too large");
    }
}

void DownloadSignature::downloadDidReceiveAuthenticationChallenge(UrlDownload& download)
{
    download.cancel();
    fail("no signature: authentication required");
}

void DownloadSignature::downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length)
{
    received_ += length;
    if (received_ > minisignSignatureMaxBytes) {
        download.cancel();
        fail("malformed signature: it is too large");
    }
}

void DownloadSignature::downloadDidFinish(UrlDownload&)
{
    std::string text;
    std::string whyNot;
    const bool read = readSmallFile(path_, minisignSignatureMaxBytes, text);
    removeItemAtPath(path_);
    if (!read) {
        fail("no signature: cannot read " + path_);
        return;
    }
    signature_ = parseMinisignSignature(text, whyNot);
    if (!signature_) {
        fail(whyNot);
        return;
    }
    auto onFetched = std::move(onFetched_);
    if (onFetched)
        onFetched(true, {}, url_);
}

void DownloadSignature::downloadDidFail(UrlDownload&, const UrlDownloadError& error)
{
    fail("no signature: " + error.localizedDescription);
}

void DownloadSignature::fail(const std::string& whyNot)
{
    auto onFetched = std::move(onFetched_);
    removeItemAtPath(path_);
    if (onFetched)
        onFetched(false, whyNot, url_);
}

void DownloadSignature::restart(const std::string& archivePath)
{
    follower_.reset();
    hashInLine_ = false;
    check_.restart();
    archivePath_ = archivePath;
    archiveBytes_ = 0;
}

void DownloadSignature::archiveBytes(const char* data, std::size_t size)
{
    if (archiveBytes_ == 0 && !follower_ && !hashInLine_) {
        std::string whyNot;
        follower_ = ArchiveHashFollower::start(loop_, archivePath_, whyNot);
        hashInLine_ = !follower_;
    }
    archiveBytes_ += size;
    if (follower_)
        follower_->grew(archiveBytes_);
    else
        check_.update(data, size);
}

void DownloadSignature::verify(std::function<void(bool, const std::string&)> done)
{
    if (!signature_) {
        done(false, "no signature");
        return;
    }
    if (!follower_ || !signature_->prehashed) {
        // A legacy signature is over the whole file, which is read now.
        follower_.reset();
        pendingVerdict_ = loop_.callLater(0.0, [this, done = std::move(done)] {
            pendingVerdict_.reset();
            std::string whyNot;
            const bool good = check_.verify(key_, *signature_, archivePath_, whyNot);
            done(good, whyNot);
        });
        return;
    }
    follower_->finish(archiveBytes_, [this, done = std::move(done)](std::optional<ArchiveHashFollower::Digest> hash,
                                                                      const std::string& whyNot) {
        follower_.reset();
        if (!hash) {
            done(false, whyNot);
            return;
        }
        std::string why;
        const bool good = check_.verifyHash(key_, *signature_, *hash, why);
        done(good, why);
    });
}

void DownloadSignature::cancel()
{
    onFetched_ = nullptr;
    follower_.reset();
    if (pendingVerdict_)
        loop_.cancelCall(*pendingVerdict_);
    pendingVerdict_.reset();
    if (pendingFailure_)
        loop_.cancelCall(*pendingFailure_);
    pendingFailure_.reset();
    if (download_)
        download_->cancel();
    if (!path_.empty())
        removeItemAtPath(path_);
}
