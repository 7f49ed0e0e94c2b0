#include "support/xvfb.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {

bool onPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        const std::size_t end = std::min(directories.find(':', start), directories.size());
        const std::string candidate = directories.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

Xvfb::Xvfb(bool keepAcrossClients)
{
    std::vector<std::string> argv = {"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
    if (keepAcrossClients)
        argv.push_back("-noreset");
    process_ = std::make_unique<BackgroundProcess>(ProcessOptions(argv));
    if (!process_->waitUntil([this] { return process_->out().find('\n') != std::string::npos; }))
        return;
    display_ = ":" + process_->out().substr(0, process_->out().find('\n'));
}

Xvfb* XvfbSuite::server_ = nullptr;

void XvfbSuite::SetUpTestSuite()
{
    if (onPath("Xvfb"))
        server_ = new Xvfb(true);
}

void XvfbSuite::TearDownTestSuite()
{
    delete server_;
    server_ = nullptr;
}

void XvfbSuite::SetUp()
{
    if (server_ == nullptr)
        GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb): the window front end is not tested";
    ASSERT_TRUE(server_->running()) << "Xvfb did not start: " << server_->log();
}

void inChild(const std::function<void()>& body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        body();
        const bool failed = ::testing::Test::HasFailure();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(failed ? 1 : 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the child hung";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child failed (its messages are above)";
}

std::string unusedDisplay()
{
    for (int n = 571;; ++n) {
        struct stat info;
        if (stat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &info) != 0 &&
            stat(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), &info) != 0)
            return ":" + std::to_string(n);
    }
}

} // namespace testsupport
