#include "platform/file_lock.h"

#include "platform/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

short lockType(FileLock::Mode mode)
{
    switch (mode) {
    case FileLock::Mode::Shared:
        return F_RDLCK;
    case FileLock::Mode::Exclusive:
        return F_WRLCK;
    case FileLock::Mode::None:
        break;
    }
    return F_UNLCK;
}

int setLock(int fd, unsigned slot, short type, bool wait)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(slot);
    lock.l_len = 1;
    return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
}

// The waiting child: blocks until the kernel grants the lock, then says so.
[[noreturn]] void waitForLock(int fd, unsigned slot, short type, pid_t parent, int answerPipe)
{
    // Never outlive the launcher: a lock granted to nobody would stay taken.
    if (!becomeLauncherHelper(parent))
        _exit(1);
    int answer = 0;
    while (setLock(fd, slot, type, true) != 0) {
        if (errno != EINTR) {
            answer = errno;
            break;
        }
    }
    while (write(answerPipe, &answer, sizeof answer) < 0 && errno == EINTR) {
    }
    _exit(0);
}

} // namespace

std::unique_ptr<FileLock> FileLock::open(const std::string& path, std::string& whyNot, unsigned slot)
{
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        whyNot = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        whyNot = "the lock file " + path + " is not a regular file";
        return nullptr;
    }
    return std::unique_ptr<FileLock>(new FileLock(std::move(fd), path, slot));
}

FileLock::FileLock(UniqueFd fd, std::string path, unsigned slot)
    : fd_(std::move(fd)), path_(std::move(path)), slot_(slot)
{
}

FileLock::~FileLock()
{
    cancelWait();
    // Closing the descriptor (fd_ goes last) lets go of the lock.
}

bool FileLock::tryLock(Mode mode)
{
    if (mode == Mode::None) {
        unlock();
        return true;
    }
    cancelWait();
    if (mode == mode_)
        return true;
    if (setLock(fd_.get(), slot_, lockType(mode), false) != 0)
        return false;
    mode_ = mode;
    return true;
}

void FileLock::unlock()
{
    cancelWait();
    if (mode_ != Mode::None)
        setLock(fd_.get(), slot_, F_UNLCK, false);
    mode_ = Mode::None;
}

void FileLock::lockWhenFree(EventLoop& loop, Mode mode, std::function<void(bool held, const std::string& whyNot)> done)
{
    unlock();
    PipeFds answer;
    const pid_t parent = getpid();
    const pid_t pid = makePipe(answer) ? fork() : -1;
    if (pid < 0) {
        const std::string why = std::string("cannot wait for the lock: ") + std::strerror(errno);
        loop.callLater(0.0, [done, why] { done(false, why); });
        return;
    }
    if (pid == 0)
        waitForLock(fd_.get(), slot_, lockType(mode), parent, answer.write.get());

    waiterPid_ = pid;
    waiterPipe_ = std::move(answer.read);
    wanted_ = mode;
    loop_ = &loop;
    done_ = std::move(done);
    loop.watchDescriptor(waiterPipe_.get(), true, false, [this](int, bool, bool) { waiterAnswered(); });
}

void FileLock::waiterAnswered()
{
    int result = 0;
    ssize_t got;
    do
        got = read(waiterPipe_.get(), &result, sizeof result);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof result)) {
        if (result == 0) {
            finishWait(true, {});
        } else {
            setLock(fd_.get(), slot_, F_UNLCK, false);
            finishWait(false, std::string("cannot wait for the lock: ") + std::strerror(result));
        }
        return;
    }
    // The waiter died without an answer (someone killed it): wait anew.
    auto done = std::move(done_);
    EventLoop& loop = *loop_;
    const Mode wanted = wanted_;
    cancelWait();
    lockWhenFree(loop, wanted, std::move(done));
}

void FileLock::finishWait(bool held, const std::string& whyNot)
{
    auto done = std::move(done_);
    const Mode wanted = wanted_;
    forgetWaiter(); // it ends at once after its answer
    mode_ = held ? wanted : Mode::None;
    if (done)
        done(held, whyNot); // may destroy this object
}

void FileLock::cancelWait()
{
    if (waiterPid_ <= 0)
        return;
    kill(waiterPid_, SIGKILL);
    forgetWaiter();
    done_ = nullptr;
    // The waiter may have got the lock just before it died: it is ours, and not wanted.
    setLock(fd_.get(), slot_, F_UNLCK, false);
    mode_ = Mode::None;
}

void FileLock::forgetWaiter()
{
    loop_->stopWatching(waiterPipe_.get());
    waiterPipe_.reset();
    loop_ = nullptr;
    while (waitpid(waiterPid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    waiterPid_ = -1;
}
