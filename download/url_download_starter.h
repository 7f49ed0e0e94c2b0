#pragma once

#include "platform/event_loop.h"
#include "platform/url_download.h"

#include <functional>
#include <memory>
#include <string>

// Makes a download of a URL for the controller, adding to the options what
// the run sets for every download (time-out, retries, certificates). Null,
// with a one-line reason in whyNot, when none can be made.
using UrlDownloadStarter = std::function<std::unique_ptr<UrlDownload>(
    EventLoop& loop, const std::string& url, UrlDownloadDelegate& delegate, UrlDownloadOptions options,
    std::string& whyNot)>;
