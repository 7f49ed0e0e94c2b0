#pragma once

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

#include <functional>

// While an object of this class lives, SIGINT, SIGTERM and SIGHUP do not kill
// the process: each one is turned into a call of onSignal on the event loop
// (through a self-pipe), so that it can end the run in order. The former
// handlers come back when the object goes away.
//
// sentByAProcess tells a signal that some process sent with kill() from one
// the kernel sent, as a terminal does to its whole foreground process group
// (Ctrl-C, a hang-up): the launcher's own children got the latter already.
class TerminationSignals {
public:
    TerminationSignals(EventLoop& loop, std::function<void(int signal)> onSignal);
    TerminationSignals(EventLoop& loop, std::function<void(int signal, bool sentByAProcess)> onSignal);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    EventLoop& loop_;
    PipeFds pipe_;
    std::function<void(int, bool)> onSignal_;
};
