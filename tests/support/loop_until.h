#pragma once

#include "platform/event_loop.h"

#include <functional>

namespace testsupport {

// Runs the loop until condition() holds (looked at every 20 ms). False when
// the loop was stopped by something else first, or after a generous safety
// limit: a guard against hanging, never a timing check.
bool runLoopUntil(EventLoop& loop, const std::function<bool()>& condition);

} // namespace testsupport
