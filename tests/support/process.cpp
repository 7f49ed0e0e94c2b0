#include "support/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

std::string errnoText(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

// A descriptor above the standard three, so that a test process started with
// a closed stdin/stdout/stderr cannot have a pipe land on 0, 1 or 2.
int aboveStandardStreams(int fd)
{
    if (fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    close(fd);
    if (moved < 0)
        throw std::runtime_error(errnoText("fcntl(F_DUPFD_CLOEXEC)", error));
    return moved;
}

void makePipe(int& readEnd, int& writeEnd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(errnoText("pipe2", errno));
    readEnd = aboveStandardStreams(fds[0]);
    writeEnd = aboveStandardStreams(fds[1]);
}

std::optional<std::string> lookUp(const std::vector<std::string>& environment, const std::string& name)
{
    const std::string prefix = name + "=";
    for (const auto& entry : environment)
        if (entry.compare(0, prefix.size(), prefix) == 0)
            return entry.substr(prefix.size());
    return std::nullopt;
}

// A program name without "/" is looked up on the child's own PATH, as a
// shell with the same environment would do it.
std::string resolveProgram(const std::string& program, const std::vector<std::string>& environment)
{
    if (program.find('/') != std::string::npos)
        return program;
    const std::string path = lookUp(environment, "PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    std::string::size_type start = 0;
    for (;;) {
        const auto colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (dir.empty())
            dir = ".";
        const std::string candidate = dir + "/" + program;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return program; // posix_spawn will fail with ENOENT and say so
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

std::vector<std::string> environmentWith(const EnvChanges& changes)
{
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    for (const auto& [name, value] : changes) {
        const std::string prefix = name + "=";
        std::erase_if(entries, [&](const std::string& entry) { return entry.compare(0, prefix.size(), prefix) == 0; });
        if (value)
            entries.push_back(prefix + *value);
    }
    return entries;
}

std::string ProcessResult::describe() const
{
    if (hung)
        return "hung (killed by the safety limit)";
    if (exited)
        return "exit " + std::to_string(exitCode);
    if (signaled)
        return "signal " + std::to_string(signal);
    return "not ended";
}

BackgroundProcess::BackgroundProcess(const ProcessOptions& options) : limit_(options.safetyLimit)
{
    if (options.argv.empty())
        throw std::invalid_argument("BackgroundProcess: empty argv");
    for (const auto& word : options.argv)
        description_ += (description_.empty() ? "" : " ") + word;

    std::vector<std::string> environment = environmentWith(options.env);
    std::vector<std::string> arguments = options.argv;
    const std::string program = resolveProgram(arguments[0], environment);

    int outWrite = -1;
    int errWrite = -1;
    makePipe(outFd_, outWrite);
    makePipe(errFd_, errWrite);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite, 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite, 2);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU, SIGUSR1, SIGUSR2,
                       SIGALRM})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argvPointers = pointers(arguments);
    std::vector<char*> envPointers = pointers(environment);
    const int error = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argvPointers.data(),
                                  envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(outWrite);
    close(errWrite);
    if (error != 0) {
        close(outFd_);
        close(errFd_);
        outFd_ = errFd_ = -1;
        finished_ = true;
        throw std::runtime_error(errnoText("cannot start " + description_, error));
    }
    deadline_ = std::chrono::steady_clock::now() + limit_;
}

BackgroundProcess::~BackgroundProcess()
{
    if (!finished_ && pid_ > 0) {
        kill(-pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
}

bool BackgroundProcess::sendSignal(int signal)
{
    if (finished_)
        return false;
    return kill(pid_, signal) == 0;
}

void BackgroundProcess::pump(std::chrono::milliseconds maxWait)
{
    pollfd fds[2];
    int count = 0;
    if (outFd_ >= 0)
        fds[count++] = pollfd{outFd_, POLLIN, 0};
    if (errFd_ >= 0)
        fds[count++] = pollfd{errFd_, POLLIN, 0};

    // Without pipes left there is nothing to wake up for but the child's end.
    const auto wait = count == 0 ? std::min(maxWait, std::chrono::milliseconds(20)) : maxWait;
    const int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR)
        throw std::runtime_error(errnoText("poll", errno));
    for (int i = 0; ready > 0 && i < count; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        char buffer[65536];
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        std::string& sink = fds[i].fd == outFd_ ? result_.out : result_.err;
        if (got > 0) {
            sink.append(buffer, static_cast<size_t>(got));
        } else {
            close(fds[i].fd);
            (fds[i].fd == outFd_ ? outFd_ : errFd_) = -1;
        }
    }

    if (!finished_) {
        int status = 0;
        const pid_t reaped = waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_) {
            finished_ = true;
            if (WIFEXITED(status)) {
                result_.exited = true;
                result_.exitCode = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                result_.signaled = true;
                result_.signal = WTERMSIG(status);
            }
        }
    }
}

void BackgroundProcess::killAsHung()
{
    // The whole group: a hung launcher usually waits on a shell or an agent.
    kill(-pid_, SIGKILL);
    if (!finished_) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        finished_ = true;
    }
    result_.hung = true;
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
    outFd_ = errFd_ = -1;
    ADD_FAILURE() << "safety limit of " << limit_.count() << " s ran out; killed: " << description_
                  << "\n--- stdout so far:\n" << result_.out << "\n--- stderr so far:\n" << result_.err;
}

bool BackgroundProcess::waitUntil(const std::function<bool()>& condition)
{
    for (;;) {
        if (condition())
            return true;
        if (finished_ && outFd_ < 0 && errFd_ < 0)
            return false;
        if (result_.hung)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline_) {
            killAsHung();
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now);
        // Short rounds, so that conditions on files are looked at often.
        pump(std::min(left, std::chrono::milliseconds(20)));
    }
}

bool BackgroundProcess::waitForOutput(const std::string& text)
{
    return waitUntil([&] {
        return result_.out.find(text) != std::string::npos || result_.err.find(text) != std::string::npos;
    });
}

ProcessResult BackgroundProcess::wait()
{
    while (!(finished_ && outFd_ < 0 && errFd_ < 0) && !result_.hung) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline_) {
            killAsHung();
            break;
        }
        pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now) + std::chrono::milliseconds(1));
    }
    return result_;
}

ProcessResult runProcess(const ProcessOptions& options)
{
    BackgroundProcess process(options);
    return process.wait();
}

ProcessResult run(std::vector<std::string> argv, EnvChanges env, std::string workingDirectory)
{
    return runProcess(ProcessOptions(std::move(argv), std::move(env), std::move(workingDirectory)));
}

std::string runningTestProgram()
{
    char* resolved = realpath("/proc/self/exe", nullptr);
    const std::string path = resolved != nullptr ? resolved : "";
    free(resolved);
    return path;
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name))
{
    if (const char* old = std::getenv(name_.c_str()))
        previous_ = old;
    if (value)
        setenv(name_.c_str(), value->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv()
{
    if (previous_)
        setenv(name_.c_str(), previous_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

} // namespace testsupport
