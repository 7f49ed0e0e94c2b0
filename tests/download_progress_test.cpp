// The download's progress in numbers, as the controller reports it to a
// front end: each step before the text that shows it, with the facts of a
// retry and a failure; the plain lines a run prints from those numbers; and
// the test's script of the controller's calls kept to the controller's own.

#include "download/download_controller.h"
#include "download/download_run.h"
#include "download/main_interface.h"
#include "provisioning/cache_session.h"
#include "support/bundle_layout.h"
#include "support/controller_script.h"
#include "support/loop_until.h"
#include "support/launcher_messages.h"
#include "support/process.h"
#include "support/recording_widgets.h"
#include "support/scratch.h"
#include "support/stderr_capture.h"
#include "ui/front_end.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace testsupport;
using Phase = DownloadProgress::Phase;

namespace {

// A run of the controller on a front end, in a home of its own, the server
// played by the test through the delegate methods.
class ProgressReports : public ::testing::Test {
protected:
    void SetUp() override
    {
        home_.emplace("HOME", scratch_ / "home");
        downloadTo = scratch_ / "InstallAgent.zip";
        downloadFrom = "http://127.0.0.1:1/agent";
    }

    void TearDown() override
    {
        ui_ = MainInterface();
        cache_.reset();
    }

    // Wires the controller to the front end, shows the window and starts the
    // download, as a run does.
    Download& start(std::unique_ptr<FrontEnd> frontEnd)
    {
        ui_ = MainInterface();
        std::string whyNot;
        cache_ = CacheSession::open(scratch_ / "home/cache/", whyNot);
        EXPECT_NE(cache_, nullptr) << whyNot;
        auto record = std::make_shared<ScriptedDownload::Record>();
        ui_ = loadMainInterface(std::move(frontEnd),
                                [record](EventLoop&, const std::string&, UrlDownloadDelegate&, UrlDownloadOptions,
                                         std::string&) -> std::unique_ptr<UrlDownload> {
                                    return std::make_unique<ScriptedDownload>(record);
                                },
                                *cache_);
        ui_.frontEnd->window().show();
        ui_.controller->applicationDidFinishLaunching();
        return *ui_.controller;
    }

    UrlDownload& download() { return *ui_.controller->theDownload(); }

    // Finishes the download and runs the loop while the cache stores it, up
    // to the hand-off or a failure.
    void finishTheDownload()
    {
        ui_.controller->downloadDidFinish(download());
        EXPECT_TRUE(runLoopUntil(ui_.frontEnd->loop(), [this] {
            const Phase phase = ui_.controller->downloadProgress().phase;
            return phase == Phase::HandedOff || phase == Phase::Failed;
        }) || ui_.controller->handedOff());
    }

    static UrlResponse response(std::int64_t length, long status = 200)
    {
        UrlResponse r;
        r.statusCode = status;
        r.expectedContentLength = length;
        r.url = downloadFrom;
        r.headerFields["ETag"] = "\"v1\"";
        return r;
    }

    // The journal's reports and status texts, in their order.
    static std::vector<std::string> reportsAndTexts(const Journal& journal)
    {
        std::vector<std::string> entries;
        for (const std::string& entry : journal.entries)
            if (entry.starts_with("progress ") || entry.starts_with("status "))
                entries.push_back(entry);
        return entries;
    }

    ScratchDir scratch_;
    std::optional<ScopedEnv> home_;
    std::unique_ptr<CacheSession> cache_;
    MainInterface ui_;
};

TEST_F(ProgressReports, ComeInNumbersBeforeTheTextsThatShowThem)
{
    auto frontEnd = std::make_unique<RecordingFrontEnd>();
    RecordingFrontEnd& recorder = *frontEnd;
    Download& controller = start(std::move(frontEnd));
    controller.downloadDidReceiveResponse(download(), response(1000));
    controller.downloadDidReceiveDataOfLength(download(), 424);
    controller.downloadDidReceiveDataOfLength(download(), 576);
    makeInstallAgentZip(downloadTo, "echo fresh\n");
    finishTheDownload();

    EXPECT_EQ(reportsAndTexts(recorder.journal),
              (std::vector<std::string>{"progress connecting 0/-1", "progress downloading 0/1000",
                                        "status Downloading   0%", "progress downloading 424/1000",
                                        "status Downloading  42%", "progress downloading 1000/1000",
                                        "status Downloading 100%", "progress initializing 1000/1000",
                                        "status " + messages::kInitializingInstaller, "progress handed off 1000/1000"}));
    EXPECT_EQ(recorder.progressView_.reports.front().url, downloadFrom);
    EXPECT_EQ(controller.downloadProgress().phase, Phase::HandedOff);
}

TEST_F(ProgressReports, ARetrySaysWhichAttemptComesAndTheDownloadGoesOnFromItsBytes)
{
    auto frontEnd = std::make_unique<RecordingFrontEnd>();
    RecordingFrontEnd& recorder = *frontEnd;
    Download& controller = start(std::move(frontEnd));
    controller.downloadDidReceiveResponse(download(), response(1000));
    controller.downloadDidReceiveDataOfLength(download(), 300);
    controller.downloadWillRetry(download(), UrlDownloadRetry{"Connection reset", 1.5, 2, 5});

    const DownloadProgress waiting = recorder.progressView_.reports.back();
    EXPECT_EQ(waiting.phase, Phase::WaitingToRetry);
    EXPECT_EQ(waiting.bytesReceived, 300);
    EXPECT_EQ(waiting.totalBytes, 1000);
    EXPECT_EQ(waiting.retry.reason, "Connection reset");
    EXPECT_EQ(waiting.retry.delaySeconds, 1.5);
    EXPECT_EQ(waiting.retry.nextAttempt, 2);
    EXPECT_EQ(waiting.retry.attempts, 5);

    recorder.journal.entries.clear();
    controller.downloadDidReceiveDataOfLength(download(), 100);
    EXPECT_EQ(reportsAndTexts(recorder.journal),
              (std::vector<std::string>{"progress downloading 300/1000", "status Downloading  30%",
                                        "progress downloading 400/1000", "status Downloading  40%"}));
}

TEST_F(ProgressReports, AFailureCarriesItsReasonBeforeTheRedText)
{
    auto frontEnd = std::make_unique<RecordingFrontEnd>();
    RecordingFrontEnd& recorder = *frontEnd;
    Download& controller = start(std::move(frontEnd));
    testing::internal::CaptureStderr();
    controller.downloadDidReceiveResponse(download(), response(512, 404));
    testing::internal::GetCapturedStderr();

    const DownloadProgress& failed = recorder.progressView_.reports.back();
    EXPECT_EQ(failed.phase, Phase::Failed);
    EXPECT_EQ(failed.failureReason, "HTTP status 404");
    EXPECT_EQ(failed.url, downloadFrom);
    const std::vector<std::string> entries = reportsAndTexts(recorder.journal);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "progress failed 0/-1");
    EXPECT_EQ(entries.back(), "status " + messages::kDownloadError);
}

// The window tells a person which proxy wants credentials, in the same words as the log.
TEST_F(ProgressReports, AProxyThatWantsCredentialsIsNamedToThePersonToo)
{
    auto frontEnd = std::make_unique<RecordingFrontEnd>();
    RecordingFrontEnd& recorder = *frontEnd;
    Download& controller = start(std::move(frontEnd));
    testing::internal::CaptureStderr();
    controller.downloadDidReceiveProxyAuthenticationChallenge(download(), "proxy.example");
    testing::internal::GetCapturedStderr();

    const DownloadProgress& failed = recorder.progressView_.reports.back();
    EXPECT_EQ(failed.phase, Phase::Failed);
    EXPECT_EQ(failed.failureReason, "The proxy proxy.example requires authentication");
    EXPECT_EQ(failed.failureExplanation, failed.failureReason);
}

// The percentages a log gets come from the numbers now, no longer from the
// text: the same lines as the texts alone gave. The status line rounds ties
// to even (24.5 shows as 24, 99.5 as 100), and after a retry's wait the
// percentage shown again counts on from where it was.
TEST_F(ProgressReports, PlainLinesPrintTheSamePercentagesAsTheStatusTextsGave)
{
    StderrToFile err;
    Download& controller = start(createTerminalFrontEnd(false));
    controller.downloadDidReceiveResponse(download(), response(200));
    for (const std::uint64_t chunk : {49, 1, 50})
        controller.downloadDidReceiveDataOfLength(download(), chunk);
    controller.downloadWillRetry(download(), UrlDownloadRetry{"Connection reset", 2.0, 2, 5});
    for (const std::uint64_t chunk : {1, 24, 25, 49, 1})
        controller.downloadDidReceiveDataOfLength(download(), chunk);
    err.restore();

    EXPECT_EQ(splitLines(err.text()),
              (std::vector<std::string>{"Downloading   0%", "Downloading  25%", "Downloading  50%",
                                        "Connection lost \u2014 retrying in 2 s (attempt 2 of 5)",
                                        "Downloading  50%", "Downloading  75%", "Downloading 100%"}));
}

// A retry's wait on a terminal: its cause, counted down once a second from
// the whole seconds the log line gives, one redraw for each, then "now".
TEST_F(ProgressReports, ARetryIsCountedDownOnTheTerminalOnceASecond)
{
    StderrToPty pty;
    Download& controller = start(createTerminalFrontEnd(true));
    controller.downloadDidReceiveResponse(download(), response(1000));
    controller.downloadDidReceiveDataOfLength(download(), 300);
    using Cause = UrlDownloadRetry::Cause;
    controller.downloadWillRetry(download(), UrlDownloadRetry{"HTTP status 503", 2.4, 2, 5, Cause::ServerBusy, 503});
    EXPECT_TRUE(runLoopUntil(ui_.frontEnd->loop(), [&] { return pty.read().find("retrying now") != std::string::npos; }));

    std::vector<std::string> waits;
    const std::string clear = "\r\x1b[K";
    for (std::size_t at = pty.text().find(clear); at != std::string::npos;) {
        const std::size_t next = pty.text().find(clear, at + clear.size());
        const std::string state = pty.text().substr(at + clear.size(), next == std::string::npos ? next : next - at - clear.size());
        if (state.starts_with("Server busy"))
            waits.push_back(state.substr(0, state.find(" (attempt 2 of 5)")));
        at = next;
    }
    EXPECT_EQ(waits, (std::vector<std::string>{"Server busy (503) \u2014 retrying in 3 s", "Server busy (503) \u2014 retrying in 2 s",
                                               "Server busy (503) \u2014 retrying in 1 s", "Server busy (503) \u2014 retrying now"}));
    controller.downloadDidReceiveDataOfLength(download(), 100);
    EXPECT_TRUE(runLoopUntil(ui_.frontEnd->loop(), [&] { return pty.read().find("Downloading  40%") != std::string::npos; }))
        << "the status is not back after the wait";
    ui_ = MainInterface(); // the line goes while stderr is still the terminal
}

// The front-end tests drive the controls with ControllerScript instead of
// the controller: it has to make the very calls the controller makes.
TEST_F(ProgressReports, ScriptMovesAsTheController)
{
    const auto journalOf = [](RecordingFrontEnd& frontEnd) { return frontEnd.journal.entries; };

    // A known length, then an archive that does not unpack.
    auto controlled = std::make_unique<RecordingFrontEnd>();
    RecordingFrontEnd& byController = *controlled;
    Download& controller = start(std::move(controlled));
    controller.downloadDidReceiveResponse(download(), response(1000));
    controller.downloadDidReceiveDataOfLength(download(), 424);
    controller.downloadDidReceiveDataOfLength(download(), 576);
    writeFile(downloadTo, "not a zip");
    testing::internal::CaptureStderr();
    finishTheDownload();
    testing::internal::GetCapturedStderr();

    RecordingFrontEnd byScript;
    CountingDelegate delegate;
    ControllerScript script(byScript);
    script.setUp(delegate);
    byScript.window().show();
    script.connect(downloadFrom);
    script.respond(1000);
    script.receive(424);
    script.receive(576);
    script.finish();
    script.fail(messages::kUnzipInstallerFailed);
    EXPECT_EQ(journalOf(byScript), journalOf(byController));

    // No length, then a failed transfer.
    auto unknown = std::make_unique<RecordingFrontEnd>();
    RecordingFrontEnd& unknownByController = *unknown;
    Download& second = start(std::move(unknown));
    second.downloadDidReceiveResponse(download(), response(-1));
    second.downloadDidReceiveDataOfLength(download(), 300);
    testing::internal::CaptureStderr();
    second.downloadDidFail(download(), UrlDownloadError{"Connection reset", downloadFrom});
    testing::internal::GetCapturedStderr();

    RecordingFrontEnd unknownByScript;
    ControllerScript secondScript(unknownByScript);
    secondScript.setUp(delegate);
    unknownByScript.window().show();
    secondScript.connect(downloadFrom);
    secondScript.respond(-1);
    secondScript.receive(300);
    secondScript.fail(messages::kDownloadError);
    EXPECT_EQ(journalOf(unknownByScript), journalOf(unknownByController));
}

} // namespace
