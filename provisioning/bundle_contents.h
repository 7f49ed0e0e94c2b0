#pragma once

// What a launcher bundle holds and where: the one description that the
// launcher reads its bundle by and the bundle tool makes and checks bundles by.
//
//   Name.app/                     launcher.desktop
//   Name.app/Contents/MacOS/      launcher, launcher-window.so
//   Name.app/Contents/Resources/  bundle.zip, InstallAgent.zip (or InstallAgent_*.zip),
//                                 InstallAgent.pub, splash.png, icon.png or icon.svg
//
// or flat: all of them side by side in one directory.

#include "provisioning/constants.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Beside the executable: the executable as the bundle tool names it, and the
// window module that the launcher loads from beside itself.
inline constexpr const char* launcherExecutableName = "launcher";
inline constexpr const char* windowModuleName = "launcher-window.so";

// Among the resources. The shipped install agent is installAgentZipName
// ("InstallAgent.zip", constants.h).
inline constexpr const char* installationPayloadName = "bundle.zip";
inline constexpr const char* installAgentPublicKeyName = "InstallAgent.pub";
inline constexpr const char* splashPictureName = "splash.png";

// At the bundle's root in either layout: the desktop entry that starts the
// launcher from a file manager. It finds the launcher relative to its own
// place, so the bundle can be moved.
inline constexpr const char* desktopEntryName = "launcher.desktop";
// Among the resources: the bundle's icon, one of the two.
inline constexpr const char* bundleIconPngName = "icon.png";
inline constexpr const char* bundleIconSvgName = "icon.svg";

// The largest splash picture, in pixels (width x height), that the bundle tool
// takes and the launcher decodes: a small file may well announce a picture
// whose decoding would take gigabytes.
inline constexpr std::uint64_t splashPictureMaxPixels = 4096 * 4096;

// Whether a resource's name makes it an alternative install-agent archive:
// "InstallAgent_" ... ".zip", compared byte for byte.
bool isAlternativeInstallAgentName(const std::string& name);

// The names of the alternative archives in resourceDir, in the order the
// directory yields them (a run takes the first), at most limit of them; none
// when the directory cannot be read.
std::vector<std::string> findAlternativeInstallAgents(const std::string& resourceDir,
                                                      std::size_t limit = SIZE_MAX);

// Whether a directory's name is that of an application bundle: something, then ".app".
bool namesApplicationBundle(const std::string& name);

// An application bundle's name without its ".app" ("Example Installer" for
// "Example Installer.app"); any other name as it is.
std::string applicationBundleTitle(const std::string& name);

// The directories of one bundle.
struct BundleDirectories {
    bool application = false;  // Name.app/Contents/... rather than flat
    std::string root;          // Name.app, or the flat directory
    std::string executableDir; // the launcher and its window module
    std::string resourceDir;   // the payload, the agent archives, the key, the splash picture
};

// A bundle at root, of the kind given.
BundleDirectories bundleDirectoriesAt(const std::string& root, bool application);

// An existing bundle at root: an application bundle when root/Contents/MacOS
// is a directory, otherwise flat.
BundleDirectories existingBundleDirectories(const std::string& root);

// The desktop entry of a bundle: desktopEntryName at its root.
std::string desktopEntryPath(const BundleDirectories& layout);

// The launcher's path relative to the directory of the desktop entry:
// "launcher" flat, "Contents/MacOS/launcher" in an application bundle.
std::string launcherPathFromDesktopEntry(const BundleDirectories& layout);

// The bundle around an executable at a (non-empty) path: an application
// bundle when it lies in <root>/Contents/MacOS (those very names, as whole
// components), otherwise flat in the executable's own directory.
BundleDirectories bundleDirectoriesAround(const std::string& executablePath);
