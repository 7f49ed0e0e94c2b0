// The window's scale from what the desktop leaves for applications.

#include "ui/window_scale.h"

#include <gtest/gtest.h>

TEST(WindowScale, ComesFromTheEnvironmentWhereSetElseFromXftDpi)
{
    const char* const resources = "Xft.antialias:\t1\nXft.dpi:\t192\nXft.hinting:\t1\n";
    EXPECT_EQ(windowScale(nullptr, nullptr, resources), 2.0);
    EXPECT_EQ(windowScale(nullptr, nullptr, "Xft.dpi:\t120"), 1.25);
    EXPECT_EQ(windowScale("3", "1.5", resources), 3.0);
    EXPECT_EQ(windowScale(nullptr, "1.5", resources), 1.5);
    EXPECT_EQ(windowScale("", "x", resources), 2.0) << "values that are no numbers are passed over";
    EXPECT_EQ(windowScale(nullptr, nullptr, nullptr), 1.0);
    EXPECT_EQ(windowScale(nullptr, nullptr, "Xft.dpi:\t72\n"), 1.0) << "never smaller than at 96 dpi";
    EXPECT_EQ(windowScale("10", nullptr, nullptr), 4.0);
}
