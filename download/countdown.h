#pragma once

#include "platform/event_loop.h"

#include <chrono>
#include <functional>

// A wait counted down in whole seconds on the loop: told each time the
// number of seconds left goes down, until none are left. One call a second
// at most, so that a run that waits stays idle.
class Countdown {
public:
    using Tick = std::function<void(long secondsLeft)>;

    explicit Countdown(EventLoop& loop) : loop_(loop) {}
    ~Countdown() { stop(); }
    Countdown(const Countdown&) = delete;
    Countdown& operator=(const Countdown&) = delete;

    // Counts the seconds of the wait down from startFrom (the wait rounded
    // up, as it was announced, and shown by the caller): tick(startFrom - 1)
    // once that many whole seconds are left, ... tick(0) at its end.
    // Replaces a countdown under way.
    void start(double seconds, long startFrom, Tick tick);
    // No more ticks.
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    void scheduleNextTick();

    EventLoop& loop_;
    Tick tick_;
    Clock::time_point end_{};
    long shown_ = 0;
    EventLoop::CallId call_ = 0;
};
