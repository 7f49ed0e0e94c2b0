#pragma once

// The bundle tool's command line:
//
//   launcher-bundle [--agent ZIP|DIR] [--splash PICTURE] [--public-key FILE]
//                   [--icon PICTURE] [--replace] --payload FILE OUTPUT
//   launcher-bundle [--replace] --wrap BUNDLE FILE.run
//   launcher-bundle --check BUNDLE|FILE.run
//   launcher-bundle --sign-agent ZIP --secret-key KEY [--output SIGNATURE]
//   launcher-bundle --help | --version
//
// Options take their value as the next word or after "=".

#include "tools/agent_signing.h"
#include "tools/bundle_make.h"
#include "tools/run_file.h"

#include <optional>
#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Make, Check, Wrap, Sign, Help, Version } action = Action::Make;
    BundleRequest make;
    std::string checkPath;
    RunFileRequest wrap;
    SignRequest sign;
};

// The parsed command line, or none with the reason in whyNot (one line).
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments, std::string& whyNot);

extern const char* const usageText;
