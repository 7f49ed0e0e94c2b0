// The size of a picture read from its file's header, before anything decodes it.

#include "support/png_writer.h"
#include "support/scratch.h"
#include "ui/picture_size.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(PictureSizeFromHeader, ReadsPngAndJpegHeadersAndNothingElse)
{
    ScratchDir scratch;
    writeFile(scratch / "small.png", png(3, 2, solid(3, 2, 1, 2, 3)));
    writeFile(scratch / "bomb.png", largePng(5000, 5000));
    // A JPEG: start of image, an APP0 segment to skip, then the frame header (300 high, 200 wide).
    writeFile(scratch / "photo.jpg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
                                                 "\xFF\xC0\x00\x11\x08\x01\x2C\x00\xC8\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01",
                                                 39));
    writeFile(scratch / "text.png", "this is text, not a picture\n");
    writeFile(scratch / "cut.png", png(3, 2, solid(3, 2, 1, 2, 3)).substr(0, 20));

    const auto small = pictureSizeFromHeader(scratch / "small.png");
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width, 3u);
    EXPECT_EQ(small->height, 2u);
    const auto bomb = pictureSizeFromHeader(scratch / "bomb.png");
    ASSERT_TRUE(bomb);
    EXPECT_EQ(bomb->pixels(), 25000000u);
    const auto photo = pictureSizeFromHeader(scratch / "photo.jpg");
    ASSERT_TRUE(photo);
    EXPECT_EQ(photo->width, 200u);
    EXPECT_EQ(photo->height, 300u);
    EXPECT_FALSE(pictureSizeFromHeader(scratch / "text.png"));
    EXPECT_FALSE(pictureSizeFromHeader(scratch / "cut.png"));
    EXPECT_FALSE(pictureSizeFromHeader(scratch / "missing.png"));
}
