#pragma once

// What a run of a bundle's launcher would do, judged from the bundle's files:
// which install agent it would use (shipped, or downloaded from which URL),
// the current user's cache directory, whether downloads must be signed, how
// the splash picture is shown, its desktop entry, and what would go wrong.

#include <ostream>
#include <string>
#include <utility>
#include <vector>

struct BundleReport {
    std::vector<std::pair<std::string, std::string>> facts; // (label, text), in order
    std::vector<std::string> problems;                      // would make a run fail or depend on chance
    std::vector<std::string> notes;                         // worth knowing, harmless
    std::vector<std::string> warnings;                      // works, but users are at risk
};

// The bundle at root (an application bundle or a flat directory), named
// shownRoot in the report when that is given.
BundleReport inspectBundle(const std::string& root, const std::string& shownRoot = {});

void printBundleReport(const BundleReport& report, std::ostream& out);
