#include "download/download_signature.h"

#include "download/status_texts.h"
#include "platform/file_manager.h"
#include "platform/http_response_head.h"
#include "provisioning/trust_policy.h"

#include <fstream>
#include <utility>

namespace {

const char* const signatureSuffix = ".minisig";

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

// The plain words for a reason of the signature's own checks.
std::string explanationOf(const std::string& reason)
{
    if (reason.starts_with("no signature"))
        return signatureMissingExplanation;
    if (reason.starts_with("malformed signature"))
        return signatureMalformedExplanation;
    if (reason.starts_with("signature made with another key"))
        return otherKeyExplanation;
    return badSignatureExplanation;
}

} // namespace

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

DownloadSignature::DownloadSignature(EventLoop& loop, UrlDownloadStarter startDownload,
                                     std::vector<MinisignPublicKey> keys)
    : loop_(loop), startDownload_(std::move(startDownload)), keys_(std::move(keys))
{
}

DownloadSignature::~DownloadSignature()
{
    cancel();
}

bool DownloadSignature::vouchedForByOurKey(const std::optional<AgentVouching>& vouching) const
{
    if (!vouching)
        return false;
    for (const MinisignPublicKey& key : keys_)
        if (keyIdText(key.keyId) == vouching->keyId)
            return true;
    return false;
}

void DownloadSignature::archiveStarts(const std::string& archiveUrl, const std::string& archivePath,
                                      const std::string& signaturePath, const std::optional<std::string>& validator,
                                      FetchDone onFetched)
{
    restartHash(archivePath);
    // The same archive as before: its signature is there, or on its way.
    if (started_ && validator && validator_ && etagsMatchStrongly(*validator, *validator_))
        return;
    cancel();
    started_ = true;
    validator_ = validator;
    url_ = signatureUrl(archiveUrl);
    path_ = signaturePath;
    received_ = 0;
    signature_.reset();
    signerSize_.reset();
    onFetched_ = std::move(onFetched);
    fetch();
}

void DownloadSignature::fetch()
{
    std::string whyNot;
    download_ = startDownload_(loop_, url_, *this, UrlDownloadOptions{}, whyNot);
    if (!download_) {
        // Told on the next turn: the caller is still in the middle of its own work.
        pendingFailure_ = loop_.callLater(0.0, [this, whyNot] {
            pendingFailure_.reset();
            fail("no signature: " + whyNot, signatureMissingExplanation);
        });
        return;
    }
    download_->setDeletesFileUponFailure(true);
    download_->setDestination(path_, true);
}

void DownloadSignature::downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response)
{
    retryOver();
    if (response.statusCode >= 300) {
        download.cancel();
        fail("no signature: HTTP status " + std::to_string(response.statusCode), signatureMissingExplanation);
        return;
    }
    if (response.expectedContentLength > static_cast<std::int64_t>(minisignSignatureMaxBytes)) {
        download.cancel();
        fail("malformed signature: it is too large", signatureMalformedExplanation);
    }
}

void DownloadSignature::downloadDidReceiveAuthenticationChallenge(UrlDownload& download)
{
    download.cancel();
    fail("no signature: authentication required", signatureMissingExplanation);
}

void DownloadSignature::downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length)
{
    retryOver();
    received_ += length;
    if (received_ > minisignSignatureMaxBytes) {
        download.cancel();
        fail("malformed signature: it is too large", signatureMalformedExplanation);
    }
}

void DownloadSignature::downloadDidFinish(UrlDownload&)
{
    retryOver();
    std::string text;
    std::string whyNot;
    const bool read = readSmallFile(path_, minisignSignatureMaxBytes, text);
    removeItemAtPath(path_);
    if (!read) {
        fail("no signature: cannot read " + path_, signatureMissingExplanation);
        return;
    }
    std::optional<MinisignSignature> signature = parseMinisignSignature(text, whyNot);
    if (!signature) {
        fail(whyNot, signatureMalformedExplanation);
        return;
    }
    if (const std::optional<SignatureProblem> problem = judgeTrustedComment(*signature)) {
        fail(problem->reason, problem->explanation);
        return;
    }
    signature_ = std::move(signature);
    auto onFetched = std::move(onFetched_);
    if (onFetched)
        onFetched(std::nullopt);
}

void DownloadSignature::downloadDidFail(UrlDownload&, const UrlDownloadError& error)
{
    retryOver();
    fail("no signature: " + error.localizedDescription,
         error.explanation.empty() ? std::string(signatureMissingExplanation) : error.explanation);
}

void DownloadSignature::downloadWillRetry(UrlDownload&, const UrlDownloadRetry& retry)
{
    retrying_ = true;
    if (retryNotice_)
        retryNotice_(&retry);
}

void DownloadSignature::retryOver()
{
    if (!std::exchange(retrying_, false))
        return;
    if (retryNotice_)
        retryNotice_(nullptr);
}

const MinisignPublicKey* DownloadSignature::signersKey(const MinisignSignature& signature,
                                                       SignatureProblem& problem) const
{
    std::string ours;
    for (const MinisignPublicKey& key : keys_) {
        if (key.keyId == signature.keyId)
            return &key;
        ours += (ours.empty() ? "" : " or ") + keyIdText(key.keyId);
    }
    problem.reason =
        "signature made with another key (key id " + keyIdText(signature.keyId) + ", expected " + ours + ")";
    problem.explanation = otherKeyExplanation;
    return nullptr;
}

std::optional<SignatureProblem> DownloadSignature::judgeTrustedComment(const MinisignSignature& signature)
{
    SignatureProblem problem{{}, url_, {}};
    const MinisignPublicKey* key = signersKey(signature, problem);
    if (key == nullptr)
        return problem;
    // A comment that is not the signer's states nothing yet: verify() tells
    // what is wrong once the archive is there.
    std::string whyNot;
    if (!trustedCommentIsGenuine(*key, signature, whyNot))
        return std::nullopt;
    const std::optional<TrustedCommentFields> fields = parseTrustedComment(signature.trustedComment, whyNot);
    const auto newest = newestSigningTimes_.find(keyIdText(key->keyId));
    const std::optional<TrustRefusal> refusal =
        !fields ? malformedCommentRefusal(whyNot)
                : trustRefusalOf(*fields, newest == newestSigningTimes_.end() ? std::nullopt
                                                                              : std::optional(newest->second));
    if (refusal)
        return SignatureProblem{refusal->reason, url_, refusal->explanation};
    signerSize_ = fields->size;
    return std::nullopt;
}

void DownloadSignature::fail(const std::string& reason, const std::string& explanation)
{
    auto onFetched = std::move(onFetched_);
    removeItemAtPath(path_);
    if (onFetched)
        onFetched(SignatureProblem{reason, url_, explanation});
}

void DownloadSignature::restartHash(const std::string& archivePath)
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

void DownloadSignature::verify(std::function<void(const std::optional<SignatureProblem>&)> done)
{
    SignatureProblem problem{"no signature", url_, signatureMissingExplanation};
    const MinisignPublicKey* key = signature_ ? signersKey(*signature_, problem) : nullptr;
    if (key == nullptr) {
        done(problem);
        return;
    }
    const auto verdict = [this, done](bool good, const std::string& whyNot) {
        if (good)
            done(std::nullopt);
        else
            done(SignatureProblem{whyNot, url_, explanationOf(whyNot)});
    };
    if (!follower_ || !signature_->prehashed) {
        // A legacy signature is over the whole file, which is read now.
        follower_.reset();
        pendingVerdict_ = loop_.callLater(0.0, [this, key, verdict] {
            pendingVerdict_.reset();
            std::string whyNot;
            const bool good = check_.verify(*key, *signature_, archivePath_, whyNot);
            verdict(good, whyNot);
        });
        return;
    }
    follower_->finish(archiveBytes_, [this, key, verdict](std::optional<ArchiveHashFollower::Digest> hash,
                                                          const std::string& whyNot) {
        follower_.reset();
        std::string why = whyNot;
        verdict(hash && check_.verifyHash(*key, *signature_, *hash, why), why);
    });
}

AgentVouching DownloadSignature::vouching() const
{
    return AgentVouching{signature_ ? keyIdText(signature_->keyId) : std::string(), check_.trustedComment()};
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
