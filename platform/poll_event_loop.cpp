#include "platform/poll_event_loop.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <map>
#include <memory>
#include <poll.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock; // monotonic: wall-clock jumps do not move timers

// Longest delay taken literally; anything longer waits this long (about 31 years).
constexpr double kMaximumDelaySeconds = 1e9;

class PollEventLoop final : public EventLoop {
public:
    void watchDescriptor(int fd, bool forReading, bool forWriting, DescriptorCallback callback) override
    {
        if (fd < 0)
            return;
        Watch& watch = watches_[fd];
        watch.forReading = forReading;
        watch.forWriting = forWriting;
        watch.callback = std::move(callback);
        // A new generation tells a turn in progress that the readiness it
        // polled for belongs to the replaced watch.
        watch.generation = ++lastGeneration_;
    }

    void stopWatching(int fd) override { watches_.erase(fd); }

    CallId callLater(double seconds, std::function<void()> callback) override
    {
        if (!(seconds > 0)) // also catches NaN
            seconds = 0;
        seconds = std::min(seconds, kMaximumDelaySeconds);
        const auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        const CallId id = nextCallId_++;
        const Clock::time_point due = Clock::now() + delay;
        timers_.emplace(TimerKey{due, id}, std::move(callback));
        timerDue_.emplace(id, due);
        return id;
    }

    void cancelCall(CallId id) override
    {
        const auto found = timerDue_.find(id);
        if (found == timerDue_.end())
            return;
        timers_.erase(TimerKey{found->second, id});
        timerDue_.erase(found);
    }

    int run() override
    {
        while (!stopRequested_)
            turn();
        // The next run() starts afresh.
        const int result = result_;
        stopRequested_ = false;
        result_ = 0;
        return result;
    }

    void stop(int result) override
    {
        if (stopRequested_)
            return; // the first stop decides the result
        stopRequested_ = true;
        result_ = result;
    }

private:
    struct Watch {
        bool forReading = false;
        bool forWriting = false;
        DescriptorCallback callback;
        std::uint64_t generation = 0;
    };

    using TimerKey = std::pair<Clock::time_point, CallId>; // ordered by due time, then by creation

    // One wait in poll() and the dispatch of what it found.
    void turn()
    {
        std::vector<pollfd> descriptors;
        std::vector<std::uint64_t> generations;
        descriptors.reserve(watches_.size());
        for (const auto& [fd, watch] : watches_) {
            const short events = static_cast<short>((watch.forReading ? POLLIN : 0) | (watch.forWriting ? POLLOUT : 0));
            if (events == 0)
                continue; // poll would still report hang-ups nobody asked for
            descriptors.push_back(pollfd{fd, events, 0});
            generations.push_back(watch.generation);
        }

        // On EINTR (a signal handler ran and has queued what it has to say)
        // no descriptor is looked at; the timers still are.
        const int ready = poll(descriptors.data(), descriptors.size(), pollTimeoutMilliseconds());

        for (std::size_t i = 0; ready > 0 && i < descriptors.size() && !stopRequested_; ++i) {
            const pollfd& polled = descriptors[i];
            if (polled.revents == 0)
                continue;
            const auto found = watches_.find(polled.fd);
            if (found == watches_.end() || found->second.generation != generations[i])
                continue; // removed or replaced by an earlier callback of this turn
            if (polled.revents & POLLNVAL) {
                // Closed without stopWatching: drop the watch rather than
                // waking up for it forever.
                watches_.erase(found);
                continue;
            }
            const Watch& watch = found->second;
            const bool trouble = (polled.revents & (POLLERR | POLLHUP)) != 0;
            const bool readable = watch.forReading && ((polled.revents & (POLLIN | POLLPRI)) || trouble);
            const bool writable = watch.forWriting && ((polled.revents & POLLOUT) || trouble);
            // The callback may replace or remove its own watch: call a copy.
            const DescriptorCallback callback = watch.callback;
            if (callback)
                callback(polled.fd, readable, writable);
        }

        fireDueTimers();
    }

    void fireDueTimers()
    {
        // Only what is due now: calls that these callbacks schedule, even
        // with delay 0, wait for the next turn, so that a call that keeps
        // scheduling itself cannot keep the loop from polling.
        const Clock::time_point now = Clock::now();
        std::vector<TimerKey> due;
        for (const auto& entry : timers_) {
            if (entry.first.first > now)
                break;
            due.push_back(entry.first);
        }
        for (const TimerKey& key : due) {
            if (stopRequested_)
                return; // the rest stays scheduled for a later run()
            const auto found = timers_.find(key);
            if (found == timers_.end())
                continue; // cancelled by an earlier callback of this turn
            std::function<void()> callback = std::move(found->second);
            timers_.erase(found);
            timerDue_.erase(key.second);
            if (callback)
                callback();
        }
    }

    int pollTimeoutMilliseconds() const
    {
        if (stopRequested_)
            return 0;
        if (timers_.empty())
            return -1;
        const auto remaining = timers_.begin()->first.first - Clock::now();
        if (remaining <= Clock::duration::zero())
            return 0;
        // Rounded up: waking before the timer is due would only mean a second,
        // empty wait.
        const double milliseconds = std::ceil(std::chrono::duration<double, std::milli>(remaining).count());
        return milliseconds >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
    }

    std::map<int, Watch> watches_;
    std::uint64_t lastGeneration_ = 0;
    std::map<TimerKey, std::function<void()>> timers_;
    std::unordered_map<CallId, Clock::time_point> timerDue_;
    CallId nextCallId_ = 1;
    bool stopRequested_ = false;
    int result_ = 0;
};

} // namespace

std::unique_ptr<EventLoop> createPollEventLoop()
{
    return std::make_unique<PollEventLoop>();
}
