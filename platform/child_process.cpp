#include "platform/child_process.h"

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
        UniqueFd input(open("/dev/null", O_RDONLY));
        if (!input || dup2(input.get(), STDIN_FILENO) < 0)
            failure = errno;
        if (input.get() == STDIN_FILENO)
            input.release(); // it is the standard input now
        input.reset();       // exec is no return: nothing else would close it
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

namespace {

// The words as exec wants them: pointers into the strings, then a null.
std::vector<char*> nullTerminated(const std::vector<std::string>& words)
{
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
    for (const std::string& word : words)
        pointers.push_back(const_cast<char*>(word.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// What the child said through the pipe before exec: the errno of a failed
// exec, or 0 when exec closed the pipe without a word.
int execFailureOf(UniqueFd& pipeReadEnd)
{
    int failure = 0;
    ssize_t got;
    do
        got = read(pipeReadEnd.get(), &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    pipeReadEnd.reset();
    return got == static_cast<ssize_t>(sizeof failure) ? failure : 0;
}

} // namespace

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
    std::vector<char*> argv = nullTerminated(options.argv);

    // The child tells through this pipe why exec failed; exec closes it.
    PipeFds errorPipe;
    if (!makePipe(errorPipe)) {
        whyNot = std::strerror(errno);
        return nullptr;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        const int failure = errno;
        whyNot = std::strerror(failure);
        errno = failure; // the pipe closes keeping it
        return nullptr;
    }
    if (pid == 0)
        becomeProgram(options, path.c_str(), argv.data(), parent, errorPipe.write.get());

    errorPipe.write.reset();
    const int failure = execFailureOf(errorPipe.read);
    std::unique_ptr<ChildProcess> child(new ChildProcess(pid, options.withoutTerminal));
    if (failure != 0) {
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
    if (pidFd_) {
        loop.watchDescriptor(pidFd_.get(), true, false, [this](int, bool, bool) {
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
    if (pidFd_)
        loop_->stopWatching(pidFd_.get());
    if (pollCall_)
        loop_->cancelCall(*pollCall_);
    pollCall_.reset();
    loop_ = nullptr;
    onExit_ = nullptr;
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
