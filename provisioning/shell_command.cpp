#include "provisioning/shell_command.h"

#include "platform/child_process.h"

#include <cerrno>
#include <csignal>

namespace {

bool isShellSafe(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '/': case '.': case '_': case '-': case '+': case ',': case ':': case '@': case '%': case '=':
        return true;
    default:
        return false;
    }
}

} // namespace

std::string smart_quote(std::string text)
{
    bool safe = !text.empty();
    for (unsigned char c : text)
        safe = safe && isShellSafe(c);
    if (safe)
        return text;

    // Inside double quotes only these four keep a meaning; a backslash takes it away.
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '$' || c == '`' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string argv2cmdline(int argc, const char** argv)
{
    std::string line;
    for (int i = 1; i < argc; ++i) {
        line += smart_quote(argv[i]);
        line += ' ';
    }
    return line;
}

int call_system(std::string /*program*/, std::string commandLine)
{
    // What system() does, but a failure to start the shell is told apart
    // (-1 and errno) instead of looking like a command that exited with 127,
    // and the command starts with the default handling of every signal.
    const std::string line(commandLine.c_str()); // up to the first NUL, as system() would take it
    ChildProcessOptions options;
    options.argv = {"/bin/sh", "-c", line};
    // Like system(), the launcher does not quit while the command runs. A
    // termination signal sent to the launcher is passed on to the command,
    // and the launcher waits for it to end; a Ctrl-C or a hang-up from the
    // terminal has reached the command already.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction formerQuit {};
    sigaction(SIGQUIT, &ignore, &formerQuit);
    const ChildRun shell =
        runChild(options, ChildOutput::Inherited, [](ChildProcess& child, int signal, bool sentByAProcess) {
            if (signal != SIGINT || sentByAProcess)
                child.sendSignal(signal);
        });
    sigaction(SIGQUIT, &formerQuit, nullptr);
    if (!shell.started) {
        errno = shell.error;
        return -1;
    }
    return shell.waitStatus;
}
