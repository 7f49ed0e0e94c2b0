#include "ui/fltk/x_connection.h"

#include "platform/unique_fd.h"

#include <FL/x.H>
#include <X11/Xlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How long a server may take to answer the connection setup before it is
// taken as unusable.
constexpr auto displayProbeLimit = std::chrono::seconds(3);

int onXIOError(Display* display)
{
    XConnection::instance().onIOError(display);
    // Not our display, or no guard to return to (which our code never
    // leaves): Xlib goes on as it would by default.
    return 0;
}

#ifdef LAUNCHER_HAVE_X_IO_ERROR_EXIT_HANDLER
void onXIOErrorExit(Display*, void*)
{
    // Returning instead of exiting leaves the Display unusable but the
    // process alive; onXIOError has marked it lost, so nobody uses it again.
}
#endif

int onXProtocolError(Display*, XErrorEvent*)
{
    // A request that failed (a window gone, a property refused) is no reason
    // to stop: FLTK copes with such errors and so does the download. Xlib's
    // default handler would end the process.
    return 0;
}

// Tries the display in a child process, which is killed when the server does
// not answer within the limit, so that a hanging server cannot hang the
// launcher. A child that got in keeps its connection until release(): an X
// server resets itself when its last client leaves, and a connection made
// during that reset is refused, so the server must never be left without
// this process as a client between the try and the real connection.
class DisplayProbe {
public:
    DisplayProbe() = default;
    DisplayProbe(const DisplayProbe&) = delete;
    DisplayProbe& operator=(const DisplayProbe&) = delete;
    ~DisplayProbe() { release(); }

    // True when a server at name accepted a connection and answered its setup.
    bool succeeded(const std::string& name, std::string& whyNot);
    // Lets the child go (and reaps it).
    void release();

private:
    // The child's part: connects, answers '1' (connected) or '0' on the
    // answer pipe, and stays connected until the release pipe closes.
    [[noreturn]] static void tryInChild(const std::string& name, int answerEnd, int releaseEnd);
    // The child's answer, or nullopt when none came within the limit.
    static std::optional<char> readAnswer(int answerEnd);

    pid_t child_ = -1;
    UniqueFd releaseEnd_; // closing it lets the child end
};

bool DisplayProbe::succeeded(const std::string& name, std::string& whyNot)
{
    PipeFds answerPipe;
    PipeFds releasePipe;
    if (!makePipe(answerPipe) || !makePipe(releasePipe)) {
        whyNot = "cannot create a pipe to try the display";
        return false;
    }
    child_ = fork();
    if (child_ < 0) {
        whyNot = "cannot start a process to try the display";
        return false;
    }
    if (child_ == 0) {
        // The parent's ends go, or the release pipe would never close.
        answerPipe.read.reset();
        releasePipe.write.reset();
        tryInChild(name, answerPipe.write.get(), releasePipe.read.get());
    }
    answerPipe.write.reset();
    releasePipe.read.reset();
    releaseEnd_ = std::move(releasePipe.write);

    // The answer is a byte on the pipe rather than the child's exit status,
    // which a SIGCHLD set to SIG_IGN would take away.
    const std::optional<char> answer = readAnswer(answerPipe.read.get());
    if (!answer) {
        kill(child_, SIGKILL);
        release();
        whyNot = "the X server at " + name + " does not answer";
        return false;
    }
    if (*answer != '1') {
        release();
        whyNot = "the X server at " + name + " cannot be reached or refuses the connection";
        return false;
    }
    return true;
}

void DisplayProbe::tryInChild(const std::string& name, int answerEnd, int releaseEnd)
{
    Display* display = XOpenDisplay(name.c_str());
    const char answer = display != nullptr ? '1' : '0';
    ssize_t done;
    do
        done = write(answerEnd, &answer, 1);
    while (done < 0 && errno == EINTR);
    if (display != nullptr) {
        // Stay connected until the parent is (or has given up, or died).
        char byte;
        do
            done = read(releaseEnd, &byte, 1);
        while (done < 0 && errno == EINTR);
    }
    _exit(0);
}

std::optional<char> DisplayProbe::readAnswer(int answerEnd)
{
    const auto deadline = std::chrono::steady_clock::now() + displayProbeLimit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd watch{answerEnd, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char answer = 0;
        ssize_t got;
        do
            got = read(answerEnd, &answer, 1);
        while (got < 0 && errno == EINTR);
        if (got != 1)
            return std::nullopt;
        return answer;
    }
}

void DisplayProbe::release()
{
    releaseEnd_.reset();
    if (child_ > 0) {
        while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
        }
        child_ = -1;
    }
}

} // namespace

XConnection& XConnection::instance()
{
    static XConnection connection;
    return connection;
}

bool XConnection::open(std::string& whyNot)
{
    const char* variable = std::getenv("DISPLAY");
    const std::string name = variable != nullptr ? variable : "";
    if (lost_) {
        whyNot = "the connection to the X display " + displayName_ + " was lost";
        return false;
    }
    if (opened_) {
        // FLTK works with one display per process.
        if (name == displayName_)
            return true;
        whyNot = "this process already shows its windows on the X display " + displayName_;
        return false;
    }
    if (name.empty()) {
        whyNot = "DISPLAY is not set";
        return false;
    }
    DisplayProbe probe;
    if (!probe.succeeded(name, whyNot))
        return false;
    Display* display = XOpenDisplay(name.c_str());
    probe.release();
    if (display == nullptr) {
        whyNot = "cannot open the X display " + name;
        return false;
    }
    return adopt(display, name, whyNot);
}

bool XConnection::adopt(void* opened, const std::string& name, std::string& whyNot)
{
    Display* const display = static_cast<Display*>(opened);
    // From here on the display is ours: errors on it no longer end the
    // process. fl_open_display(Display*) installs no handlers of its own
    // (unlike its variant without argument, which would also exit when it
    // cannot open a display).
    XSetIOErrorHandler(onXIOError);
    XSetErrorHandler(onXProtocolError);
#ifdef LAUNCHER_HAVE_X_IO_ERROR_EXIT_HANDLER
    XSetIOErrorExitHandler(display, onXIOErrorExit, nullptr);
#endif
    display_ = display;
    displayName_ = name;
    opened_ = true;
    if (!guarded([display] { fl_open_display(display); })) {
        whyNot = "the connection to the X display " + name + " was lost";
        return false;
    }
    return true;
}

std::string XConnection::resources()
{
    const char* text = nullptr;
    Display* const display = static_cast<Display*>(display_);
    if (!guarded([display, &text] { text = XResourceManagerString(display); }) || text == nullptr)
        return {};
    return text;
}

void XConnection::onIOError(void* display)
{
    if (display == nullptr || display != display_)
        return;
    markLost();
    if (current_ != nullptr)
        std::longjmp(*current_, 1);
}

void XConnection::leaveToolkitIfLost()
{
    if (lost_ && current_ != nullptr)
        std::longjmp(*current_, 1);
}

void XConnection::markLost()
{
    if (lost_)
        return;
    lost_ = true;
    std::fprintf(stderr, "Lost the connection to the X display %s; going on without the window.\n",
                 displayName_.c_str());
}
