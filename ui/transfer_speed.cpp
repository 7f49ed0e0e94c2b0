#include "ui/transfer_speed.h"

namespace {

// Over how much of the recent past the speed is measured.
constexpr auto speedWindow = std::chrono::seconds(5);
// The speed is told once it has been measured over this long at least.
constexpr auto shortestSpeedSpan = std::chrono::milliseconds(500);

} // namespace

void TransferSpeed::add(Clock::time_point when, double bytes)
{
    if (!samples_.empty() && bytes < samples_.back().second)
        samples_.clear(); // started again
    samples_.emplace_back(when, bytes);
    // Keep one sample older than the window, so that the span covers it.
    while (samples_.size() > 2 && when - samples_[1].first > speedWindow)
        samples_.pop_front();
}

std::optional<double> TransferSpeed::bytesPerSecond() const
{
    if (samples_.size() < 2)
        return std::nullopt;
    const auto span = samples_.back().first - samples_.front().first;
    if (span < shortestSpeedSpan)
        return std::nullopt;
    const double seconds = std::chrono::duration<double>(span).count();
    return (samples_.back().second - samples_.front().second) / seconds;
}
