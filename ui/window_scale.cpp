#include "ui/window_scale.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr double largestScale = 4.0;
constexpr double pointsPerInch = 96.0;

// The positive number a whole text spells; none for anything else.
std::optional<double> positiveNumber(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !(value > 0) || value > 1e6)
        return std::nullopt;
    return value;
}

// The value of Xft.dpi among "name:\tvalue" lines.
std::optional<double> xftDpi(std::string_view resources)
{
    constexpr std::string_view name = "Xft.dpi:";
    while (!resources.empty()) {
        const std::size_t end = resources.find('\n');
        const std::string_view line = resources.substr(0, end);
        if (line.starts_with(name))
            return positiveNumber(line.substr(name.size()));
        if (end == std::string_view::npos)
            break;
        resources.remove_prefix(end + 1);
    }
    return std::nullopt;
}

} // namespace

double windowScale(const char* gdkScale, const char* qtScaleFactor, const char* xResources)
{
    std::optional<double> scale;
    if (gdkScale != nullptr)
        scale = positiveNumber(gdkScale);
    if (!scale && qtScaleFactor != nullptr)
        scale = positiveNumber(qtScaleFactor);
    if (!scale && xResources != nullptr)
        if (const std::optional<double> dpi = xftDpi(xResources))
            scale = *dpi / pointsPerInch;
    return std::clamp(scale.value_or(1.0), 1.0, largestScale);
}
