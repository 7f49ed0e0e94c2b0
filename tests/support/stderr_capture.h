#pragma once

// Standard error of the test process sent elsewhere for a while, to read
// back what a front end wrote: a file (not a terminal: plain lines), or the
// slave side of a real pseudo-terminal (interactive). Both put the real
// stderr back when restored or gone.

#include "platform/unique_fd.h"

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

class StderrToFile {
public:
    StderrToFile();
    ~StderrToFile() { restore(); }
    StderrToFile(const StderrToFile&) = delete;
    StderrToFile& operator=(const StderrToFile&) = delete;

    void restore();
    // All that was written so far.
    std::string text() const;

private:
    UniqueFd file_;
    UniqueFd saved_;
};

// Raw (no newline translation), the given number of columns wide; the test
// reads the master side.
class StderrToPty {
public:
    explicit StderrToPty(unsigned short columns = 100);
    ~StderrToPty() { restore(); }
    StderrToPty(const StderrToPty&) = delete;
    StderrToPty& operator=(const StderrToPty&) = delete;

    void restore();
    // Reads what has arrived, waiting at most the given time for more; all
    // read so far.
    const std::string& read(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // Reads until condition() holds on all that was read, and fails the test
    // when it does not come true within a generous safety limit.
    const std::string& readUntil(const std::function<bool(const std::string&)>& condition);
    std::string text() const { return text_; }

private:
    UniqueFd master_;
    UniqueFd slave_;
    UniqueFd saved_;
    std::string text_;
};

} // namespace testsupport
