#include "download/archive_hash_follower.h"

#include "platform/child_process.h"
#include "platform/file_manager.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The launcher tells the child how many bytes the file holds, in words of 8
// bytes (a pipe write that small is atomic); the top bit says "complete".
constexpr std::uint64_t kComplete = std::uint64_t{1} << 63;
// The child is told only of every so many new bytes, so the pipe never fills.
constexpr std::uint64_t kTellEvery = 1 << 20;

// The child's reading buffer; it is never touched in the launcher itself.
unsigned char readBuffer[1 << 20];


// Every descriptor but the two pipes goes: the child must not keep the
// launcher's sockets, its X connection or its cache lock alive.
void closeAllBut(int first, int second)
{
    const unsigned low = static_cast<unsigned>(std::min(first, second));
    const unsigned high = static_cast<unsigned>(std::max(first, second));
    if (low > 3)
        close_range(3, low - 1, 0);
    if (high > low + 1)
        close_range(low + 1, high - 1, 0);
    close_range(high + 1, ~0U, 0);
}

// What the child has heard from the launcher: how much of the file may be
// read, and whether that is all of it.
struct Told {
    std::uint64_t known = 0;
    bool complete = false;
};

// Waits (when nothing is left to hash) and reads the launcher's words. Once
// the archive is complete there is nothing more to hear, and the launcher
// has closed its end.
void hearFromTheLauncher(int control, bool nothingToHash, Told& told)
{
    if (told.complete)
        return;
    if (nothingToHash) {
        pollfd wait{control, POLLIN, 0};
        if (poll(&wait, 1, -1) < 0 && errno != EINTR)
            _exit(1);
    }
    std::uint64_t words[64];
    const ssize_t got = read(control, words, sizeof words);
    if (got == 0)
        _exit(1); // the launcher no longer wants the hash
    if (got < 0 && errno != EAGAIN && errno != EINTR)
        _exit(1);
    for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof words[0]); ++i) {
        told.complete = told.complete || (words[i] & kComplete) != 0;
        told.known = std::max(told.known, words[i] & ~kComplete);
    }
}

// Hashes the next piece of what may be read; false on EINTR (try again).
bool hashNextPiece(const char* path, int& file, crypto_generichash_state& state, std::uint64_t& hashed,
                   std::uint64_t known)
{
    if (file < 0 && (file = open(path, O_RDONLY | O_CLOEXEC)) < 0)
        _exit(2);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof readBuffer, known - hashed));
    const ssize_t read = pread(file, readBuffer, want, static_cast<off_t>(hashed));
    if (read < 0 && errno == EINTR)
        return false;
    if (read <= 0)
        _exit(3); // shorter than the launcher said, or unreadable
    crypto_generichash_update(&state, readBuffer, static_cast<std::size_t>(read));
    hashed += static_cast<std::uint64_t>(read);
    return true;
}

[[noreturn]] void followAndHash(const char* path, int control, int answer, pid_t parent)
{
    if (!becomeLauncherHelper(parent))
        _exit(1);
    closeAllBut(control, answer);
    fcntl(control, F_SETFL, O_NONBLOCK);

    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    int file = -1; // the child's own: it ends with _exit
    std::uint64_t hashed = 0;
    Told told;
    while (!(told.complete && hashed == told.known)) {
        hearFromTheLauncher(control, hashed == told.known, told);
        if (hashed < told.known)
            hashNextPiece(path, file, state, hashed, told.known);
    }
    ArchiveHashFollower::Digest digest;
    crypto_generichash_final(&state, digest.data(), digest.size());
    _exit(writeAll(answer, digest.data(), digest.size()) ? 0 : 1);
}

} // namespace

std::unique_ptr<ArchiveHashFollower> ArchiveHashFollower::start(EventLoop& loop, const std::string& path,
                                                                std::string& whyNot)
{
    if (sodium_init() < 0) {
        whyNot = "the cryptography library cannot start";
        return nullptr;
    }
    PipeFds control;
    PipeFds answer;
    if (!makePipe(control) || !makePipe(answer)) {
        whyNot = std::string("cannot make a pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0)
        followAndHash(path.c_str(), control.read.get(), answer.write.get(), parent);
    control.read.reset();
    answer.write.reset();
    if (pid < 0) {
        whyNot = std::string("cannot start a process: ") + std::strerror(errno);
        return nullptr;
    }
    // The launcher never waits to tell: a word that does not fit is left out,
    // and a later one says more.
    fcntl(control.write.get(), F_SETFL, O_NONBLOCK);
    return std::unique_ptr<ArchiveHashFollower>(
        new ArchiveHashFollower(loop, pid, std::move(control.write), std::move(answer.read)));
}

ArchiveHashFollower::ArchiveHashFollower(EventLoop& loop, pid_t pid, UniqueFd toChild, UniqueFd fromChild)
    : loop_(loop), pid_(pid), toChild_(std::move(toChild)), fromChild_(std::move(fromChild))
{
}

ArchiveHashFollower::~ArchiveHashFollower()
{
    endChild();
}

void ArchiveHashFollower::tell(std::uint64_t word)
{
    ssize_t written;
    do
        written = write(toChild_.get(), &word, sizeof word);
    while (written < 0 && errno == EINTR);
    // EAGAIN: the child is far behind and reads a later word; EPIPE: it died,
    // which finish() finds out.
}

void ArchiveHashFollower::grew(std::uint64_t fileBytes)
{
    if (!toChild_ || fileBytes < told_ + kTellEvery)
        return;
    tell(fileBytes);
    told_ = fileBytes;
}

void ArchiveHashFollower::finish(std::uint64_t fileBytes,
                                 std::function<void(std::optional<Digest>, const std::string&)> onDigest)
{
    if (!toChild_)
        return;
    // This word must arrive, so this once the launcher waits for room: the
    // child empties the pipe every time it has hashed a piece.
    fcntl(toChild_.get(), F_SETFL, 0);
    tell(fileBytes | kComplete);
    toChild_.reset();
    onDigest_ = std::move(onDigest);
    loop_.watchDescriptor(fromChild_.get(), true, false, [this](int, bool, bool) { answerArrived(); });
}

void ArchiveHashFollower::answerArrived()
{
    Digest digest;
    std::size_t have = 0;
    while (have < digest.size()) {
        const ssize_t got = read(fromChild_.get(), digest.data() + have, digest.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    auto onDigest = std::move(onDigest_);
    endChild();
    if (have == digest.size())
        onDigest(digest, {});
    else
        onDigest(std::nullopt, "the archive could not be read back to hash it");
}

void ArchiveHashFollower::endChild()
{
    if (fromChild_) {
        loop_.stopWatching(fromChild_.get());
        fromChild_.reset();
    }
    toChild_.reset();
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}
