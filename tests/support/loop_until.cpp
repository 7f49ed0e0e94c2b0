#include "support/loop_until.h"

#include <optional>

namespace testsupport {

bool runLoopUntil(EventLoop& loop, const std::function<bool()>& condition)
{
    constexpr int met = -4242;
    constexpr int gaveUp = -4343;
    const EventLoop::CallId guard = loop.callLater(30.0, [&] { loop.stop(gaveUp); });
    std::optional<EventLoop::CallId> next;
    std::function<void()> check = [&] {
        next.reset();
        if (condition())
            loop.stop(met);
        else
            next = loop.callLater(0.02, check);
    };
    next = loop.callLater(0.0, check);
    const int result = loop.run();
    loop.cancelCall(guard);
    if (next)
        loop.cancelCall(*next);
    return result == met;
}

} // namespace testsupport
