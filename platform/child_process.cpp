#include "platform/child_process.h"

#include "platform/poll_event_loop.h"
#include "platform/termination_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// How often a child's end is looked for where the kernel cannot tell (no pidfd).
constexpr double exitPollSeconds = 0.05;

int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool isExecutableFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeProgram(const ChildProcessOptions& options, const char* path, char* const* argv, pid_t parent,
                                int errorPipe)
{
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &defaults, nullptr); // fails harmlessly for SIGKILL, SIGSTOP and the reserved ones
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    int failure = 0;
    if (options.withoutTerminal) {
        if (setsid() < 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            failure = errno;
        else if (getppid() != parent)
            _exit(127); // the launcher died before the death signal was armed
    }
    if (failure == 0 && options.inputFromNull) {
        const int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, STDIN_FILENO) < 0)
            failure = errno;
        if (input > STDIN_FILENO)
            close(input);
    }
    if (failure == 0 && options.outputFd >= 0) {
        if (dup2(options.outputFd, STDOUT_FILENO) < 0 || dup2(options.outputFd, STDERR_FILENO) < 0)
            failure = errno;
    }
    if (failure == 0 && options.errorFd >= 0 && dup2(options.errorFd, STDERR_FILENO) < 0)
        failure = errno;
    if (failure == 0 && !options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
        failure = errno;
    if (failure == 0) {
        execve(path, argv, environ);
        failure = errno;
    }
    while (write(errorPipe, &failure, sizeof failure) < 0 && errno == EINTR) {
    }
    _exit(127);
}

} // namespace

std::string findProgram(const std::string& name)
{
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return name;
    const char* searchPath = std::getenv("PATH");
    const std::string path = searchPath != nullptr ? searchPath : "/usr/local/bin:/usr/bin:/bin";
    std::string::size_type start = 0;
    for (;;) {
        const auto colon = path.find(':', start);
        std::string directory = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (directory.empty())
            directory = "."; // an empty entry is the current directory
        const std::string candidate = directory + "/" + name;
        if (isExecutableFile(candidate))
            return candidate;
        if (colon == std::string::npos)
            return {};
        start = colon + 1;
    }
}

std::unique_ptr<ChildProcess> ChildProcess::start(const ChildProcessOptions& options, std::string& whyNot)
{
    if (options.argv.empty()) {
        errno = EINVAL;
        whyNot = "no program to start";
        return nullptr;
    }
    const std::string path = findProgram(options.argv.front());
    if (path.empty()) {
        errno = ENOENT;
        whyNot = options.argv.front() + ": " + std::strerror(ENOENT);
        return nullptr;
    }
    // Everything the child needs is made here: it may not allocate.
    std::vector<char*> argv;
    argv.reserve(options.argv.size() + 1);
    for (const std::string& word : options.argv)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        whyNot = std::strerror(errno);
        return nullptr;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        const int failure = errno;
        close(errorPipe[0]);
        close(errorPipe[1]);
        errno = failure;
        whyNot = std::strerror(failure);
        return nullptr;
    }
    if (pid == 0)
        becomeProgram(options, path.c_str(), argv.data(), parent, errorPipe[1]);

    close(errorPipe[1]);
    int failure = 0;
    ssize_t got;
    do
        got = read(errorPipe[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    close(errorPipe[0]);

    std::unique_ptr<ChildProcess> child(new ChildProcess(pid, options.withoutTerminal));
    if (got == static_cast<ssize_t>(sizeof failure)) {
        child->reap(true);
        errno = failure;
        whyNot = std::strerror(failure);
        return nullptr;
    }
    return child;
}

ChildProcess::ChildProcess(pid_t pid, bool ownGroup)
    : pid_(pid), ownGroup_(ownGroup), pidFd_(openPidFd(pid))
{
}

ChildProcess::~ChildProcess()
{
    stopWatching();
    if (!waitStatus_) {
        sendSignal(SIGKILL);
        reap(true);
    }
    if (pidFd_ >= 0)
        close(pidFd_);
}

int ChildProcess::waitForEnd()
{
    reap(true);
    return *waitStatus_;
}

void ChildProcess::sendSignal(int signal)
{
    if (waitStatus_)
        return;
    kill(ownGroup_ ? -pid_ : pid_, signal);
}

bool ChildProcess::reap(bool block)
{
    if (waitStatus_)
        return true;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, block ? 0 : WNOHANG);
        if (done == pid_) {
            waitStatus_ = status;
            return true;
        }
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0) {
            // Reaped by someone else: nothing more to learn about it.
            waitStatus_ = -1;
            return true;
        }
        return false;
    }
}

void ChildProcess::whenExited(EventLoop& loop, std::function<void(int waitStatus)> onExit)
{
    stopWatching();
    loop_ = &loop;
    onExit_ = std::move(onExit);
    if (pidFd_ >= 0) {
        loop.watchDescriptor(pidFd_, true, false, [this](int, bool, bool) {
            if (!reap(false))
                return;
            const auto onExit = std::move(onExit_);
            stopWatching();
            if (onExit)
                onExit(*waitStatus_); // may destroy this object
        });
    } else {
        pollForExit();
    }
}

void ChildProcess::pollForExit()
{
    pollCall_ = loop_->callLater(exitPollSeconds, [this] {
        pollCall_.reset();
        if (!reap(false)) {
            pollForExit();
            return;
        }
        const auto onExit = std::move(onExit_);
        stopWatching();
        if (onExit)
            onExit(*waitStatus_); // may destroy this object
    });
}

void ChildProcess::stopWatching()
{
    if (loop_ == nullptr)
        return;
    if (pidFd_ >= 0)
        loop_->stopWatching(pidFd_);
    if (pollCall_)
        loop_->cancelCall(*pollCall_);
    pollCall_.reset();
    loop_ = nullptr;
    onExit_ = nullptr;
}

int waitHandlingSignals(ChildProcess& child, const std::function<void(int signal, bool sentByAProcess)>& onSignal,
                        int outputFd, std::string* output, const std::function<void()>& meanwhile)
{
    const std::unique_ptr<EventLoop> loop = createPollEventLoop();
    TerminationSignals signals(*loop, onSignal);
    // Reads what is there without waiting: whatever the child started in
    // the background may hold the pipe open long after the child is gone.
    const auto gather = [&] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(outputFd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got == 0; // true at the end of the output
            if (output != nullptr)
                output->append(buffer, static_cast<std::size_t>(got));
        }
    };
    if (outputFd >= 0) {
        fcntl(outputFd, F_SETFL, fcntl(outputFd, F_GETFL) | O_NONBLOCK);
        loop->watchDescriptor(outputFd, true, false, [&](int fd, bool, bool) {
            if (gather())
                loop->stopWatching(fd);
        });
    }
    child.whenExited(*loop, [&](int) { loop->stop(0); });
    std::function<void()> tick;
    tick = [&] {
        meanwhile();
        loop->callLater(0.1, tick);
    };
    if (meanwhile)
        loop->callLater(0.1, tick);
    loop->run();
    if (outputFd >= 0) {
        gather();
        loop->stopWatching(outputFd);
    }
    child.stopWatching();
    return child.waitStatus().value_or(-1);
}

bool becomeLauncherHelper(pid_t launcher)
{
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == launcher;
}
