#pragma once

// A bundle demonstrably made from a kit: the only kind of directory the tool
// ever replaces or wraps. Its launcher, where the layout keeps it, carries a
// kit launcher's build identity (tools/launcher_identity.h), and its payload
// is there. A build directory that merely holds a file named "launcher" is
// none.

#include <string>

// Empty when the directory at path is such a bundle; otherwise why not, as a
// phrase that follows its name ("holds no bundle.zip").
std::string whyNotAKitBundle(const std::string& path);
