// Texts broken into lines of a width, measured here in characters.

#include "ui/text_wrap.h"

#include <gtest/gtest.h>

namespace {

double characters(std::string_view text)
{
    double width = 0;
    for (const char c : text)
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

using Lines = std::vector<std::string>;

TEST(WrapText, BreaksAtBlanksKeepsThoseInsideALineAndCutsWhatHasNoRoom)
{
    EXPECT_EQ(wrapText("Downloading  42%", 40, 2, characters).lines, Lines{"Downloading  42%"});
    const std::string sentence = "Error during the download process. See your system log for more information.";
    const WrappedText two = wrapText(sentence, 44, 2, characters);
    EXPECT_EQ(two.lines, (Lines{"Error during the download process. See your", "system log for more information."}));
    EXPECT_FALSE(two.cut);

    const WrappedText one = wrapText(sentence, 44, 1, characters);
    EXPECT_TRUE(one.cut);
    EXPECT_EQ(one.lines, Lines{"Error during the download process. See your\xE2\x80\xA6"});
    EXPECT_LE(characters(one.lines[0]), 44);

    // A word wider than a line (a URL) goes in pieces, at code points.
    EXPECT_EQ(wrapText("at http://h\xC3\xA9/abcdefgh", 8, 4, characters).lines,
              (Lines{"at", "http://h", "\xC3\xA9/abcdef", "gh"}));
    EXPECT_EQ(wrapText("at http://h\xC3\xA9/abcdefgh", 8, 3, characters).lines,
              (Lines{"at", "http://h", "\xC3\xA9/abcde\xE2\x80\xA6"}));
    EXPECT_TRUE(wrapText("   ", 10, 2, characters).lines.empty());
}

} // namespace
