#pragma once

// The two shapes of a bundle, as the launcher finds its resources:
//
//   Name.app/Contents/MacOS/launcher (+ launcher-window.so)
//   Name.app/Contents/Resources/bundle.zip, InstallAgent.zip, splash.png, InstallAgent.pub
//
// or flat, everything side by side in one directory.

#include <string>

struct BundleLayout {
    bool application = false;
    std::string root;          // Name.app, or the flat directory
    std::string executableDir; // where the launcher lies
    std::string resources;     // where bundle.zip and the rest lie
};

// An output named "<something>.app" is made as an application bundle,
// anything else flat.
bool namesApplicationBundle(const std::string& name);

BundleLayout bundleLayoutFor(const std::string& root, bool application);

// An existing bundle: an application bundle when <root>/Contents/MacOS is a
// directory, otherwise flat.
BundleLayout existingBundleLayout(const std::string& root);

// The resource names the launcher looks for.
namespace bundleFiles {
inline const char* const launcher = "launcher";
inline const char* const windowModule = "launcher-window.so";
inline const char* const payload = "bundle.zip";
inline const char* const agent = "InstallAgent.zip";
inline const char* const splash = "splash.png";
inline const char* const publicKey = "InstallAgent.pub";
} // namespace bundleFiles
