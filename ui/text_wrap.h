#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The width a text takes when drawn (in pixels, say).
using TextWidth = std::function<double(std::string_view text)>;

struct WrappedText {
    std::vector<std::string> lines;
    bool cut = false; // the text needed more lines than it got: the last one ends in an ellipsis
};

// A UTF-8 text broken into lines at most width wide, as measured: at
// blanks, and inside a word only where the word alone is wider than a line
// (then at a code point boundary). At most maxLines lines; the last line of
// a text that needs more is cut to fit with an ellipsis after it. No lines
// for a text of blanks only.
WrappedText wrapText(const std::string& text, double width, int maxLines, const TextWidth& measure);
