#include "ui/fltk/fltk_event_loop.h"

#include "platform/poll_event_loop.h"
#include "ui/fltk/x_connection.h"

#include <FL/Fl.H>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// Longest delay taken literally; anything longer waits this long.
constexpr double maximumDelaySeconds = 1e9;
// What Fl::wait takes for "until something happens".
constexpr double waitForever = 1e20;

} // namespace

FltkEventLoop::FltkEventLoop(XConnection& connection)
    : connection_(connection)
{
    if (!makePipe(wakePipe_, O_CLOEXEC | O_NONBLOCK))
        return;
    const int readEnd = wakePipe_.read.get();
    connection_.guarded([this, readEnd] { Fl::add_fd(readEnd, FL_READ, onWakeUp, this); });
}

FltkEventLoop::~FltkEventLoop()
{
    // Once the display is lost FLTK never runs again: what it still holds
    // is left alone.
    if (!poll_ && connection_.isOpen()) {
        for (const auto& entry : watches_)
            Fl::remove_fd(entry.first);
        for (const auto& entry : calls_)
            if (entry.second.token)
                Fl::remove_timeout(onTimeout, entry.second.token.get());
        if (wakePipe_.read)
            Fl::remove_fd(wakePipe_.read.get());
    }
}

void FltkEventLoop::watchDescriptor(int fd, bool forReading, bool forWriting, DescriptorCallback callback)
{
    if (fd < 0)
        return;
    Watch& watch = watches_[fd];
    watch.forReading = forReading;
    watch.forWriting = forWriting;
    watch.callback = std::move(callback);
    if (poll_)
        poll_->watchDescriptor(fd, forReading, forWriting, [this](int ready, bool readable, bool writable) {
            dispatchDescriptor(ready, readable, writable);
        });
    else
        registerWithToolkit(fd, watch);
}

void FltkEventLoop::registerWithToolkit(int fd, const Watch& watch)
{
    const bool forReading = watch.forReading;
    const bool forWriting = watch.forWriting;
    connection_.guarded([this, fd, forReading, forWriting] {
        Fl::remove_fd(fd);
        // One FLTK entry per condition, so that the callback knows which one
        // fired (FLTK does not tell).
        if (forReading)
            Fl::add_fd(fd, FL_READ, onReadable, this);
        if (forWriting)
            Fl::add_fd(fd, FL_WRITE, onWritable, this);
    });
}

void FltkEventLoop::stopWatching(int fd)
{
    if (watches_.erase(fd) == 0)
        return;
    if (poll_)
        poll_->stopWatching(fd);
    else
        connection_.guarded([fd] { Fl::remove_fd(fd); });
}

EventLoop::CallId FltkEventLoop::callLater(double seconds, std::function<void()> callback)
{
    if (!(seconds > 0)) // also catches NaN
        seconds = 0;
    seconds = std::min(seconds, maximumDelaySeconds);
    const CallId id = nextCallId_++;
    Call& call = calls_[id];
    call.due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    call.callback = std::move(callback);
    if (poll_) {
        scheduleOnPoll(id, seconds);
    } else {
        call.token = std::make_unique<CallToken>(CallToken{this, id});
        CallToken* const token = call.token.get();
        connection_.guarded([seconds, token] { Fl::add_timeout(seconds, onTimeout, token); });
    }
    return id;
}

void FltkEventLoop::cancelCall(CallId id)
{
    const auto found = calls_.find(id);
    if (found == calls_.end())
        return;
    if (poll_) {
        if (const auto polled = pollCallIds_.find(id); polled != pollCallIds_.end()) {
            poll_->cancelCall(polled->second);
            pollCallIds_.erase(polled);
        }
    } else if (found->second.token) {
        CallToken* const token = found->second.token.get();
        connection_.guarded([token] { Fl::remove_timeout(onTimeout, token); });
    }
    calls_.erase(found);
}

int FltkEventLoop::run()
{
    // Calls kept over from an earlier run() go back to FLTK with what is left
    // of their delay.
    if (!poll_) {
        for (auto& [id, call] : calls_) {
            if (call.token)
                continue;
            const double left = std::max(0.0, std::chrono::duration<double>(call.due - Clock::now()).count());
            call.token = std::make_unique<CallToken>(CallToken{this, id});
            CallToken* const token = call.token.get();
            connection_.guarded([left, token] { Fl::add_timeout(left, onTimeout, token); });
        }
    }
    while (!stopped_) {
        if (poll_) {
            poll_->run(); // until stop()
            continue;
        }
        if (!connection_.guarded([] { Fl::wait(waitForever); }))
            switchToPoll();
    }
    // The next run() starts afresh.
    const int result = result_;
    stopped_ = false;
    result_ = 0;
    return result;
}

void FltkEventLoop::stop(int result)
{
    if (stopped_)
        return; // the first stop decides the result
    stopped_ = true;
    result_ = result;
    if (poll_)
        poll_->stop(result);
    // Called from a timer, stop() would otherwise leave Fl::wait blocking
    // until the next event.
    if (wakePipe_.write) {
        const char byte = 0;
        ssize_t written;
        do
            written = write(wakePipe_.write.get(), &byte, 1);
        while (written < 0 && errno == EINTR);
    }
}

void FltkEventLoop::onReadable(int fd, void* data)
{
    static_cast<FltkEventLoop*>(data)->dispatchDescriptor(fd, true, false);
    static_cast<FltkEventLoop*>(data)->connection_.leaveToolkitIfLost();
}

void FltkEventLoop::onWritable(int fd, void* data)
{
    static_cast<FltkEventLoop*>(data)->dispatchDescriptor(fd, false, true);
    static_cast<FltkEventLoop*>(data)->connection_.leaveToolkitIfLost();
}

void FltkEventLoop::onWakeUp(int, void* data)
{
    static_cast<FltkEventLoop*>(data)->drainWakePipe();
}

void FltkEventLoop::onTimeout(void* data)
{
    const CallToken* const token = static_cast<CallToken*>(data);
    FltkEventLoop* const loop = token->loop;
    loop->fireCall(token->id); // may free the token
    loop->connection_.leaveToolkitIfLost();
}

void FltkEventLoop::dispatchDescriptor(int fd, bool readable, bool writable)
{
    if (stopped_)
        return; // still ready next time: run() is ending
    const auto found = watches_.find(fd);
    if (found == watches_.end())
        return;
    const Watch& watch = found->second;
    readable = readable && watch.forReading;
    writable = writable && watch.forWriting;
    if (!readable && !writable)
        return;
    // The callback may replace or remove its own watch: call a copy.
    const DescriptorCallback callback = watch.callback;
    if (callback)
        callback(fd, readable, writable);
}

void FltkEventLoop::fireCall(CallId id)
{
    const auto found = calls_.find(id);
    if (found == calls_.end())
        return;
    if (stopped_) {
        // FLTK has already dropped this timeout; keep the call for the next
        // run() rather than make it now, after stop(). Handing it back to
        // FLTK here would not do: Fl::wait goes on firing due timeouts for
        // as long as there are any, so it would never return.
        found->second.token.reset();
        return;
    }
    std::function<void()> callback = std::move(found->second.callback);
    calls_.erase(found);
    if (callback)
        callback();
}

void FltkEventLoop::drainWakePipe()
{
    char buffer[64];
    while (read(wakePipe_.read.get(), buffer, sizeof buffer) > 0) {
    }
}

void FltkEventLoop::switchToPoll()
{
    if (poll_)
        return;
    poll_ = createPollEventLoop();
    // FLTK's timeouts and descriptors died with it: hand ours to the poll loop.
    for (const auto& [fd, watch] : watches_)
        poll_->watchDescriptor(fd, watch.forReading, watch.forWriting,
                               [this](int ready, bool readable, bool writable) {
                                   dispatchDescriptor(ready, readable, writable);
                               });
    const Clock::time_point now = Clock::now();
    for (auto& [id, call] : calls_) {
        call.token.reset();
        scheduleOnPoll(id, std::chrono::duration<double>(call.due - now).count());
    }
    if (onDisplayLost_)
        callLater(0.0, onDisplayLost_);
}

void FltkEventLoop::scheduleOnPoll(CallId id, double seconds)
{
    pollCallIds_[id] = poll_->callLater(seconds, [this, id] {
        pollCallIds_.erase(id);
        fireCall(id);
    });
}
