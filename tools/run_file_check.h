#pragma once

// What a self-extracting file made by this tool holds, found without
// running it: its header is read, its archive checked against the SHA-256
// the header records and unpacked into a private temporary directory, and
// the bundle inside judged as --check judges a bundle directory.

#include "tools/bundle_check.h"

#include <string>

// The report on the file at path: its own facts first, then the bundle's.
BundleReport inspectRunFile(const std::string& path);
