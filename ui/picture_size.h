#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The size of a picture as its file announces it, read from the header
// alone: a small file may announce a picture whose decoding would take
// gigabytes, and that has to be known before anything decodes it.
struct PictureSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    std::uint64_t pixels() const { return static_cast<std::uint64_t>(width) * height; }
};

// The width and height in the header of a PNG (IHDR) or JPEG (its frame
// header) file; none when the file is neither, or its header cannot be read.
std::optional<PictureSize> pictureSizeFromHeader(const std::string& path);
