#include "download/download_run.h"

#include "download/main_interface.h"
#include "download/status_texts.h"
#include "ui/front_end.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "platform/termination_signals.h"
#include "platform/url_download.h"
#include "provisioning/cache_session.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/constants.h"

#include <cerrno>
#include <cstdlib>
#include <string>

std::string downloadTo;
std::string downloadFrom;

namespace {

// The window is named after the bundle, as desktop users expect; "Installer"
// only when there is no bundle (or its name is empty).
std::string windowTitle()
{
    const std::string name = mainBundleName();
    return name.empty() ? std::string(untitledWindowTitle) : name;
}

// Seconds without a byte before a download fails; ZX_INTERNAL_DOWNLOAD_TIMEOUT
// shortens it (tests, diagnosing a slow server).
double downloadIdleTimeout()
{
    if (const char* text = std::getenv("ZX_INTERNAL_DOWNLOAD_TIMEOUT")) {
        char* end = nullptr;
        const double seconds = std::strtod(text, &end);
        if (end != text && *end == '\0' && seconds > 0)
            return seconds;
    }
    return 60.0;
}

// Further attempts after a failure that may pass; ZX_INTERNAL_DOWNLOAD_RETRIES
// sets how many (0: none). A value that is not a whole number from 0 up is ignored.
int downloadRetries()
{
    constexpr int defaultRetries = 4;
    if (const char* text = std::getenv("ZX_INTERNAL_DOWNLOAD_RETRIES")) {
        char* end = nullptr;
        errno = 0;
        const long retries = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && errno == 0 && retries >= 0 && retries <= 100)
            return static_cast<int>(retries);
    }
    return defaultRetries;
}

std::unique_ptr<UrlDownload> startDownloadWithTimeout(EventLoop& loop, const std::string& url,
                                                      UrlDownloadDelegate& delegate, UrlDownloadOptions options,
                                                      std::string& whyNot)
{
    options.idleTimeoutSeconds = downloadIdleTimeout();
    options.retries = downloadRetries();
    options.userAgent = std::string(launcherExecutableName) + "/" + releaseTag + " (" + platformTag + ")";
    // Certificates to trust instead of the system's: a test server's own.
    if (const char* bundle = std::getenv("ZX_INTERNAL_CA_BUNDLE"))
        options.caBundlePath = bundle;
    return startUrlDownload(loop, url, delegate, options, &whyNot);
}

} // namespace

int CallNSApplicationMain(int, const char**, CacheSession& cache)
{
    MainInterface ui = loadMainInterface(createFrontEnd(windowTitle()), startDownloadWithTimeout, cache);
    Download& controller = *ui.controller;
    Window& window = ui.frontEnd->window();
    EventLoop& loop = ui.frontEnd->loop();

    // A signal that would end the process ends the download the way closing
    // the window does: the partial archive goes, and the run fails in order.
    TerminationSignals signals(loop, [&window](int) { window.close(); });

    window.show();
    loop.callLater(0.0, [&controller] { controller.applicationDidFinishLaunching(); });
    const int result = loop.run();

    // The window is gone before the launcher goes on (and starts the agent).
    window.close();
    return result;
}

int CallNSApplicationMain(int argc, const char** argv)
{
    const std::unique_ptr<CacheSession> cache = openInstallAgentCache(report_error_main);
    return cache ? CallNSApplicationMain(argc, argv, *cache) : 0;
}

bool downloadInstallAgentFromZX(const char* archivePath, ErrorReporter /*messages go to the window and the log*/,
                                CacheSession& cache)
{
    const char* url = std::getenv("ZX_INTERNAL_INSTALL_AGENT_URL");
    downloadTo = archivePath;
    downloadFrom = url != nullptr ? url : defaultInstallAgentURL;
    return CallNSApplicationMain(0, nullptr, cache) != 0;
}

bool downloadInstallAgentFromZX(const char* archivePath, ErrorReporter reporter)
{
    const std::unique_ptr<CacheSession> cache = openInstallAgentCache(reporter);
    return cache && downloadInstallAgentFromZX(archivePath, reporter, *cache);
}
