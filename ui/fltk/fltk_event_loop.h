#pragma once

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>

class XConnection;

// The event loop of the window front end: FLTK's own loop (Fl::wait), with
// descriptors watched through Fl::add_fd and calls scheduled through
// Fl::add_timeout. A self-pipe, also watched by FLTK, wakes Fl::wait when
// stop() is called from a timer (after which FLTK would otherwise block).
//
// The loop keeps its own record of every watch and call as well, so that
// when the connection to the X server is lost (see XConnection) it hands
// them over to the poll() loop of the text front ends and goes on there:
// the download carries on, only the window is gone.
class FltkEventLoop final : public EventLoop {
public:
    explicit FltkEventLoop(XConnection& connection);
    ~FltkEventLoop() override;
    FltkEventLoop(const FltkEventLoop&) = delete;
    FltkEventLoop& operator=(const FltkEventLoop&) = delete;

    void watchDescriptor(int fd, bool forReading, bool forWriting, DescriptorCallback callback) override;
    void stopWatching(int fd) override;
    CallId callLater(double seconds, std::function<void()> callback) override;
    void cancelCall(CallId id) override;
    int run() override;
    void stop(int result) override;

    // Called once, on the loop, when the loop goes on without the display.
    void setOnDisplayLost(std::function<void()> callback) { onDisplayLost_ = std::move(callback); }

private:
    using Clock = std::chrono::steady_clock;

    struct Watch {
        bool forReading = false;
        bool forWriting = false;
        DescriptorCallback callback;
    };
    // What FLTK's timeout carries: enough to find the call again.
    struct CallToken {
        FltkEventLoop* loop;
        CallId id;
    };
    struct Call {
        Clock::time_point due;
        std::function<void()> callback;
        std::unique_ptr<CallToken> token; // registered with FLTK while the display is there
    };

    static void onReadable(int fd, void* data);
    static void onWritable(int fd, void* data);
    static void onWakeUp(int fd, void* data);
    static void onTimeout(void* data);

    void dispatchDescriptor(int fd, bool readable, bool writable);
    void fireCall(CallId id);
    void registerWithToolkit(int fd, const Watch& watch);
    void switchToPoll();
    void scheduleOnPoll(CallId id, double seconds);
    void drainWakePipe();

    XConnection& connection_;
    std::map<int, Watch> watches_;
    std::map<CallId, Call> calls_;
    CallId nextCallId_ = 1;
    PipeFds wakePipe_;
    bool stopped_ = false;
    int result_ = 0;
    // The display is gone: everything runs on this loop instead of Fl::wait.
    std::unique_ptr<EventLoop> poll_;
    std::map<CallId, CallId> pollCallIds_; // our call -> the poll loop's
    std::function<void()> onDisplayLost_;
};
