#pragma once

#include <string>
#include <vector>

namespace testsupport {

// An 8-bit RGB PNG of the pixels (row by row, three bytes each), written by
// hand with stored deflate blocks: no zlib needed.
std::string png(int width, int height, const std::vector<unsigned char>& rgb);

// A real picture of many pixels in a small file: one bit a pixel against a
// palette of two colours (width x height / 8 bytes), decoded to three bytes
// a pixel. What a picture bomb is to a decoder.
std::string largePng(int width, int height);

// The pixels of a picture in one colour, for png().
std::vector<unsigned char> solid(int width, int height, unsigned char r, unsigned char g, unsigned char b);

} // namespace testsupport
