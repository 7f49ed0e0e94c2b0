#pragma once

// The download window's picture, looked at the way the window will: its
// content (not its name) makes it PNG or JPEG, its header must announce no
// more than splashPictureMaxPixels (provisioning/bundle_contents.h), it is
// then decoded in full, and it is scaled proportionally, up or down, to fit
// the picture area.

#include <optional>
#include <string>

struct SplashPicture {
    std::string format; // "PNG" or "JPEG"
    int width = 0;
    int height = 0;
    int shownWidth = 0;
    int shownHeight = 0;
};

// The picture, or none with the reason in whyNot (one phrase).
std::optional<SplashPicture> inspectSplashPicture(const std::string& path, std::string& whyNot);

// "800x600 PNG, shown at 400x300".
std::string describeSplashPicture(const SplashPicture& picture);
