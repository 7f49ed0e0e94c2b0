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

// "Downloading " and the percentage, right-aligned in three places.
std::string downloadingStatusText(double percentage);

// While a retry's wait runs: when, and which attempt comes.
std::string retryStatusText(const UrlDownloadRetry& retry);
