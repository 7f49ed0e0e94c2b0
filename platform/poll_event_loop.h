#pragma once

#include "platform/event_loop.h"

#include <memory>

// The event loop on poll(2), for the front ends without a window toolkit.
std::unique_ptr<EventLoop> createPollEventLoop();
