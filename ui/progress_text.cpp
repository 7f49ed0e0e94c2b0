#include "ui/progress_text.h"

#include <cmath>
#include <cstdio>

std::string byteCount(double bytes)
{
    char text[32];
    // A unit goes up to 999.9, so that numbers keep to few digits.
    if (bytes < 1000)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 999.95 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    else if (bytes < 999.95 * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    else
        std::snprintf(text, sizeof text, "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
    return text;
}

std::string duration(double seconds)
{
    const long whole = std::lround(std::ceil(seconds));
    char text[32];
    if (whole < 60)
        std::snprintf(text, sizeof text, "%ld s", whole);
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld h %02ld min", whole / 3600, whole / 60 % 60);
    return text;
}

std::string transferDetails(const DownloadProgress& progress, std::optional<double> bytesPerSecond)
{
    const double received = static_cast<double>(progress.bytesReceived);
    if (!progress.transferring() || received <= 0)
        return {};
    const bool speedKnown = bytesPerSecond && *bytesPerSecond > 0;
    const std::string speed = speedKnown ? "  " + byteCount(*bytesPerSecond) + "/s" : "";
    if (!progress.lengthKnown())
        return byteCount(received) + speed; // the total is unknown; what arrives is still counted
    const double total = static_cast<double>(progress.totalBytes);
    if (total <= 0)
        return {};
    std::string details = byteCount(received) + " / " + byteCount(total) + speed;
    if (speedKnown && received < total)
        details += "  " + duration((total - received) / *bytesPerSecond) + " left";
    return details;
}
