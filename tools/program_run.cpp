#include "tools/program_run.h"

#include "platform/child_process.h"

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

} // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& workingDirectory)
{
    ProgramResult result;
    if (argv.empty())
        return result;
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        for (int* fds : {outPipe, errPipe}) {
            closeIfOpen(fds[0]);
            closeIfOpen(fds[1]);
        }
        return result;
    }
    ChildProcessOptions options;
    options.argv = argv;
    options.inputFromNull = true;
    options.outputFd = outPipe[1];
    options.errorFd = errPipe[1];
    options.workingDirectory = workingDirectory;
    std::string whyNot;
    std::unique_ptr<ChildProcess> child = ChildProcess::start(options, whyNot);
    closeIfOpen(outPipe[1]);
    closeIfOpen(errPipe[1]);
    if (!child) {
        closeIfOpen(outPipe[0]);
        closeIfOpen(errPipe[0]);
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

    const int status = child->waitForEnd();
    result.started = true;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
