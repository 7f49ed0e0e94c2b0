// The controller's side of signed downloads: who vouched for the cached
// agent, the signature that follows the archive's body, the size it states,
// and the verdict before anything is stored.

#include "download/download_controller.h"

#include "download/download_run.h"
#include "download/status_texts.h"
#include "platform/system_log.h"
#include "provisioning/constants.h"

BodyLimit agentBodyLimit()
{
    return BodyLimit{maxInstallAgentBytes, "this launcher's limit", agentTooLargeExplanation};
}

void Download::readWhoVouchedForTheCachedAgent()
{
    // Under the same hold as the stamp. An agent none of the bundle's keys
    // vouched for (an unsigned bundle stored it, or another key) is not
    // asked about, and not run: the archive comes again, and is checked.
    signature_->setNewestSigningTimes(cache_.newestSigningTimes());
    cachedAgentUsable_ = signature_->vouchedForByOurKey(cache_.vouching());
    if (!cachedAgentUsable_)
        cachedStamp_.reset();
}

void Download::limitTheBody()
{
    if (!theDownload_ || archiveComplete_)
        return;
    const std::optional<std::uint64_t> signerSize = signature_ ? signature_->signerSize() : std::nullopt;
    theDownload_->limitBody(signerSize ? BodyLimit{*signerSize, "the size its signature gives", signerSizeExplanation}
                                       : agentBodyLimit());
}

void Download::fetchTheSignature()
{
    // A body that starts again from zero may be another archive: its own
    // signature then comes with it, and the size it states holds.
    signature_->archiveStarts(downloadFrom, installAgentLocation_, downloadTo + ".minisig", validationString_,
                              [this](const std::optional<SignatureProblem>& problem) { signatureFetched(problem); });
    limitTheBody();
}

void Download::signatureFetched(const std::optional<SignatureProblem>& problem)
{
    if (problem) {
        if (theDownload_)
            theDownload_->cancel();
        downloadFailed(problem->reason, problem->url, problem->explanation);
        return;
    }
    limitTheBody();
    if (archiveComplete_) {
        display_.initializing();
        checkSignatureThenStore();
    }
}

void Download::signatureRetryNotice(const UrlDownloadRetry* retry)
{
    // While the archive still arrives its own progress is what the status line tells.
    if (!archiveComplete_)
        return;
    if (retry)
        display_.retrying(*retry);
    else
        endRetryWait();
}

void Download::checkSignatureThenStore()
{
    // Nothing of an archive that is not the signer's reaches the cache.
    signature_->verify([this](const std::optional<SignatureProblem>& problem) {
        if (problem) {
            downloadFailed(problem->reason, downloadFrom, problem->explanation);
            return;
        }
        systemLog("Good signature of " + downloadFrom + ", trusted comment: " + signature_->trustedComment(),
                  LOG_INFO);
        storeTheDownload();
    });
}
