#pragma once

#include <cstdint>
#include <functional>

// The one event loop of the main thread. Everything that happens while the
// download runs (socket readiness, timers, window events, signals) arrives
// through it; nothing waits by spinning.
class EventLoop {
public:
    using DescriptorCallback = std::function<void(int fd, bool readable, bool writable)>;
    using CallId = std::uint64_t;

    virtual ~EventLoop() = default;

    // Watches fd for reading and/or writing, replacing an earlier watch of fd.
    virtual void watchDescriptor(int fd, bool forReading, bool forWriting, DescriptorCallback callback) = 0;
    virtual void stopWatching(int fd) = 0;

    // Calls callback once, after the delay (0: on the next turn of the loop).
    virtual CallId callLater(double seconds, std::function<void()> callback) = 0;
    virtual void cancelCall(CallId id) = 0;

    // Runs until stop(); returns the result given to the first stop() call.
    virtual int run() = 0;
    // Ends run() with the result; safe from any callback of the loop.
    virtual void stop(int result) = 0;
};
