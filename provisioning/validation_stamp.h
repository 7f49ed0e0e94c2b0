#pragma once

#include <string>

// The stamp ".validatestring" in the cache directory holds the ETag of the
// download that the cached agent came from, byte for byte, nothing else.
// Only its first line counts (up to the first "\n", nothing trimmed). A stamp
// is the regular file that writeValidationString() put at that path: a link
// there (or anything else that is not a regular file) is no stamp, since the
// promise of a stamp, that it names the complete agent beside it, holds only
// for a file the cache's swap wrote.

// The stamp's first line; "" when there is no stamp, it cannot be read, or
// its first line is empty. The one reader of the stamp.
std::string readValidationString(const std::string& dir);

// True when the stamp's first line equals validationString exactly; never for
// an empty validationString.
bool isCacheValid(std::string dir, std::string validationString);

// Replaces the stamp with validationString; does nothing for an empty dir or value.
void writeValidationString(std::string dir, std::string validationString);

// Removes the stamp, so that no ETag can match an agent it did not come from.
void removeValidationString(std::string dir);

// Whether a name in the stamp's directory is a stamp being written, or left
// unfinished by a run that was killed while writing it.
bool isUnfinishedValidationStringName(const std::string& name);
