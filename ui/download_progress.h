#pragma once

#include "platform/url_download.h"

#include <cstdint>
#include <optional>
#include <string>

// What the download is doing, in numbers: the controller keeps one and
// reports it whole after every change (DownloadProgressView), before it sets
// the status text that goes with it, so a front end can tell what the text
// stands for and draw sizes, speeds and waits without reading the text.
struct DownloadProgress {
    enum class Phase {
        Idle,            // nothing asked yet
        WaitingForCache, // another run holds the cache
        Connecting,      // the request is out, no response yet
        Downloading,     // the body arrives (totalBytes -1: of unknown length)
        WaitingToRetry,  // an attempt failed; the next one comes after retry.delaySeconds
        Initializing,    // the archive is complete: checked, unpacked, put in place
        Failed,          // the failure is shown; the run goes no further
        HandedOff,       // the agent in the cache is the one to start
    };

    Phase phase = Phase::Idle;
    // Of the current body: from zero at each response that starts it.
    std::int64_t bytesReceived = 0;
    // The length the response announced; -1 when it announced none.
    std::int64_t totalBytes = -1;
    // The archive's URL, and its host as a person reads it, from Connecting on.
    std::string url;
    std::string host;
    // While WaitingToRetry: why, how long, which attempt comes.
    UrlDownloadRetry retry;
    // When Failed: the reason the log got; empty when the shown text is all.
    std::string failureReason;
    // When Failed: the reason in plain words for a person, with what to do;
    // empty when there are none better than the reason.
    std::string failureExplanation;
    // The name the run's lines carry in the system log, to tell a person
    // where to look.
    std::string logName;

    bool lengthKnown() const { return totalBytes != -1; }

    // bytesReceived x 100 / totalBytes, in double precision (past 100 when
    // more came than announced); nullopt when the length is unknown.
    std::optional<double> percentage() const
    {
        if (!lengthKnown())
            return std::nullopt;
        return static_cast<double>(bytesReceived) * 100.0 / static_cast<double>(totalBytes);
    }

    // Whether the status line shows the percentage ("Downloading  42%"):
    // while the body of a known length arrives.
    bool showsPercentage() const { return phase == Phase::Downloading && lengthKnown(); }

    // Whether there are bytes of a body to tell about: while it arrives, and
    // while the next attempt at it is awaited.
    bool transferring() const { return phase == Phase::Downloading || phase == Phase::WaitingToRetry; }
};
