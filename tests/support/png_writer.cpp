#include "support/png_writer.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace testsupport {

namespace {

std::uint32_t crc32(const std::string& bytes)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const unsigned char byte : bytes)
        c = table[(c ^ byte) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putBigEndian(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

std::string pngChunk(const std::string& type, const std::string& data)
{
    std::string chunk;
    putBigEndian(chunk, static_cast<std::uint32_t>(data.size()));
    chunk += type + data;
    putBigEndian(chunk, crc32(type + data));
    return chunk;
}

// A zlib stream of stored (not compressed) deflate blocks.
std::string storedZlib(const std::string& raw)
{
    std::string zlib = "\x78\x01";
    std::uint32_t a = 1, b = 0;
    for (const unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const std::size_t length = std::min<std::size_t>(65535, raw.size() - at);
        zlib += static_cast<char>(at + length >= raw.size() ? 1 : 0);
        zlib += static_cast<char>(length & 0xFF);
        zlib += static_cast<char>(length >> 8);
        zlib += static_cast<char>(~length & 0xFF);
        zlib += static_cast<char>((~length >> 8) & 0xFF);
        zlib += raw.substr(at, length);
        if (raw.empty())
            break;
    }
    putBigEndian(zlib, (b << 16) | a);
    return zlib;
}

// The file around the image data: bit depth and colour type as PNG numbers
// them, a palette chunk when one is given.
std::string pngFile(int width, int height, int bitDepth, int colourType, const std::string& palette,
                    const std::string& raw)
{
    std::string header;
    putBigEndian(header, static_cast<std::uint32_t>(width));
    putBigEndian(header, static_cast<std::uint32_t>(height));
    header += static_cast<char>(bitDepth);
    header += static_cast<char>(colourType);
    header += std::string("\x00\x00\x00", 3); // deflate, no filter, no interlace
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
           (palette.empty() ? std::string() : pngChunk("PLTE", palette)) + pngChunk("IDAT", storedZlib(raw)) +
           pngChunk("IEND", "");
}

} // namespace

std::string png(int width, int height, const std::vector<unsigned char>& rgb)
{
    std::string raw;
    for (int row = 0; row < height; ++row) {
        raw += '\0'; // no filter
        raw.append(reinterpret_cast<const char*>(rgb.data()) + static_cast<std::size_t>(row) * width * 3,
                   static_cast<std::size_t>(width) * 3);
    }
    return pngFile(width, height, 8, 2, {}, raw); // 8-bit RGB
}

std::string largePng(int width, int height)
{
    const std::string row = '\0' + std::string((static_cast<std::size_t>(width) + 7) / 8, '\0');
    std::string raw;
    raw.reserve(row.size() * static_cast<std::size_t>(height));
    for (int n = 0; n < height; ++n)
        raw += row;
    return pngFile(width, height, 1, 3, std::string("\x30\x60\xa0\xff\xff\xff", 6), raw); // 1-bit palette
}

std::vector<unsigned char> solid(int width, int height, unsigned char r, unsigned char g, unsigned char b)
{
    std::vector<unsigned char> rgb;
    for (int i = 0; i < width * height; ++i) {
        rgb.push_back(r);
        rgb.push_back(g);
        rgb.push_back(b);
    }
    return rgb;
}

} // namespace testsupport
