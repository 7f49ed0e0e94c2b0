#include "ui/picture_size.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Reads exactly size bytes.
bool readBytes(std::FILE* file, unsigned char* into, std::size_t size)
{
    return std::fread(into, 1, size, file) == size;
}

std::uint32_t bigEndian(const unsigned char* bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// After the 8-byte signature: the first chunk must be IHDR, width then height.
std::optional<PictureSize> pngSize(std::FILE* file)
{
    unsigned char chunk[16];
    if (!readBytes(file, chunk, sizeof chunk) || std::memcmp(chunk + 4, "IHDR", 4) != 0)
        return std::nullopt;
    return PictureSize{bigEndian(chunk + 8, 4), bigEndian(chunk + 12, 4)};
}

// Whether a JPEG marker starts a frame header, which holds the size.
bool isStartOfFrame(unsigned char marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// After FF D8: segment after segment up to the first frame header.
std::optional<PictureSize> jpegSize(std::FILE* file)
{
    for (int segments = 0; segments < 1000; ++segments) {
        unsigned char marker[2];
        if (!readBytes(file, marker, 2) || marker[0] != 0xFF)
            return std::nullopt;
        if (marker[1] == 0xFF || (marker[1] >= 0xD0 && marker[1] <= 0xD7) || marker[1] == 0x01) {
            if (marker[1] == 0xFF)
                std::ungetc(0xFF, file); // fill byte before the marker
            continue;
        }
        unsigned char length[2];
        if (!readBytes(file, length, 2) || bigEndian(length, 2) < 2)
            return std::nullopt;
        if (isStartOfFrame(marker[1])) {
            unsigned char frame[5]; // precision, height, width
            if (!readBytes(file, frame, sizeof frame))
                return std::nullopt;
            return PictureSize{bigEndian(frame + 3, 2), bigEndian(frame + 1, 2)};
        }
        if (std::fseek(file, static_cast<long>(bigEndian(length, 2)) - 2, SEEK_CUR) != 0)
            return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

std::optional<PictureSize> pictureSizeFromHeader(const std::string& path)
{
    const File file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file)
        return std::nullopt;
    unsigned char start[8];
    if (!readBytes(file.get(), start, 2))
        return std::nullopt;
    if (start[0] == 0xFF && start[1] == 0xD8)
        return jpegSize(file.get());
    static const unsigned char pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!readBytes(file.get(), start + 2, 6) || std::memcmp(start, pngSignature, sizeof pngSignature) != 0)
        return std::nullopt;
    return pngSize(file.get());
}
