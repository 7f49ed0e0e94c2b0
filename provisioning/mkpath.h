#pragma once

#include <cstdint>
#include <string>

// Creates a directory and every missing parent with the given mode.
// 0 on success; -1 with errno set when a component is not a directory
// (ENOTDIR) or cannot be created (the errno of that mkdir).
int mkpath(std::string path, std::uint16_t mode);
