// A terminal line of status, bar and figures within the terminal's width.

#include "ui/terminal/line_layout.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::string> figures{"3.5 MiB / 28.6 MiB  1.5 MiB/s  18 s left", "3.5 MiB / 28.6 MiB  18 s left",
                                       "3.5 MiB / 28.6 MiB"};
const TextBar halfFull{false, 0.5, 0};

TEST(LineLayout, ANarrowTerminalShrinksTheBarBeforeTheFiguresGo)
{
    EXPECT_EQ(layOutLine("Downloading  12%", figures, halfFull, 99),
              "Downloading  12% [" + std::string(15, '#') + std::string(15, '-') + "]  " + figures[0]);
    // 70 columns: the bar shrinks to make room for all the figures.
    const std::string shrunk = layOutLine("Downloading  12%", figures, halfFull, 70);
    EXPECT_EQ(shrunk.size(), 70u) << shrunk;
    EXPECT_TRUE(shrunk.ends_with("-]  " + figures[0])) << shrunk;
    // 60: no room for a bar beside all of them: the bar goes, the figures stay.
    EXPECT_EQ(layOutLine("Downloading  12%", figures, halfFull, 60), "Downloading  12%  " + figures[0]);
    // 54: the speed goes, and a small bar comes back; at 39 the time left goes too.
    EXPECT_EQ(layOutLine("Downloading  12%", figures, halfFull, 54), "Downloading  12% [##--]  " + figures[1]);
    EXPECT_EQ(layOutLine("Downloading  12%", figures, halfFull, 39), "Downloading  12%  " + figures[2]);
    // Narrower still: status and bar, then the status cut.
    EXPECT_EQ(layOutLine("Downloading  12%", figures, halfFull, 30), "Downloading  12% [######-----]");
    EXPECT_EQ(layOutLine("Downloading  12%", figures, halfFull, 15), "Download [##--]");
}

} // namespace
