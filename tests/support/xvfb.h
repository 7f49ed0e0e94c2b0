#pragma once

// An X server for the window tests (Xvfb), and what those tests need around
// it: a fixture with one server per suite, a display number nobody serves,
// and a forked child for every case that opens a display (FLTK keeps one
// display per process and cannot be taken back to none).

#include "support/process.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/types.h>

namespace testsupport {

// An Xvfb server on a display number it picks itself (-displayfd), ready
// once it has told the number. With keepAcrossClients, the server does not
// reset itself whenever its last client leaves (which each child of the
// tests is); without, it does, as a real server may.
class Xvfb {
public:
    explicit Xvfb(bool keepAcrossClients = false);
    bool running() const { return !display_.empty(); }
    const std::string& display() const { return display_; }
    pid_t pid() const { return process_->pid(); }
    std::string log() const { return process_->err(); }

private:
    std::unique_ptr<BackgroundProcess> process_;
    std::string display_;
};

// One Xvfb for the whole suite; each case is skipped where Xvfb is not
// installed, and fails where it does not start.
class XvfbSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    static const std::string& display() { return server_->display(); }

private:
    static Xvfb* server_;
};

// Runs body in a forked child and fails when the child fails (or dies, or
// hangs past a generous safety limit). The child's failures are printed by
// GoogleTest there and reported here through its exit status.
void inChild(const std::function<void()>& body);

// A display number with no server: neither socket nor lock file.
std::string unusedDisplay();

} // namespace testsupport
