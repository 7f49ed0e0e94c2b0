#pragma once

#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "provisioning/agent_signature.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

// The BLAKE2b-512 hash of an archive that a download is still writing,
// computed by a child process that reads the file right behind the writer.
// On a fast link the transfer keeps the launcher's thread busy; hashing in
// that thread as well would add the whole hash to the download's time,
// whereas the child runs on another CPU and is done about when the last
// bytes arrive. It only reads the file (from the page cache) and learns how
// far it may read from the launcher.
class ArchiveHashFollower {
public:
    using Digest = AgentSignatureCheck::Hash;

    // Starts following path, which holds the archive's first bytes from its
    // start. Null with whyNot when no child can be made.
    static std::unique_ptr<ArchiveHashFollower> start(EventLoop& loop, const std::string& path, std::string& whyNot);

    ~ArchiveHashFollower(); // ends the child, if it still runs
    ArchiveHashFollower(const ArchiveHashFollower&) = delete;
    ArchiveHashFollower& operator=(const ArchiveHashFollower&) = delete;

    // The file now holds fileBytes bytes of the archive.
    void grew(std::uint64_t fileBytes);

    // The archive is complete at fileBytes. onDigest gets its hash from the
    // event loop, or nullopt and a reason when the child could not make it.
    void finish(std::uint64_t fileBytes,
                std::function<void(std::optional<Digest> digest, const std::string& whyNot)> onDigest);

private:
    ArchiveHashFollower(EventLoop& loop, pid_t pid, UniqueFd toChild, UniqueFd fromChild);
    void tell(std::uint64_t word);
    void answerArrived();
    void endChild();

    EventLoop& loop_;
    pid_t pid_;
    UniqueFd toChild_;
    UniqueFd fromChild_;
    std::uint64_t told_ = 0;
    std::function<void(std::optional<Digest>, const std::string&)> onDigest_;
};
