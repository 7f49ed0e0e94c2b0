#include "provisioning/trusted_comment.h"

#include <charconv>
#include <ctime>

namespace {

constexpr char kFieldSeparator = '\t';

std::string_view trimmedBlanks(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// A whole number of decimal digits only, that fits.
std::optional<std::uint64_t> wholeNumber(std::string_view text)
{
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// Sets the known field that the name names from the value; false with whyNot
// when it is malformed or comes twice. Unknown names are left alone.
bool takeField(std::string_view name, std::string_view value, TrustedCommentFields& fields, std::string& whyNot)
{
    const auto twice = [&] {
        whyNot = "malformed trusted comment: " + std::string(name) + " given twice";
        return false;
    };
    const auto number = [&](std::optional<std::uint64_t>& field) {
        if (field)
            return twice();
        field = wholeNumber(value);
        if (!field)
            whyNot = "malformed trusted comment: " + std::string(name) + " is not a whole number (\""
                + std::string(value) + "\")";
        return field.has_value();
    };
    const auto text = [&](std::optional<std::string>& field) {
        if (field)
            return twice();
        field = std::string(value);
        return true;
    };
    if (name == "timestamp")
        return number(fields.timestamp);
    if (name == "size")
        return number(fields.size);
    if (name == "release")
        return text(fields.release);
    if (name == "platform")
        return text(fields.platform);
    if (name == "file")
        return text(fields.file);
    return true;
}

} // namespace

std::optional<TrustedCommentFields> parseTrustedComment(std::string_view comment, std::string& whyNot)
{
    TrustedCommentFields fields;
    while (!comment.empty()) {
        const auto end = comment.find(kFieldSeparator);
        const std::string_view part = comment.substr(0, end);
        comment = end == std::string_view::npos ? std::string_view{} : comment.substr(end + 1);
        const auto colon = part.find(':');
        if (colon == std::string_view::npos)
            continue; // a flag, or free text
        if (!takeField(trimmedBlanks(part.substr(0, colon)), trimmedBlanks(part.substr(colon + 1)), fields, whyNot))
            return std::nullopt;
    }
    whyNot.clear();
    return fields;
}

std::string trustedCommentText(const TrustedCommentFields& fields)
{
    std::string text;
    const auto add = [&text](const char* name, const std::string& value) {
        text += (text.empty() ? "" : std::string(1, kFieldSeparator)) + name + ":" + value;
    };
    if (fields.timestamp)
        add("timestamp", std::to_string(*fields.timestamp));
    if (fields.release)
        add("release", *fields.release);
    if (fields.platform)
        add("platform", *fields.platform);
    if (fields.size)
        add("size", std::to_string(*fields.size));
    if (fields.file)
        add("file", *fields.file);
    return text;
}

std::string signingTimeText(std::uint64_t timestamp)
{
    const auto seconds = static_cast<std::time_t>(timestamp);
    std::tm parts{};
    char text[64];
    if (seconds < 0 || gmtime_r(&seconds, &parts) == nullptr
        || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
        return "at " + std::to_string(timestamp) + " s after 1970";
    return text;
}
