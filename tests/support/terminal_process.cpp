#include "support/terminal_process.h"

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& words)
{
    std::vector<char*> pointers;
    for (std::string& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

TerminalRun runOnTerminal(std::vector<std::string> argv, std::vector<std::string> environment,
                          std::chrono::seconds safetyLimit)
{
    // The child of the fork only calls execve: its arguments are made before.
    std::vector<char*> arguments = pointersTo(argv);
    std::vector<char*> envp = pointersTo(environment);
    TerminalRun result;
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0)
        return result;
    if (pid == 0) {
        execve(arguments[0], arguments.data(), envp.data());
        _exit(127);
    }
    const auto giveUp = std::chrono::steady_clock::now() + safetyLimit;
    result.finished = true;
    for (;;) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 100) > 0) {
            char buffer[512];
            const ssize_t got = read(terminal, buffer, sizeof buffer);
            if (got <= 0)
                break; // the program and everything it started are gone
            result.output.append(buffer, static_cast<std::size_t>(got));
        }
        if (std::chrono::steady_clock::now() > giveUp) {
            kill(pid, SIGKILL);
            result.finished = false;
            break;
        }
    }
    close(terminal);
    waitpid(pid, &result.waitStatus, 0);
    return result;
}

} // namespace testsupport
