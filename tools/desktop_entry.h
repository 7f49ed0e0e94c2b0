#pragma once

// The desktop entry the tool writes into every bundle (desktopEntryName at
// the bundle's root, provisioning/bundle_contents.h), so that a file manager
// starts the launcher with a double-click: an application named after the
// bundle, not in a terminal, whose Exec line finds the launcher relative to
// the entry's own place (the %k field code), so the bundle can be moved.
//
// A desktop looks an icon up by name in its icon theme, never relative to
// the entry: the entry names the bundle's icon by a theme name made from the
// bundle's name, which shows once the icon is installed under that name.

#include "provisioning/bundle_contents.h"

#include <optional>
#include <string>

// The entry's text for the bundle at layout titled title; iconName empty:
// no icon.
std::string desktopEntryText(const std::string& title, const BundleDirectories& layout, const std::string& iconName);

// The icon's theme name for a bundle title: lower-case letters and digits,
// every other run of characters one "-" ("Acme Setup 2" gives
// "acme-setup-2"); "launcher" when nothing is left.
std::string desktopIconName(const std::string& title);

// The resource name a picture file is shipped as (bundleIconPngName or
// bundleIconSvgName, by its content); none, with the reason in whyNot, for a
// file that is neither a PNG nor an SVG picture of at most a few megabytes.
std::optional<std::string> bundleIconResourceName(const std::string& path, std::string& whyNot);
