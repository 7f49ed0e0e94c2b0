#pragma once

#include <optional>
#include <string>

// The application bundle around the running executable E (from /proc/self/exe),
// as bundleDirectoriesAround (provisioning/bundle_contents.h) lays it out:
// when E lies in <B>/Contents/MacOS/, the bundle is B and its resources are
// <B>/Contents/Resources; otherwise E's own directory is both the bundle and
// its resource directory. There is no bundle only when E cannot be found.
struct MainBundle {
    std::string bundlePath;
    std::string resourcePath;
};

std::optional<MainBundle> mainBundle();

// The name the main bundle's users know it by, which the download window and
// the system log use: an application bundle's name without ".app"
// ("Example Installer" for Example Installer.app), a flat layout's directory
// name; empty without a bundle.
std::string mainBundleName();

// The bundle that belongs to an executable at the given path; none for an empty path.
std::optional<MainBundle> bundleForExecutable(const std::string& executablePath);

// Tests replace the main bundle (or its absence) through this seam.
void overrideMainBundle(std::optional<MainBundle> bundle);
void clearMainBundleOverride();
