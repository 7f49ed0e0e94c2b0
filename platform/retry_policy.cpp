#include "platform/retry_policy.h"

#include <curl/curl.h>

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
    std::string text = value;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    text.erase(0, std::min(text.find_first_not_of(" \t"), text.size()));
    if (text.empty())
        return std::nullopt;

    double seconds = 0;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // delta-seconds; a long run of digits is simply a long wait.
        seconds = text.size() > 9 ? kLongestRetryAfterSeconds : std::stod(text);
    } else {
        // An HTTP date, in any of the three forms HTTP allows; curl reads them all.
        const std::time_t when = curl_getdate(text.c_str(), nullptr);
        if (when == static_cast<std::time_t>(-1))
            return std::nullopt;
        seconds = std::difftime(when, now);
    }
    return std::clamp(seconds, 0.0, kLongestRetryAfterSeconds);
}

double retryJitter()
{
    static std::minstd_rand generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}
