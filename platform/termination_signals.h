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

// For one run of the launcher, from its start until it ends: SIGINT, SIGTERM
// and SIGHUP never end the process halfway. The first one that arrives while
// the object lives is kept (pendingTerminationSignal), whatever handles it
// at that moment, so that a signal that comes between two steps of the run
// is not lost: every TerminationSignals object made afterwards is told of
// it at once, runChild starts no program on its behalf (platform/child_process.h),
// and the run ends by it (endBySignal) once it has cleaned up. The former
// handlers come back when the object goes away.
class TerminationRecord {
public:
    TerminationRecord();
    ~TerminationRecord();
    TerminationRecord(const TerminationRecord&) = delete;
    TerminationRecord& operator=(const TerminationRecord&) = delete;
};

// The first termination signal that arrived while a TerminationRecord
// lives; 0 when none has (or none lives).
int pendingTerminationSignal();

// Ends the process by the signal with its default action, as if it had never
// been caught: a shell then sees a run killed by it (128 + its number) and a
// script stops.
[[noreturn]] void endBySignal(int signal);
