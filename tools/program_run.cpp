#include "tools/program_run.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void closeIfOpen(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void execChild(const std::vector<char*>& words, const std::string& workingDirectory, int outFd,
                            int errFd, int reportFd)
{
    const int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd < 0 || dup2(nullFd, STDIN_FILENO) < 0 || dup2(outFd, STDOUT_FILENO) < 0
        || dup2(errFd, STDERR_FILENO) < 0 || (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)) {
        const int error = errno;
        (void)!write(reportFd, &error, sizeof error);
        _exit(127);
    }
    execvp(words[0], words.data());
    const int error = errno;
    (void)!write(reportFd, &error, sizeof error);
    _exit(127);
}

} // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& workingDirectory)
{
    ProgramResult result;
    if (argv.empty())
        return result;
    std::vector<char*> words;
    for (const std::string& word : argv)
        words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);

    // The third pipe carries the child's errno when exec fails; it closes
    // unread on a successful exec.
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    int reportPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(reportPipe, O_CLOEXEC) != 0) {
        for (int* fds : {outPipe, errPipe, reportPipe}) {
            closeIfOpen(fds[0]);
            closeIfOpen(fds[1]);
        }
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0)
        execChild(words, workingDirectory, outPipe[1], errPipe[1], reportPipe[1]);
    closeIfOpen(outPipe[1]);
    closeIfOpen(errPipe[1]);
    closeIfOpen(reportPipe[1]);
    if (pid < 0) {
        closeIfOpen(outPipe[0]);
        closeIfOpen(errPipe[0]);
        closeIfOpen(reportPipe[0]);
        return result;
    }

    // Both streams at once, so that a child filling one pipe never waits on
    // the other; poll() sleeps until there is something to read.
    pollfd watched[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int openStreams = 2;
    while (openStreams > 0) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0)
                continue;
            char buffer[8192];
            const ssize_t count = read(watched[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                close(watched[i].fd);
                watched[i].fd = -1;
                --openStreams;
            }
        }
    }
    for (pollfd& entry : watched)
        closeIfOpen(entry.fd);

    int execError = 0;
    const bool execFailed = read(reportPipe[0], &execError, sizeof execError) == sizeof execError;
    closeIfOpen(reportPipe[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.started = !execFailed;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
