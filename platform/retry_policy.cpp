#include "platform/retry_policy.h"

#include "platform/http_response_head.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

constexpr double kFirstBackoffSeconds = 1.0;
constexpr double kLongestBackoffSeconds = 8.0;
constexpr double kJitter = 0.2;
constexpr double kLongestRetryAfterSeconds = 30.0;

} // namespace

bool isTransientHttpStatus(long statusCode)
{
    switch (statusCode) {
    case 408: // Request Timeout
    case 429: // Too Many Requests
    case 500: // Internal Server Error
    case 502: // Bad Gateway
    case 503: // Service Unavailable
    case 504: // Gateway Timeout
        return true;
    default:
        return false;
    }
}

bool statusCarriesRetryAfter(long statusCode)
{
    return statusCode == 429 || statusCode == 503;
}

double backoffSeconds(int retry, double random01)
{
    const int doublings = std::clamp(retry - 1, 0, 30);
    const double base = std::min(kFirstBackoffSeconds * std::ldexp(1.0, doublings), kLongestBackoffSeconds);
    const double spread = 1.0 + kJitter * (2.0 * std::clamp(random01, 0.0, 1.0) - 1.0);
    return base * spread;
}

std::optional<double> retryAfterSeconds(const std::string& value, std::time_t now)
{
    const std::optional<double> delay = retryAfterDelay(value, now);
    if (!delay)
        return std::nullopt;
    return std::clamp(*delay, 0.0, kLongestRetryAfterSeconds);
}

double retryJitter()
{
    static std::minstd_rand generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

long long wholeSecondsOfWait(double seconds)
{
    return static_cast<long long>(std::ceil(std::clamp(seconds, 0.0, 1e9)));
}

std::string retryNotice(const UrlDownloadRetry& retry)
{
    return "Download interrupted (" + retry.reason + "); retrying in " + std::to_string(wholeSecondsOfWait(retry.delaySeconds))
           + " s (attempt " + std::to_string(retry.nextAttempt) + " of " + std::to_string(retry.attempts) + ")";
}
