// Where the download window puts its controls, at a scale, with or without a picture.

#include "ui/fltk/fltk_layout.h"

#include <gtest/gtest.h>

namespace {

bool inside(const LayoutBox& box, const WindowLayout& layout)
{
    return box.x >= 0 && box.y >= 0 && box.x + box.w <= layout.width && box.y + box.h <= layout.height;
}

TEST(WindowLayout, ShrinksToItsControlsWithoutAPictureAndScalesEverythingAlike)
{
    const WindowLayout plain = layOutWindow(1.0, false);
    const WindowLayout pictured = layOutWindow(1.0, true);
    EXPECT_EQ(plain.picture.w, 0);
    EXPECT_EQ(pictured.picture.w, 400);
    EXPECT_EQ(pictured.picture.h, 400);
    EXPECT_EQ(pictured.width, plain.width);
    EXPECT_EQ(pictured.height - plain.height, 400 + 12) << "the picture and its gap, nothing else";
    EXPECT_EQ(pictured.bar.y - plain.bar.y, 412);
    for (const WindowLayout* layout : {&plain, &pictured}) {
        for (const LayoutBox* box : {&layout->bar, &layout->message, &layout->button})
            EXPECT_TRUE(inside(*box, *layout));
        EXPECT_LT(layout->bar.y + layout->bar.h, layout->message.y);
        EXPECT_LT(layout->message.y + layout->message.h, layout->button.y);
        EXPECT_EQ(layout->message.h, statusLines * layout->statusLineHeight + detailLines * layout->detailLineHeight);
    }

    const WindowLayout doubled = layOutWindow(2.0, true);
    EXPECT_EQ(doubled.width, 2 * pictured.width);
    EXPECT_EQ(doubled.height, 2 * pictured.height);
    EXPECT_EQ(doubled.button.x, 2 * pictured.button.x);
    EXPECT_EQ(doubled.statusFontSize, 26);
    EXPECT_EQ(layOutWindow(0.5, false).width, plain.width) << "never drawn smaller than at 96 dpi";
}

} // namespace
