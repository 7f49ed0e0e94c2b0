// launcher-bundle: makes installer bundles around the kit's launcher, and
// checks them. See command_line.cpp for its use.

#include "tools/bundle_check.h"
#include "tools/bundle_files.h"
#include "tools/bundle_make.h"
#include "tools/command_line.h"

#include <iostream>

#ifndef LAUNCHER_VERSION
#error "LAUNCHER_VERSION comes from the build"
#endif

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string whyNot;
    const std::optional<CommandLine> line = parseCommandLine(arguments, whyNot);
    if (!line) {
        std::cerr << "launcher-bundle: " << whyNot << " (--help tells how)" << std::endl;
        return 2;
    }
    switch (line->action) {
    case CommandLine::Action::Help:
        std::cout << usageText;
        return 0;
    case CommandLine::Action::Version:
        std::cout << "launcher-bundle " << LAUNCHER_VERSION << "\n";
        return 0;
    case CommandLine::Action::Check: {
        const std::string root = absolutePath(line->checkPath);
        if (!isDirectory(root)) {
            std::cerr << "launcher-bundle: " << line->checkPath << " is not a bundle directory" << std::endl;
            return 2;
        }
        const BundleReport report = inspectBundle(root);
        printBundleReport(report, std::cout);
        return report.problems.empty() ? 0 : 1;
    }
    case CommandLine::Action::Make:
        break;
    }
    whyNot = makeBundle(line->make, std::cout);
    if (!whyNot.empty()) {
        std::cerr << "launcher-bundle: " << whyNot << std::endl;
        return 1;
    }
    return 0;
}
