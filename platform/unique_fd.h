#pragma once

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

// Owns one file descriptor and closes it when it goes. -1 means none.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes fd instead.
    void reset(int fd = -1)
    {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) {
            const int saved = errno;
            ::close(old);
            errno = saved;
        }
    }
    // Closes now and says whether close() succeeded: for a file just written,
    // where a late write error shows only there. Nothing held: true.
    bool close()
    {
        const int old = release();
        return old < 0 || ::close(old) == 0;
    }

private:
    int fd_ = -1;
};

// Both ends of a pipe.
struct PipeFds {
    UniqueFd read;
    UniqueFd write;
};

// pipe2() with the flags (O_CLOEXEC, O_NONBLOCK ...); false with errno set.
inline bool makePipe(PipeFds& pipe, int flags = O_CLOEXEC)
{
    int fds[2];
    if (pipe2(fds, flags) != 0)
        return false;
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
    return true;
}

// Appends what the non-blocking fd holds now to sink, without waiting; true
// at the end of the stream.
inline bool readAvailable(int fd, std::string& sink)
{
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        sink.append(buffer, static_cast<std::size_t>(got));
    }
}
