#pragma once

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// How to start a program.
struct ChildProcessOptions {
    // argv[0] is the program: a path, or a name looked up on PATH as a shell would.
    std::vector<std::string> argv;
    // Standard input from /dev/null, so that the program cannot wait for an answer there.
    bool inputFromNull = false;
    // A session of its own: no controlling terminal to ask questions on (a
    // program may open /dev/tty for a password whatever its standard input),
    // and killed when the launcher dies, since a signal to the launcher's
    // process group no longer reaches it.
    bool withoutTerminal = false;
    // Standard output and standard error go to this descriptor when >= 0.
    int outputFd = -1;
    // Standard error goes here instead when >= 0.
    int errorFd = -1;
    // Where the program starts; empty: the launcher's current directory.
    std::string workingDirectory;
};

// A program started by the launcher. It starts with the default handling of
// every signal and an empty signal mask, whatever the launcher ignores or
// blocks, and inherits the environment, the current directory and (unless
// the options say otherwise) the standard streams.
class ChildProcess {
public:
    // Starts the program. Null when it cannot be started (not found, the
    // arguments too long for the kernel, no memory, ...): whyNot then holds
    // the system's reason, and errno its number.
    static std::unique_ptr<ChildProcess> start(const ChildProcessOptions& options, std::string& whyNot);

    // A child still running is killed (with its session, when it has one) and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Sends the signal to the child, or to its whole session's process group
    // when it has a session of its own. Nothing once it has been reaped.
    void sendSignal(int signal);

    // Calls onExit with the wait status (as waitpid gives it) on the loop once
    // the child has ended. The loop must outlive the watch, or stopWatching() be called.
    void whenExited(EventLoop& loop, std::function<void(int waitStatus)> onExit);
    void stopWatching();

    // Waits, blocking, until the child has ended; its wait status.
    int waitForEnd();

    // The wait status once the child has been reaped.
    const std::optional<int>& waitStatus() const { return waitStatus_; }

private:
    ChildProcess(pid_t pid, bool ownGroup);
    bool reap(bool block);
    void pollForExit();

    pid_t pid_;
    bool ownGroup_;
    UniqueFd pidFd_;
    std::optional<int> waitStatus_;
    EventLoop* loop_ = nullptr;
    std::optional<EventLoop::CallId> pollCall_;
    std::function<void(int)> onExit_;
};

// The full path of a program name as a shell would find it on PATH (a name
// holding "/" is taken as it is); empty when there is none.
std::string findProgram(const std::string& name);

// For a child forked to work for the launcher without exec (a lock waiter, a
// hasher): the launcher's signal handlers and mask are not for it, and it
// must never outlive the launcher. False when the launcher has already gone.
// Async-signal-safe.
bool becomeLauncherHelper(pid_t launcher);

// What runChild does with the child's standard output and standard error.
enum class ChildOutput {
    Inherited, // they stay the launcher's own (or what the options say)
    Together,  // both gathered into ChildRun::output, in the order written
    Apart,     // standard output into ChildRun::output, standard error into errorOutput
};

// A program that runChild ran to its end.
struct ChildRun {
    bool started = false; // false: it could not be started; whyNot and error tell why
    bool interrupted = false; // not started: a termination signal had ended the run (EINTR)
    std::string whyNot;
    int error = 0;       // the errno of that failure
    int waitStatus = -1; // as waitpid gives it, once started
    std::string output;
    std::string errorOutput;

    // Started, and exited with status 0.
    bool succeeded() const { return started && waitStatus == 0; }
};

// Told of a termination signal that reached the launcher while the child runs.
using ChildSignalHandler = std::function<void(ChildProcess& child, int signal, bool sentByAProcess)>;

// Starts the program, waits until it has ended and gathers its output as
// asked. With onSignal, SIGINT, SIGTERM and SIGHUP do not end the launcher
// meanwhile: each becomes a call of onSignal (see TerminationSignals), which
// may pass it on to the child; without, they keep their usual effect. With
// onSignal, nothing is started once the run has had a termination signal
// (pendingTerminationSignal): the result is then interrupted.
// meanwhile, when given, is called every tenth of a second while the child
// runs. What a program left in the background writes after the child's end
// is not waited for.
ChildRun runChild(const ChildProcessOptions& options, ChildOutput output, const ChildSignalHandler& onSignal = {},
                  const std::function<void()>& meanwhile = {});
