// The child process that hashes an archive while it is still being written:
// its hash must be the file's, however far behind the writer it is when the
// file is complete, and a file shorter than announced is no hash at all.

#include "download/archive_hash_follower.h"
#include "platform/poll_event_loop.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <sodium.h>

#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

using namespace testsupport;

namespace {

struct Outcome {
    bool told = false;
    std::optional<ArchiveHashFollower::Digest> digest;
    std::string whyNot;
};

// Runs the loop until the follower has told its result (or a guard ends it).
Outcome finishAndWait(EventLoop& loop, ArchiveHashFollower& follower, std::uint64_t fileBytes)
{
    Outcome outcome;
    follower.finish(fileBytes, [&](std::optional<ArchiveHashFollower::Digest> digest, const std::string& whyNot) {
        outcome = {true, digest, whyNot};
        loop.stop(0);
    });
    loop.callLater(60.0, [&] { loop.stop(1); });
    loop.run();
    return outcome;
}

} // namespace

TEST(ArchiveHashFollower, HashesTheWholeFileEvenWhenFarBehindAtTheEnd)
{
    ASSERT_GE(sodium_init(), 0);
    ScratchDir scratch;
    const std::string path = scratch / "agent.zip";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    auto loop = createPollEventLoop();
    std::string whyNot;
    auto follower = ArchiveHashFollower::start(*loop, path, whyNot);
    ASSERT_TRUE(follower) << whyNot;

    // 48 MiB in uneven pieces, the follower told after each; it is finished
    // at once after the last, long before it can have read them all.
    std::mt19937 random(7);
    std::string noise(1 << 20, '\0');
    for (char& byte : noise)
        byte = static_cast<char>(random());
    std::uint64_t written = 0;
    while (written < 48u << 20) {
        std::string piece = noise.substr(random() % 1000, 1000 + random() % 300000);
        piece.replace(0, 8, reinterpret_cast<const char*>(&written), 8); // no two pieces alike
        ASSERT_EQ(write(file, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        written += piece.size();
        follower->grew(written);
    }
    close(file);
    const Outcome outcome = finishAndWait(*loop, *follower, written);

    const std::string content = readFile(path);
    ArchiveHashFollower::Digest expected;
    crypto_generichash(expected.data(), expected.size(), reinterpret_cast<const unsigned char*>(content.data()),
                       content.size(), nullptr, 0);
    ASSERT_TRUE(outcome.told);
    ASSERT_TRUE(outcome.digest) << outcome.whyNot;
    EXPECT_EQ(*outcome.digest, expected);
}

TEST(ArchiveHashFollower, AFileShorterThanToldHasNoHash)
{
    ScratchDir scratch;
    const std::string path = scratch / "agent.zip";
    writeFile(path, std::string(5000, 'x'));
    auto loop = createPollEventLoop();
    std::string whyNot;
    auto follower = ArchiveHashFollower::start(*loop, path, whyNot);
    ASSERT_TRUE(follower) << whyNot;

    const Outcome outcome = finishAndWait(*loop, *follower, 6000);
    ASSERT_TRUE(outcome.told);
    EXPECT_FALSE(outcome.digest);
    EXPECT_EQ(outcome.whyNot, "the archive could not be read back to hash it");
}
