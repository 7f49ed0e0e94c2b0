#pragma once

#include "ui/download_progress.h"

#include <optional>
#include <string>

// The figures of a download as people read them, for every front end that
// shows more than the status text.

// A count of bytes with a binary unit and few digits: "512 B", "97.7 KiB",
// "28.6 MiB", "1.25 GiB".
std::string byteCount(double bytes);

// A time span rounded up to whole seconds: "18 s", "2 min 05 s", "1 h 03 min".
std::string duration(double seconds);

// What is known of the transfer while it goes on: "3.5 MiB / 28.6 MiB",
// then the speed when there is one, then the time left while bytes are
// missing ("  1.5 MiB/s  18 s left"); without a total only the bytes and the
// speed. Empty outside a transfer and before its first byte.
std::string transferDetails(const DownloadProgress& progress, std::optional<double> bytesPerSecond);
