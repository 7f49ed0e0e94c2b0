#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Points stderr at fd; the descriptor of the stderr before.
UniqueFd redirectStderr(int fd)
{
    std::fflush(stderr);
    UniqueFd saved(dup(STDERR_FILENO));
    dup2(fd, STDERR_FILENO);
    return saved;
}

void putStderrBack(UniqueFd& saved)
{
    if (!saved)
        return;
    std::fflush(stderr);
    dup2(saved.get(), STDERR_FILENO);
    saved.reset();
}

} // namespace

StderrToFile::StderrToFile()
{
    char path[] = "/tmp/terminal-front-end-XXXXXX";
    file_.reset(mkstemp(path));
    if (!file_)
        throw std::runtime_error("mkstemp failed");
    unlink(path);
    saved_ = redirectStderr(file_.get());
}

void StderrToFile::restore()
{
    putStderrBack(saved_);
}

std::string StderrToFile::text() const
{
    std::string all;
    char buffer[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = pread(file_.get(), buffer, sizeof buffer, offset);
        if (got <= 0)
            break;
        all.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
    return all;
}

StderrToPty::StderrToPty(unsigned short columns)
{
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0)
        throw std::runtime_error("openpty failed");
    master_.reset(master);
    slave_.reset(slave);
    termios mode{};
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    saved_ = redirectStderr(slave);
}

void StderrToPty::restore()
{
    putStderrBack(saved_);
}

const std::string& StderrToPty::read(std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        char buffer[4096];
        const ssize_t got = ::read(master_.get(), buffer, sizeof buffer);
        if (got > 0) {
            text_.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return text_;
        pollfd watch{master_.get(), POLLIN, 0};
        poll(&watch, 1, static_cast<int>(left.count()));
    }
}

const std::string& StderrToPty::readUntil(const std::function<bool(const std::string&)>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition(read(std::chrono::milliseconds(20))) && std::chrono::steady_clock::now() < deadline) {
    }
    EXPECT_TRUE(condition(text_)) << "not seen on the terminal; got:\n" << text_;
    return text_;
}

} // namespace testsupport
