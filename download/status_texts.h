#pragma once

#include "platform/url_download.h"

#include <string>

// The texts the download window shows, in one place.

// The window's title when the bundle gives it no name.
extern const char* const untitledWindowTitle;

// Shown in red when the download fails; the reason goes to the system log.
extern const char* const downloadErrorText;
// Shown in red when the downloaded archive cannot be unpacked into the cache.
extern const char* const unzipErrorText;
// While the archive is checked, unpacked and put in place.
extern const char* const initializingText;
// While another run holds the cache.
extern const char* const waitingForTheCacheText;
// While the signature of the complete archive is still on its way.
extern const char* const checkingTheSignatureText;

// In plain words, under the red text, when a download is refused.
extern const char* const signatureMissingExplanation;   // none can be had
extern const char* const signatureMalformedExplanation; // it is no signature file
extern const char* const otherKeyExplanation;           // made with a key the bundle does not hold
extern const char* const badSignatureExplanation;       // it does not hold for the archive
extern const char* const agentTooLargeExplanation;      // longer than the launcher takes
extern const char* const signerSizeExplanation;         // longer than its signature states
extern const char* const newerAgentTakenExplanation;    // another run took a later agent meanwhile

// "Downloading " and the percentage, right-aligned in three places.
std::string downloadingStatusText(double percentage);

// The whole seconds a retry's wait is counted down from: its delay rounded
// up, as the log line of the retry gives it.
long retryWaitSeconds(const UrlDownloadRetry& retry);
// While a retry's wait runs: why, in how many seconds (none left: "now"),
// and which attempt comes ("Server busy (503) — retrying in 4 s (attempt 2
// of 5)").
std::string retryStatusText(const UrlDownloadRetry& retry, long secondsLeft);
// The same at the start of the wait.
std::string retryStatusText(const UrlDownloadRetry& retry);

// Plain words for a response that is not the archive: "The server answered
// 404 Not Found for <url>".
std::string httpStatusExplanation(long statusCode, const std::string& url);
// Plain words for an archive that could not be unpacked into the cache;
// whyNot is the reason the session gave.
std::string unpackingFailureExplanation(const std::string& whyNot);
