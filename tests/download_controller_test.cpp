// The download controller's states and texts, driven through the recording
// front end: the test plays the server by calling the delegate methods.

#include "download/download_controller.h"
#include "download/download_run.h"
#include "download/main_interface.h"
#include "platform/file_lock.h"
#include "platform/main_bundle.h"
#include "platform/system_log.h"
#include "provisioning/cache_paths.h"
#include "provisioning/cache_session.h"
#include "support/bundle_layout.h"
#include "support/launcher_messages.h"
#include "support/png_writer.h"
#include "support/process.h"
#include "support/recording_widgets.h"
#include "support/scratch.h"
#include "ui/progress_text.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using testsupport::listDirectory;
using testsupport::makeDirectories;
using testsupport::pathExists;
using testsupport::readFile;
using testsupport::ScopedEnv;
using testsupport::ScratchDir;
using testsupport::writeFile;
namespace messages = testsupport::messages;

class DownloadControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cacheDir_ = getInstallAgentCacheDir();
        makeDirectories(cacheDir_ + "installagent", 0700);
        downloadTo = scratch_ / "InstallAgent.zip";
        downloadFrom = "http://127.0.0.1:1/agent";
    }

    void TearDown() override
    {
        ui_ = MainInterface();
        cache_.reset();
    }

    // Wires the controller to recording controls and a scripted download.
    void load(bool hasUserToClose = true, bool downloadCanBeMade = true)
    {
        ui_ = MainInterface();
        std::string whyNot;
        cache_ = CacheSession::open(cacheDir_, whyNot);
        ASSERT_NE(cache_, nullptr) << whyNot;
        auto frontEnd = std::make_unique<RecordingFrontEnd>(hasUserToClose);
        fe_ = frontEnd.get();
        auto record = record_;
        ui_ = loadMainInterface(std::move(frontEnd),
                                [record, downloadCanBeMade](EventLoop&, const std::string& url, UrlDownloadDelegate&,
                                                            UrlDownloadOptions options,
                                                            std::string& whyNot) -> std::unique_ptr<UrlDownload> {
                                    record->url = url;
                                    record->ifNoneMatch = options.ifNoneMatch;
                                    if (!downloadCanBeMade) {
                                        whyNot = "unsupported URL scheme";
                                        return nullptr;
                                    }
                                    return std::make_unique<ScriptedDownload>(record);
                                },
                                *cache_);
        controller().applicationDidFinishLaunching();
    }

    Download& controller() { return *ui_.controller; }

    UrlResponse response(std::int64_t length, const char* etag = nullptr, long status = 200)
    {
        UrlResponse r;
        r.statusCode = status;
        r.expectedContentLength = length;
        r.url = downloadFrom;
        if (etag != nullptr)
            r.headerFields["ETag"] = etag;
        return r;
    }

    // A cached agent from an earlier run, with its stamp.
    void putCachedAgent(const std::string& stamp)
    {
        writeFile(cacheDir_ + "installagent/install", "echo cached\n");
        writeFile(cacheDir_ + ".validatestring", stamp);
    }

    // The archive the download "wrote": a real zip holding an install script.
    void writeDownloadedArchive()
    {
        testsupport::makeZip(downloadTo, {{"install", "echo fresh\n"}});
    }

    // Runs the loop to its end; a guard ends a run that would never stop.
    int runLoop()
    {
        const EventLoop::CallId guard = fe_->loop().callLater(60.0, [this] { fe_->loop().stop(99); });
        const int result = fe_->loop().run();
        fe_->loop().cancelCall(guard);
        return result;
    }

    // Finishes the download, and runs the loop while the cache stores it
    // (unzip runs on the loop): to the hand-off, which ends the loop (1), or
    // to a failure, which waits for the user (-1 here).
    int finishTheDownload(UrlDownload& download)
    {
        controller().downloadDidFinish(download);
        EventLoop& loop = fe_->loop();
        EventLoop::CallId next = 0;
        std::function<void()> check = [&] {
            next = 0;
            if (controller().downloadProgress().phase == DownloadProgress::Phase::Failed)
                loop.stop(-1);
            else
                next = loop.callLater(0.02, check);
        };
        next = loop.callLater(0.0, check);
        const int result = runLoop();
        if (next != 0)
            loop.cancelCall(next);
        return result;
    }

    std::vector<std::string> statusTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& entry : fe_->journal.entries)
            if (entry.rfind("status ", 0) == 0)
                texts.push_back(entry.substr(7));
        return texts;
    }

    ScratchDir scratch_;
    // The user's cache lies under HOME: a home of the test's own.
    ScopedEnv home_{"HOME", scratch_ / "home"};
    std::string cacheDir_;
    std::shared_ptr<ScriptedDownload::Record> record_ = std::make_shared<ScriptedDownload::Record>();
    RecordingFrontEnd* fe_ = nullptr;
    // The run's cache, opened before the interface, which goes first.
    std::unique_ptr<CacheSession> cache_;
    MainInterface ui_;
};

TEST_F(DownloadControllerTest, InterfaceGivesTheControlsTheirFirstSettingsAndStartsTheDownload)
{
    load();
    EXPECT_EQ(fe_->button_.keyEquivalent, "\r");
    EXPECT_TRUE(fe_->status_.singleLine_);
    EXPECT_TRUE(fe_->progress_.threaded_);
    EXPECT_EQ(fe_->window_.delegate_, &controller());
    EXPECT_EQ(record_->url, "http://127.0.0.1:1/agent");
    EXPECT_EQ(record_->destination, downloadTo);
    EXPECT_TRUE(record_->allowOverwrite);
    EXPECT_TRUE(record_->deletesFileUponFailure);
    EXPECT_EQ(controller().installAgentLocation(), downloadTo);
}

TEST_F(DownloadControllerTest, KnownLengthShowsPercentagesThenInitializingAndHandsOff)
{
    load();
    ScriptedDownload* download = static_cast<ScriptedDownload*>(controller().theDownload());
    controller().downloadDidReceiveResponse(*download, response(1000, "\"v2\""));
    EXPECT_FALSE(fe_->progress_.indeterminate_);
    EXPECT_EQ(fe_->progress_.max_, 1000.0);
    EXPECT_TRUE(fe_->progress_.animating_);
    controller().downloadDidReceiveDataOfLength(*download, 424);
    controller().downloadDidReceiveDataOfLength(*download, 576);
    EXPECT_EQ(fe_->progress_.value_, 1000.0);

    writeDownloadedArchive();
    EXPECT_EQ(finishTheDownload(*download), 1);

    EXPECT_EQ(statusTexts(), (std::vector<std::string>{"Downloading   0%", "Downloading  42%", "Downloading 100%",
                                                        messages::kInitializingInstaller}));
    EXPECT_TRUE(fe_->progress_.indeterminate_);
    EXPECT_FALSE(fe_->button_.enabled_);
    EXPECT_TRUE(controller().handedOff());
    EXPECT_EQ(controller().installAgentLocation(), cacheDir_ + "installagent/");
    EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo fresh\n");
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v2\"");
}

TEST_F(DownloadControllerTest, MoreDataThanAnnouncedGoesPastOneHundredPercent)
{
    load();
    auto& download = *controller().theDownload();
    controller().downloadDidReceiveResponse(download, response(100, "\"a\""));
    controller().downloadDidReceiveDataOfLength(download, 103);
    EXPECT_EQ(fe_->status_.text_, "Downloading 103%");
}

TEST_F(DownloadControllerTest, UnknownLengthKeepsTheBarIndeterminateAndTheTextUnchanged)
{
    load();
    auto& download = *controller().theDownload();
    controller().downloadDidReceiveResponse(download, response(-1, "\"a\""));
    controller().downloadDidReceiveDataOfLength(download, 10);
    controller().downloadDidReceiveDataOfLength(download, 20);
    EXPECT_TRUE(fe_->progress_.indeterminate_);
    EXPECT_TRUE(fe_->progress_.animating_);
    EXPECT_TRUE(statusTexts().empty());
    EXPECT_EQ(controller().bytesReceived(), 30);
    EXPECT_EQ(controller().fileLength(), -1);
}

TEST_F(DownloadControllerTest, MatchingStampHandsOffToTheCachedAgentAtTheResponse)
{
    putCachedAgent("\"v1\"");
    load();
    auto& download = *controller().theDownload();
    controller().downloadDidReceiveResponse(download, response(1000, "\"v1\""));

    EXPECT_TRUE(fe_->window_.closed);
    EXPECT_EQ(record_->cancels, 1);
    EXPECT_TRUE(controller().handedOff());
    EXPECT_EQ(controller().installAgentLocation(), cacheDir_ + "installagent/");
    EXPECT_TRUE(pathExists(cacheDir_ + "installagent/install"));
    EXPECT_TRUE(statusTexts().empty());
    EXPECT_FALSE(fe_->progress_.animating_);
    EXPECT_EQ(runLoop(), 1);
}

TEST_F(DownloadControllerTest, DifferentOrMissingETagKeepsTheCachedAgentUntilTheNewOneIsInPlace)
{
    for (const char* etag : {"\"v2\"", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(etag == nullptr ? "no ETag" : etag);
        putCachedAgent("\"v1\"");
        load();
        auto& download = *controller().theDownload();
        controller().downloadDidReceiveResponse(download, response(1000, etag));
        EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo cached\n");
        EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v1\"");
        EXPECT_FALSE(controller().handedOff());
        EXPECT_FALSE(fe_->window_.closed);
        EXPECT_EQ(fe_->status_.text_, "Downloading   0%");

        writeDownloadedArchive();
        EXPECT_EQ(finishTheDownload(download), 1);
        EXPECT_TRUE(controller().handedOff());
        EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo fresh\n");
        EXPECT_EQ(pathExists(cacheDir_ + ".validatestring"), etag != nullptr);
        EXPECT_FALSE(pathExists(downloadTo)) << "the archive goes once it is unpacked";
    }
}

TEST_F(DownloadControllerTest, HttpErrorStatusFailsAtTheResponseAndLeavesTheCacheAlone)
{
    putCachedAgent("\"v1\"");
    setSystemLogIdentity("Acme Setup"); // as main names the log after the bundle
    load();
    testing::internal::CaptureStderr();
    controller().downloadDidReceiveResponse(*controller().theDownload(), response(512, "\"v2\"", 404));
    const std::string logged = testing::internal::GetCapturedStderr();
    setSystemLogIdentity("launcher");

    // Below the red sentence: the reason in plain words and where the log is.
    EXPECT_EQ(failureDetails(controller().downloadProgress()),
              (std::vector<std::string>{"The server answered 404 Not Found for " + downloadFrom,
                                        "Details: journalctl -t Acme_Setup"}));

    EXPECT_NE(logged.find(messages::kDownloadFailedPrefix), std::string::npos);
    EXPECT_NE(logged.find("404"), std::string::npos);
    EXPECT_EQ(fe_->status_.text_, messages::kDownloadError);
    EXPECT_EQ(fe_->status_.color_, TextColor::Red);
    EXPECT_EQ(record_->cancels, 1);
    EXPECT_TRUE(pathExists(cacheDir_ + "installagent/install"));
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v1\"");
    EXPECT_FALSE(fe_->window_.closed); // a person is there to read it and close the window
}

TEST_F(DownloadControllerTest, DownloadFailureShowsRedTextAndAFullStoppedBar)
{
    load();
    auto& download = *controller().theDownload();
    controller().downloadDidReceiveResponse(download, response(1000, "\"v2\""));
    controller().downloadDidReceiveDataOfLength(download, 300);
    testing::internal::CaptureStderr();
    controller().downloadDidFail(download, UrlDownloadError{"Connection reset", "http://127.0.0.1:1/agent"});
    const std::string logged = testing::internal::GetCapturedStderr();

    EXPECT_EQ(logged, messages::kDownloadFailedPrefix + "Connection reset http://127.0.0.1:1/agent\n");
    EXPECT_EQ(fe_->status_.color_, TextColor::Red);
    EXPECT_FALSE(fe_->progress_.animating_);
    EXPECT_FALSE(fe_->progress_.indeterminate_);
    EXPECT_EQ(fe_->progress_.value_, fe_->progress_.max_);
    EXPECT_TRUE(fe_->button_.enabled_);
    EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring"));
    EXPECT_FALSE(fe_->window_.closed);

    fe_->window_.close(); // the user closes it
    EXPECT_EQ(runLoop(), 0);
}

TEST_F(DownloadControllerTest, WithNobodyToCloseTheWindowAFailureEndsTheRun)
{
    load(/*hasUserToClose=*/false);
    testing::internal::CaptureStderr();
    controller().downloadDidFail(*controller().theDownload(), UrlDownloadError{"timed out", downloadFrom});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(runLoop(), 0);
    EXPECT_TRUE(fe_->window_.closed);
    EXPECT_EQ(record_->cancels, 1);
}

TEST_F(DownloadControllerTest, AuthenticationChallengeAndUncreatableDownloadAreDownloadFailures)
{
    load(/*hasUserToClose=*/false);
    testing::internal::CaptureStderr();
    controller().downloadDidReceiveAuthenticationChallenge(*controller().theDownload());
    EXPECT_NE(testing::internal::GetCapturedStderr().find(messages::kDownloadFailedPrefix), std::string::npos);
    EXPECT_EQ(record_->cancels, 1);
    EXPECT_EQ(fe_->status_.color_, TextColor::Red);
    EXPECT_EQ(runLoop(), 0);

    downloadFrom = "";
    testing::internal::CaptureStderr();
    load(/*hasUserToClose=*/false, /*downloadCanBeMade=*/false);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(messages::kDownloadFailedPrefix), std::string::npos);
    EXPECT_EQ(fe_->status_.text_, messages::kDownloadError);
    EXPECT_EQ(runLoop(), 0);
}

TEST_F(DownloadControllerTest, UnpackingFailureKeepsTheCachedAgentAndItsStamp)
{
    putCachedAgent("\"v1\"");
    load();
    auto& download = *controller().theDownload();
    controller().downloadDidReceiveResponse(download, response(9, "\"v3\""));
    writeFile(downloadTo, "not a zip");
    controller().downloadDidReceiveDataOfLength(download, 9);
    testing::internal::CaptureStderr();
    EXPECT_EQ(finishTheDownload(download), -1);
    const std::string reported = testing::internal::GetCapturedStderr();

    EXPECT_NE(reported.find(messages::kUnzipAgentFailed + "\n"), std::string::npos);
    EXPECT_EQ(fe_->status_.text_, messages::kUnzipInstallerFailed);
    EXPECT_EQ(fe_->status_.color_, TextColor::Red);
    EXPECT_FALSE(fe_->button_.enabled_);
    EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo cached\n");
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v1\"");
    EXPECT_EQ(listDirectory(cacheDir_), (std::vector<std::string>{".lock", ".validatestring", "installagent"}))
        << "no staging directory left behind";
    EXPECT_FALSE(controller().handedOff());
    EXPECT_FALSE(fe_->window_.closed);
}

TEST_F(DownloadControllerTest, WhileTheStoreWaitsForAnotherRunCancelCanBePressedAndEndsTheRun)
{
    load();
    auto& download = *controller().theDownload();
    controller().downloadDidReceiveResponse(download, response(-1, "\"v2\""));
    writeDownloadedArchive();
    // Another run is replacing the agent: it holds the update lock.
    std::string whyNot;
    const auto otherRun = FileLock::open(cacheDir_ + ".lock", whyNot, 1);
    ASSERT_NE(otherRun, nullptr) << whyNot;
    ASSERT_TRUE(otherRun->tryLock(FileLock::Mode::Exclusive));

    controller().downloadDidFinish(download);
    EXPECT_EQ(fe_->status_.text_, messages::kWaitingForTheCache);
    EXPECT_TRUE(fe_->button_.enabled_) << "Cancel is greyed out while the run waits";
    fe_->loop().callLater(0.1, [this] { fe_->window_.close(); }); // the user presses it
    EXPECT_EQ(runLoop(), 0);
    EXPECT_FALSE(controller().handedOff());
    EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring")) << "nothing stored";
}

TEST_F(DownloadControllerTest, FinishedDownloadWithoutETagDropsTheOldStamp)
{
    writeFile(cacheDir_ + ".validatestring", "\"old\"");
    load();
    auto& download = *controller().theDownload();
    controller().downloadDidReceiveResponse(download, response(-1));
    writeDownloadedArchive();
    EXPECT_EQ(finishTheDownload(download), 1);
    EXPECT_TRUE(controller().handedOff());
    EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring"));
}

TEST_F(DownloadControllerTest, ClosingTheWindowCancelsTheDownloadAndEndsTheRunWithoutHandOff)
{
    load();
    controller().downloadDidReceiveResponse(*controller().theDownload(), response(1000, "\"v\""));
    fe_->window_.close();
    fe_->window_.close();
    EXPECT_EQ(record_->cancels, 1);
    EXPECT_FALSE(controller().handedOff());
    EXPECT_EQ(runLoop(), 0);
}

TEST_F(DownloadControllerTest, SplashPictureFromTheResourcesIsShownScaledInto400By400)
{
    overrideMainBundle(MainBundle{scratch_.path(), scratch_.path()});
    load();
    EXPECT_TRUE(fe_->image_.shownPath.empty()) << "no splash.png: no picture";

    writeFile(scratch_ / "splash.png", "picture");
    load();
    EXPECT_EQ(fe_->image_.shownPath, scratch_ / "splash.png");
    EXPECT_EQ(fe_->image_.shownWidth, 400);
    EXPECT_EQ(fe_->image_.shownHeight, 400);
    EXPECT_EQ(record_->url, downloadFrom) << "the download starts all the same";

    // A picture whose header announces more than the launcher decodes: none, and a log line.
    writeFile(scratch_ / "splash.png", testsupport::largePng(5000, 5000));
    testing::internal::CaptureStderr();
    load();
    const std::string logged = testing::internal::GetCapturedStderr();
    clearMainBundleOverride();
    EXPECT_TRUE(fe_->image_.shownPath.empty()) << "a picture bomb was handed to the window";
    EXPECT_NE(logged.find("5000 x 5000 pixels"), std::string::npos) << logged;
    EXPECT_EQ(record_->url, downloadFrom) << "the download starts all the same";
}

} // namespace
