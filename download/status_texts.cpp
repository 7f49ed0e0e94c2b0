#include "download/status_texts.h"

#include "platform/http_response_head.h"
#include "platform/retry_policy.h"

#include <cstdio>

const char* const untitledWindowTitle = "Installer";
const char* const downloadErrorText = "Error during the download process. See your system log for more information.";
const char* const unzipErrorText = "Failed to unzip the installer.";
const char* const initializingText = "Initializing the installer";
const char* const waitingForTheCacheText = "Waiting for another installation to finish";
const char* const checkingTheSignatureText = "Checking the download's signature";

const char* const signatureMissingExplanation =
    "The server offers no signature for the install agent, so this installer cannot trust it.";
const char* const signatureMalformedExplanation = "The install agent's signature is damaged or is no signature.";
const char* const otherKeyExplanation = "The download is not signed by this product's key.";
const char* const badSignatureExplanation =
    "The download does not match its signature: it was changed or damaged on the way.";
const char* const agentTooLargeExplanation = "The download is larger than any install agent this installer takes.";
const char* const signerSizeExplanation = "The download is larger than its signature says it is.";
const char* const newerAgentTakenExplanation =
    "Another installation has meanwhile installed a newer install agent than the one offered.";

std::string downloadingStatusText(double percentage)
{
    char number[64];
    std::snprintf(number, sizeof number, "%3.0f%%", percentage);
    return std::string("Downloading ") + number;
}

namespace {

// Why the attempt is to be made again, as the start of the retry's text.
std::string retryCause(const UrlDownloadRetry& retry)
{
    using Cause = UrlDownloadRetry::Cause;
    switch (retry.cause) {
    case Cause::ServerBusy:
        return retry.statusCode > 0 ? "Server busy (" + std::to_string(retry.statusCode) + ")" : "Server busy";
    case Cause::CannotReach:
        return "Cannot reach " + (retry.host.empty() ? std::string("the server") : retry.host);
    case Cause::Stalled:
        return "Download stalled";
    case Cause::ConnectionLost:
        break;
    }
    return "Connection lost";
}

} // namespace

long retryWaitSeconds(const UrlDownloadRetry& retry)
{
    return static_cast<long>(wholeSecondsOfWait(retry.delaySeconds)); // as its log line says
}

std::string retryStatusText(const UrlDownloadRetry& retry, long secondsLeft)
{
    const std::string when = secondsLeft > 0 ? "retrying in " + std::to_string(secondsLeft) + " s" : "retrying now";
    return retryCause(retry) + " \u2014 " + when + " (attempt " + std::to_string(retry.nextAttempt) + " of " +
           std::to_string(retry.attempts) + ")";
}

std::string retryStatusText(const UrlDownloadRetry& retry)
{
    return retryStatusText(retry, retryWaitSeconds(retry));
}

std::string httpStatusExplanation(long statusCode, const std::string& url)
{
    const std::string phrase = httpReasonPhrase(statusCode);
    return "The server answered " + std::to_string(statusCode) + (phrase.empty() ? "" : " " + phrase) + " for " +
           url;
}

std::string unpackingFailureExplanation(const std::string& whyNot)
{
    return "The downloaded file is not an installer that can be unpacked (" + whyNot + ")";
}
