#pragma once

// Test data that does not compress: archives too large to hide in socket
// buffers, files whose every byte counts.

#include <cstddef>
#include <string>

namespace testsupport {

// size pseudo-random bytes; the same size and seed give the same bytes.
std::string randomBytes(std::size_t size, unsigned seed = 42);

} // namespace testsupport
