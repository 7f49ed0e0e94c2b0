#pragma once

#include "platform/event_loop.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The longest body a URL download takes, what the limit is called when a
// body does not fit ("this launcher's limit", "the size its signature
// gives"), and the same in plain words for a person.
struct BodyLimit {
    std::uint64_t maxBytes = 0; // 0: none
    std::string name;
    std::string explanation;

    // Whether a body of this length is longer than the limit.
    bool exceededBy(std::uint64_t length) const { return maxBytes > 0 && length > maxBytes; }
};

// A download's body limit, which may change while the body arrives (a
// signature that states the body's size comes beside it).
class DownloadBodyLimit {
public:
    DownloadBodyLimit(EventLoop& loop, BodyLimit limit) : loop_(loop), limit_(std::move(limit)) {}
    ~DownloadBodyLimit();
    DownloadBodyLimit(const DownloadBodyLimit&) = delete;
    DownloadBodyLimit& operator=(const DownloadBodyLimit&) = delete;

    // Another limit from now on; recheck comes on a later turn of the loop
    // (once for several changes before it), never after this object has gone.
    void change(BodyLimit limit, std::function<void()> recheck);

    // Why a body does not fit, having received bytes so far of announced
    // (-1: unknown) in all; "" when it fits.
    std::string failureFor(std::uint64_t received, std::int64_t announced);
    // The plain words for a failure that failureFor() gave; "" for any other.
    std::string explanationFor(const std::string& failure) const;

private:
    EventLoop& loop_;
    BodyLimit limit_;
    std::optional<EventLoop::CallId> recheck_;
    std::string failure_;
};
