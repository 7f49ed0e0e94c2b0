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

TransferFacts transferFacts(const DownloadProgress& progress, std::optional<double> bytesPerSecond)
{
    const double received = static_cast<double>(progress.bytesReceived);
    if (!progress.transferring() || received <= 0)
        return {};
    TransferFacts facts;
    const bool speedKnown = bytesPerSecond && *bytesPerSecond > 0;
    if (speedKnown)
        facts.speed = byteCount(*bytesPerSecond) + "/s";
    if (!progress.lengthKnown()) {
        facts.bytes = byteCount(received); // the total is unknown; what arrives is still counted
        return facts;
    }
    const double total = static_cast<double>(progress.totalBytes);
    if (total <= 0)
        return {};
    facts.bytes = byteCount(received) + " / " + byteCount(total);
    if (speedKnown && received < total)
        facts.timeLeft = duration((total - received) / *bytesPerSecond) + " left";
    return facts;
}

std::string joinedFacts(const TransferFacts& facts, const std::string& separator, bool withSpeed, bool withTimeLeft)
{
    std::string joined = facts.bytes;
    for (const std::string* part : {withSpeed ? &facts.speed : nullptr, withTimeLeft ? &facts.timeLeft : nullptr})
        if (part != nullptr && !part->empty())
            joined += (joined.empty() ? "" : separator) + *part;
    return joined;
}

std::string transferDetails(const DownloadProgress& progress, std::optional<double> bytesPerSecond)
{
    return joinedFacts(transferFacts(progress, bytesPerSecond), "  ");
}

std::string connectingText(const DownloadProgress& progress)
{
    if (progress.phase != DownloadProgress::Phase::Connecting)
        return {};
    return (progress.host.empty() ? std::string("Connecting") : "Connecting to " + progress.host) + "\u2026";
}

std::vector<std::string> failureDetails(const DownloadProgress& progress)
{
    if (progress.phase != DownloadProgress::Phase::Failed)
        return {};
    std::vector<std::string> lines;
    if (!progress.failureExplanation.empty())
        lines.push_back(progress.failureExplanation);
    else if (!progress.failureReason.empty())
        lines.push_back(progress.host.empty() ? progress.failureReason
                                              : "The download from " + progress.host + " failed: " + progress.failureReason);
    if (!progress.logName.empty())
        lines.push_back("Details: journalctl -t " + progress.logName);
    return lines;
}
