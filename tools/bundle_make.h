#pragma once

// Making a bundle: every input is checked before anything is written; the
// bundle, with its desktop entry, is assembled in a hidden directory beside
// the output and renamed into place at the end, so that a refusal or a
// failure leaves nothing. Only a bundle made from a kit is replaced.

#include <ostream>
#include <string>

struct BundleRequest {
    std::string output;    // Name.app (application bundle) or any other name (flat)
    std::string payload;   // becomes bundle.zip
    std::string agent;     // a zip archive or a directory; empty: the launcher downloads it
    std::string splash;    // PNG or JPEG; empty: none
    std::string publicKey; // minisign public key; empty: downloads need no signature
    std::string icon;      // PNG or SVG for the desktop entry; empty: none
    bool replace = false;  // an existing bundle at output may be replaced
};

// Empty when the bundle was made (and its report printed on out);
// otherwise why not, as one line.
std::string makeBundle(const BundleRequest& request, std::ostream& out);
