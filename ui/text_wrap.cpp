#include "ui/text_wrap.h"

#include <algorithm>

namespace {

const char* const ellipsis = "\xE2\x80\xA6";

bool startsCodePoint(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

// The length of the longest start of text (at least one code point) that fits.
std::size_t fittingPrefix(const std::string& text, double width, const TextWidth& measure)
{
    std::size_t fits = 0;
    for (std::size_t end = 1; end <= text.size(); ++end) {
        if (end < text.size() && !startsCodePoint(text[end]))
            continue;
        if (fits > 0 && measure(std::string_view(text).substr(0, end)) > width)
            break;
        fits = end;
    }
    return fits;
}

// Every line the text needs, however many. Blanks inside a line stay as
// they are; those where a line breaks go.
std::vector<std::string> allLines(const std::string& text, double width, const TextWidth& measure)
{
    std::vector<std::string> lines;
    std::string line;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t wordStart = std::min(text.find_first_not_of(' ', at), text.size());
        const std::size_t wordEnd = std::min(text.find(' ', wordStart), text.size());
        if (wordStart == wordEnd)
            break; // blanks to the end
        const std::string blanks = text.substr(at, wordStart - at);
        std::string word = text.substr(wordStart, wordEnd - wordStart);
        at = wordEnd;
        if (measure(line + blanks + word) <= width) {
            line += blanks + word;
            continue;
        }
        if (!line.empty())
            lines.push_back(line);
        // A word wider than a line goes in pieces.
        while (measure(word) > width) {
            const std::size_t piece = fittingPrefix(word, width, measure);
            lines.push_back(word.substr(0, piece));
            word.erase(0, piece);
        }
        line = word;
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// The line cut, at a code point boundary, so that it and the ellipsis fit.
std::string withEllipsis(std::string line, double width, const TextWidth& measure)
{
    while (!line.empty() && measure(line + ellipsis) > width) {
        line.pop_back();
        while (!line.empty() && !startsCodePoint(line.back()))
            line.pop_back();
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line + ellipsis;
}

} // namespace

WrappedText wrapText(const std::string& text, double width, int maxLines, const TextWidth& measure)
{
    WrappedText wrapped;
    wrapped.lines = allLines(text, width, measure);
    if (maxLines < 1 || static_cast<int>(wrapped.lines.size()) <= maxLines)
        return wrapped;
    const std::string last = wrapped.lines[static_cast<std::size_t>(maxLines) - 1];
    wrapped.lines.resize(static_cast<std::size_t>(maxLines));
    wrapped.lines.back() = withEllipsis(last + " ", width, measure);
    wrapped.cut = true;
    return wrapped;
}
