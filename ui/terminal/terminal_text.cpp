#include "ui/terminal/terminal_text.h"

namespace {

// The first byte of a UTF-8 code point (not a continuation byte).
bool startsCodePoint(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

} // namespace

int displayWidth(const std::string& text)
{
    int width = 0;
    for (const char c : text)
        if (startsCodePoint(c))
            ++width;
    return width;
}

std::string cutToWidth(const std::string& text, int width)
{
    int seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (startsCodePoint(text[i])) {
            if (seen == width)
                return text.substr(0, i);
            ++seen;
        }
    }
    return text;
}

std::string printable(const std::string& text)
{
    std::string result = text;
    for (char& c : result)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return result;
}
