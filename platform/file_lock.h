#pragma once

#include "platform/event_loop.h"
#include "platform/unique_fd.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

// An advisory lock that processes share through a file: shared for many
// holders, exclusive for one. The lock belongs to this object (an
// open-file-description lock), not to the process, and goes when the object
// goes or the process ends, however it ends. One file carries several
// independent locks, one per byte (the slot); the file's content is never
// used.
class FileLock {
public:
    enum class Mode { None, Shared, Exclusive };

    // Opens the lock file, creating it with mode 0600; a link at the path is
    // never followed. Null with a one-line reason when it cannot be opened.
    static std::unique_ptr<FileLock> open(const std::string& path, std::string& whyNot, unsigned slot = 0);

    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    Mode mode() const { return mode_; }
    const std::string& path() const { return path_; }

    // Takes the lock in the mode at once; false, holding what it held, when
    // another holder is in the way. Exclusive to shared is one step in which
    // nobody else can take the lock.
    bool tryLock(Mode mode);
    // Lets go of the lock (and of a wait for it).
    void unlock();

    // Waits for the lock in the mode without blocking the loop: done(true)
    // comes on the loop once it is held, done(false, reason) if waiting
    // failed. Whatever was held is let go first, so that two holders waiting
    // to go from shared to exclusive cannot wait for each other for ever.
    void lockWhenFree(EventLoop& loop, Mode mode, std::function<void(bool held, const std::string& whyNot)> done);
    bool waiting() const { return waiterPid_ > 0; }
    // Ends a wait; the lock is not held afterwards.
    void cancelWait();

private:
    FileLock(UniqueFd fd, std::string path, unsigned slot);
    bool set(short type, bool wait);
    void finishWait(bool held, const std::string& whyNot);
    void waiterAnswered();
    // Stops watching the waiter's pipe and reaps the waiter, which has ended or been killed.
    void forgetWaiter();

    UniqueFd fd_;
    std::string path_;
    unsigned slot_;
    Mode mode_ = Mode::None;

    // A wait: a child process blocks in the kernel on our behalf, on the same
    // open file description, so that the lock it gets is ours.
    pid_t waiterPid_ = -1;
    UniqueFd waiterPipe_;
    Mode wanted_ = Mode::None;
    EventLoop* loop_ = nullptr;
    std::function<void(bool, const std::string&)> done_;
};
