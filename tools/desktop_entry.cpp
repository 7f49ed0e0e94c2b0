#include "tools/desktop_entry.h"

#include "tools/bundle_files.h"

#include "provisioning/shell_command.h"

#include <cctype>

namespace {

// Icons are small; an SVG with embedded pictures may be larger.
constexpr std::size_t iconFileLimit = 4 * 1024 * 1024;

// A value of a string key: backslash, newline, tab and carriage return
// escaped, and a leading blank kept as "\s".
std::string escapedValue(const std::string& text)
{
    std::string escaped;
    for (const char c : text) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else if (c == '\t')
            escaped += "\\t";
        else if (c == '\r')
            escaped += "\\r";
        else if (c == ' ' && escaped.empty())
            escaped += "\\s";
        else
            escaped += c;
    }
    return escaped;
}

// One argument of an Exec line: in double quotes, a backslash before each
// double quote, backquote, dollar sign and backslash, and each % doubled (a
// field code otherwise).
std::string quotedExecArgument(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
        if (c == '%')
            quoted += '%';
    }
    return quoted + "\"";
}

// The shell runs the launcher beside the entry, whose path %k gives as its
// first argument.
std::string execLine(const BundleDirectories& layout)
{
    const std::string script = "exec \"$(dirname \"$1\")\"/" + smart_quote(launcherPathFromDesktopEntry(layout));
    return "sh -c " + quotedExecArgument(script) + " sh %k";
}

} // namespace

std::string desktopEntryText(const std::string& title, const BundleDirectories& layout, const std::string& iconName)
{
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Version=1.4\n"
                       "Name=" + escapedValue(title) + "\n";
    if (!iconName.empty())
        text += "Icon=" + escapedValue(iconName) + "\n";
    return text + "Exec=" + escapedValue(execLine(layout)) + "\n"
        + "Terminal=false\n"
          "Categories=System;\n";
}

std::string desktopIconName(const std::string& title)
{
    std::string name;
    for (const unsigned char c : title) {
        if (std::isalnum(c) && c < 0x80)
            name += static_cast<char>(std::tolower(c));
        else if (!name.empty() && name.back() != '-')
            name += '-';
    }
    while (!name.empty() && name.back() == '-')
        name.pop_back();
    return name.empty() ? std::string(launcherExecutableName) : name;
}

std::optional<std::string> bundleIconResourceName(const std::string& path, std::string& whyNot)
{
    const std::optional<std::string> bytes = readSmallFile(path, iconFileLimit, whyNot);
    if (!bytes)
        return std::nullopt;
    if (bytes->starts_with("\x89PNG\r\n\x1a\n"))
        return std::string(bundleIconPngName);
    // An SVG picture is XML text whose root element is svg.
    const std::string head = bytes->substr(0, 4096);
    if (head.find("<svg") != std::string::npos && head.find('\0') == std::string::npos)
        return std::string(bundleIconSvgName);
    whyNot = "is neither a PNG nor an SVG picture";
    return std::nullopt;
}
