#pragma once

#include <string>

// The stamp ".validatestring" in the cache directory holds the ETag of the
// download that the cached agent came from, byte for byte, nothing else.

// True when the stamp's first line equals validationString exactly.
bool isCacheValid(std::string dir, std::string validationString);

// Replaces the stamp with validationString; does nothing for an empty dir or value.
void writeValidationString(std::string dir, std::string validationString);

// Removes the stamp, so that no ETag can match an agent it did not come from.
void removeValidationString(std::string dir);
