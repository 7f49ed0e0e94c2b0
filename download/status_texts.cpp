#include "download/status_texts.h"

#include <cmath>
#include <cstdio>

const char* const untitledWindowTitle = "Installer";
const char* const downloadErrorText = "Error during the download process. See your system log for more information.";
const char* const unzipErrorText = "Failed to unzip the installer.";
const char* const initializingText = "Initializing the installer";
const char* const waitingForTheCacheText = "Waiting for another installation to finish";

std::string downloadingStatusText(double percentage)
{
    char number[64];
    std::snprintf(number, sizeof number, "%3.0f%%", percentage);
    return std::string("Downloading ") + number;
}

std::string retryStatusText(const UrlDownloadRetry& retry)
{
    char text[128];
    std::snprintf(text, sizeof text, "Connection lost \u2014 retrying in %.0f s (attempt %d of %d)",
                  std::ceil(retry.delaySeconds), retry.nextAttempt, retry.attempts);
    return text;
}
