#include "platform/termination_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Where the handler writes; -1 when no object is alive.
volatile sig_atomic_t signalPipeWriteEnd = -1;

// While a TerminationRecord lives: the byte of the first signal, 0 before it.
volatile sig_atomic_t recording = 0;
volatile sig_atomic_t pendingSignalByte = 0;

// What each living object replaced, innermost last, so that objects that
// live inside one another (and end in reverse order) put back what they found.
struct Replaced {
    int writeEnd;
    struct sigaction actions[kSignalCount];
};
std::vector<Replaced> replacedStack;

// The byte written for a signal: its number, and this bit when a process sent it.
constexpr unsigned char sentByAProcessBit = 0x80;

extern "C" void forwardSignalToPipe(int signal, siginfo_t* info, void*)
{
    const int savedErrno = errno;
    const int fd = signalPipeWriteEnd;
    const bool byProcess = info != nullptr && info->si_code <= 0; // SI_USER, SI_QUEUE, SI_TKILL
    const unsigned char byte =
        static_cast<unsigned char>(static_cast<unsigned char>(signal) | (byProcess ? sentByAProcessBit : 0));
    if (recording && pendingSignalByte == 0)
        pendingSignalByte = byte;
    if (fd >= 0) {
        // Non-blocking: when the pipe is full the loop has plenty to read already.
        [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    }
    errno = savedErrno;
}

struct sigaction forwardingAction()
{
    struct sigaction action {};
    action.sa_sigaction = forwardSignalToPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    return action;
}

// What the record replaced.
struct sigaction beforeTheRecord[kSignalCount];

} // namespace

TerminationSignals::TerminationSignals(EventLoop& loop, std::function<void(int signal)> onSignal)
    : TerminationSignals(loop, [onSignal = std::move(onSignal)](int signal, bool) {
        if (onSignal)
            onSignal(signal);
    })
{
}

TerminationSignals::TerminationSignals(EventLoop& loop, std::function<void(int signal, bool sentByAProcess)> onSignal)
    : loop_(loop), onSignal_(std::move(onSignal))
{
    if (!makePipe(pipe_, O_NONBLOCK | O_CLOEXEC))
        return; // the signals keep their former handling

    Replaced replaced{};
    replaced.writeEnd = signalPipeWriteEnd;
    signalPipeWriteEnd = pipe_.write.get();

    const struct sigaction action = forwardingAction();
    for (std::size_t i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &action, &replaced.actions[i]);
    replacedStack.push_back(replaced);
    // A signal that came before this object is told on the first turn of the loop.
    if (const unsigned char pending = static_cast<unsigned char>(pendingSignalByte); pending != 0) {
        [[maybe_unused]] const ssize_t written = write(pipe_.write.get(), &pending, 1);
    }

    // One signal per turn of the loop: onSignal may well destroy this object,
    // so nothing of it is touched after the call. Further bytes keep the pipe
    // readable and come on the next turns.
    loop_.watchDescriptor(pipe_.read.get(), true, false, [this](int fd, bool readable, bool) {
        if (!readable)
            return;
        unsigned char byte = 0;
        if (read(fd, &byte, 1) != 1)
            return;
        const std::function<void(int, bool)> onSignal = onSignal_;
        if (onSignal)
            onSignal(byte & ~sentByAProcessBit, (byte & sentByAProcessBit) != 0);
    });
}

TerminationSignals::~TerminationSignals()
{
    if (!pipe_.read)
        return;
    loop_.stopWatching(pipe_.read.get());
    if (!replacedStack.empty()) {
        const Replaced replaced = replacedStack.back();
        replacedStack.pop_back();
        for (std::size_t i = 0; i < kSignalCount; ++i)
            sigaction(kSignals[i], &replaced.actions[i], nullptr);
        signalPipeWriteEnd = replaced.writeEnd;
    }
}

TerminationRecord::TerminationRecord()
{
    pendingSignalByte = 0;
    recording = 1;
    const struct sigaction action = forwardingAction();
    for (std::size_t i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &action, &beforeTheRecord[i]);
}

TerminationRecord::~TerminationRecord()
{
    for (std::size_t i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &beforeTheRecord[i], nullptr);
    recording = 0;
    pendingSignalByte = 0;
}

int pendingTerminationSignal()
{
    return recording ? (pendingSignalByte & ~sentByAProcessBit) : 0;
}

void endBySignal(int signal)
{
    std::fflush(nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(signal, &defaults, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal); // a signal whose default is not to end the process
}
