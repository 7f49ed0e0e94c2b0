#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <utility>

// How fast the bytes of a transfer come, measured over its recent past: the
// speed follows a link that changes, without jumping at every chunk.
class TransferSpeed {
public:
    using Clock = std::chrono::steady_clock;

    // The count of bytes received so far, at a moment. A count below the last
    // one means the transfer started again: the measurement starts again.
    void add(Clock::time_point when, double bytes);
    // Forgets everything measured.
    void clear() { samples_.clear(); }

    // Bytes per second over the last few seconds; nullopt until the samples
    // span half a second.
    std::optional<double> bytesPerSecond() const;

private:
    std::deque<std::pair<Clock::time_point, double>> samples_;
};
