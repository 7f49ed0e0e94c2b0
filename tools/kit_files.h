#pragma once

// The launcher (and its window module) that the bundle tool copies into the
// bundles it makes, found relative to the tool's own executable: in an
// installed kit <bin>/../libexec/launcher/, in a build tree beside the tool.
// An installed kit moved elsewhere as a whole (an unpacked package in a
// scratch root) still finds its own files.

#include <optional>
#include <string>

struct KitFiles {
    std::string launcher;
    std::string windowModule; // empty when the window module is not installed
};

// None, with the reason in whyNot, when no launcher is found.
std::optional<KitFiles> findKitFiles(std::string& whyNot);
