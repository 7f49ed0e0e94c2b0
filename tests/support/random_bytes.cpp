#include "support/random_bytes.h"

#include <cstdint>
#include <random>

namespace testsupport {

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937_64 generator(seed);
    std::string bytes(size, '\0');
    // Eight bytes from each draw: tens of megabytes are made in a blink.
    std::size_t at = 0;
    while (at < size) {
        std::uint64_t draw = generator();
        for (int i = 0; i < 8 && at < size; ++i, draw >>= 8)
            bytes[at++] = static_cast<char>(draw & 0xFF);
    }
    return bytes;
}

} // namespace testsupport
