#pragma once

// How many pixels the download window gives a point on this screen, from
// the settings desktops leave for applications: GDK_SCALE, else
// QT_SCALE_FACTOR, where one is set to a number; else the X resource
// Xft.dpi (as the resource manager string of the display holds it) over 96;
// else 1. Never below 1 (the window is not made smaller than it is drawn at
// 96 dots per inch), at most 4. Any argument may be null.
double windowScale(const char* gdkScale, const char* qtScaleFactor, const char* xResources);
