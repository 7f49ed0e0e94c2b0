#pragma once

#include <string>
#include <vector>

// How the bar of a terminal line looks.
struct TextBar {
    bool indeterminate = false;
    double filled = 0.0;   // determinate: the filled part, from 0 to 1
    int animationStep = 0; // indeterminate: where the moving block is
};

// The bar with inner characters between its brackets: "[######----]" filled
// from the left, or a block of '#' going to and fro as the step advances.
std::string drawTextBar(const TextBar& bar, int inner);

// One line of status text, bar and details ("Downloading  42% [###---]
// 3.5 MiB / 8.3 MiB ...") in at most width columns. The details come as
// choices, the fullest first ("bytes  speed  time left", then "bytes  time
// left", ...). What a narrow terminal gives up, in order: bar width, then
// the bar itself, then one choice of details after the other (with the bar
// as wide as there is room for again), then the end of the status text. An
// empty status or details part takes no room.
std::string layOutLine(std::string status, const std::vector<std::string>& detailChoices, const TextBar& bar,
                       int width);
