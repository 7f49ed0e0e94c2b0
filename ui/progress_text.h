#pragma once

#include "ui/download_progress.h"

#include <optional>
#include <string>
#include <vector>

// The figures of a download as people read them, for every front end that
// shows more than the status text.

// A count of bytes with a binary unit and few digits: "512 B", "97.7 KiB",
// "28.6 MiB", "1.25 GiB".
std::string byteCount(double bytes);

// A time span rounded up to whole seconds: "18 s", "2 min 05 s", "1 h 03 min".
std::string duration(double seconds);

// What is known of the transfer while it goes on, each part empty when
// unknown: the bytes ("3.5 MiB / 28.6 MiB", or "3.5 MiB" without a total),
// the speed ("1.5 MiB/s") and the time left while bytes are missing ("18 s
// left"). All empty outside a transfer and before its first byte.
struct TransferFacts {
    std::string bytes;
    std::string speed;
    std::string timeLeft;
};
TransferFacts transferFacts(const DownloadProgress& progress, std::optional<double> bytesPerSecond);

// The facts that are known, joined by the separator; speed and time left
// only when asked for.
std::string joinedFacts(const TransferFacts& facts, const std::string& separator, bool withSpeed = true,
                        bool withTimeLeft = true);

// All of them joined by two blanks: "3.5 MiB / 28.6 MiB  1.5 MiB/s  18 s left".
std::string transferDetails(const DownloadProgress& progress, std::optional<double> bytesPerSecond);

// While the request is out: "Connecting to downloads.example.com…"; empty
// in any other phase.
std::string connectingText(const DownloadProgress& progress);

// What a person is told below a failure: the reason in plain words (the
// explanation when there is one, else the reason and the host), then where
// the details are ("Details: journalctl -t launcher"). Empty unless failed.
std::vector<std::string> failureDetails(const DownloadProgress& progress);
