#pragma once

// Running programs from tests: no shell in between, stdout and stderr
// captured apart, a fresh process group for the child, and a generous safety
// limit that kills a hung child (and fails the test) instead of letting the
// suite hang. The limit is a guard, never a timing assertion.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

// Environment changes applied on top of the current environment, in order:
// a value sets the variable, std::nullopt removes it.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The test process's environment with the changes applied, as "NAME=value"
// entries: what a child started with them gets.
std::vector<std::string> environmentWith(const EnvChanges& changes);

// How long a child may run before it is taken for hung.
inline constexpr std::chrono::seconds kSafetyLimit{120};

struct ProcessOptions {
    ProcessOptions() = default;
    ProcessOptions(std::vector<std::string> argv_, EnvChanges env_ = {}, std::string workingDirectory_ = {})
        : argv(std::move(argv_)), env(std::move(env_)), workingDirectory(std::move(workingDirectory_))
    {
    }

    // argv[0] is the program: a path, or a name looked up on the child's PATH.
    std::vector<std::string> argv;
    EnvChanges env;
    // Where the child starts; empty: the test's current directory.
    std::string workingDirectory;
    std::chrono::seconds safetyLimit = kSafetyLimit;
};

struct ProcessResult {
    bool exited = false;   // ended through exit(); exitCode holds its status
    int exitCode = -1;
    bool signaled = false; // killed by a signal; signal holds its number
    int signal = 0;
    bool hung = false;     // killed by the safety limit (the test has been failed)
    std::string out;
    std::string err;

    // "exit 3", "signal 15", "hung": for failure messages.
    std::string describe() const;
};

// Runs the program to its end and returns what it did.
ProcessResult runProcess(const ProcessOptions& options);

// Shorthand: runProcess(ProcessOptions(argv, env, workingDirectory)).
ProcessResult run(std::vector<std::string> argv, EnvChanges env = {}, std::string workingDirectory = {});

// The running test program's own path, every link resolved (the realpath of
// /proc/self/exe); empty when it cannot be read.
std::string runningTestProgram();

// A child running in the background while the test goes on. Its output is
// collected whenever the test waits on it; dropping the object kills the
// child's process group (if still running) and reaps it.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const ProcessOptions& options);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return !finished_; }

    // Sends the signal to the child itself (not its group). False when the
    // child has already been reaped or kill() failed.
    bool sendSignal(int signal);

    // Collects output until condition() holds (checked after every bit of
    // output and at short intervals). False when the child ended first, or
    // the safety limit ran out (then the test has been failed).
    bool waitUntil(const std::function<bool()>& condition);

    // waitUntil() for a piece of text on stdout or stderr.
    bool waitForOutput(const std::string& text);

    // The output collected so far.
    const std::string& out() const { return result_.out; }
    const std::string& err() const { return result_.err; }

    // Collects the rest of the output and reaps the child.
    ProcessResult wait();

private:
    // One round of poll/read/reap, at most maxWait long.
    void pump(std::chrono::milliseconds maxWait);
    void killAsHung();

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool finished_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::seconds limit_;
    std::string description_;
    ProcessResult result_;
};

// Sets or removes an environment variable of the test process itself, and
// puts the old state back when it goes away.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace testsupport
