#pragma once

// When a failed download is tried again, and after how long. The transfer
// itself (curl_transfer.cpp) decides which of its failures may pass; the
// answers of the server and the waits are decided here.

#include "platform/url_download.h"

#include <ctime>
#include <optional>
#include <string>

// HTTP statuses that say "not now" rather than "no": 408, 429, 500, 502, 503, 504.
bool isTransientHttpStatus(long statusCode);

// Whether the server's Retry-After is worth reading for this status (429, 503).
bool statusCarriesRetryAfter(long statusCode);

// The wait before retry number `retry` (1 for the first): 1, 2, 4, 8 s, never
// more than 8 s, spread by ±20 % so that clients that failed together do not
// come back together. `random01` is a number in [0, 1).
double backoffSeconds(int retry, double random01);

// The wait that a Retry-After value (delta-seconds or an HTTP date, read by
// retryAfterDelay) asks for, capped at 30 s and never negative; none when the
// value cannot be read.
std::optional<double> retryAfterSeconds(const std::string& value, std::time_t now);

// A uniformly random number in [0, 1) for backoffSeconds.
double retryJitter();

// A wait as a person is told it: whole seconds, rounded up.
long long wholeSecondsOfWait(double seconds);

// The log line of a retry: "Download interrupted (<reason>); retrying in
// <whole seconds> s (attempt <k> of <n>)".
std::string retryNotice(const UrlDownloadRetry& retry);
