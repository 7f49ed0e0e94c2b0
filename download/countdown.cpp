#include "download/countdown.h"

#include <algorithm>
#include <utility>

void Countdown::start(double seconds, long startFrom, Tick tick)
{
    stop();
    tick_ = std::move(tick);
    end_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    shown_ = std::max(0L, startFrom);
    scheduleNextTick();
}

void Countdown::stop()
{
    if (call_ != 0)
        loop_.cancelCall(call_);
    call_ = 0;
}

void Countdown::scheduleNextTick()
{
    if (shown_ <= 0)
        return;
    // The number goes down when exactly that many seconds fewer are left.
    const Clock::time_point due = end_ - std::chrono::seconds(shown_ - 1);
    const double delay = std::chrono::duration<double>(due - Clock::now()).count();
    call_ = loop_.callLater(std::max(0.0, delay), [this] {
        call_ = 0;
        --shown_;
        scheduleNextTick();
        const Tick tick = tick_; // a copy: the tick may stop or restart the countdown
        tick(shown_);
    });
}
