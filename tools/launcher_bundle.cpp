// launcher-bundle: makes installer bundles around the kit's launcher, wraps
// them into self-extracting files, and checks both. See command_line.cpp
// for its use.

#include "tools/agent_signing.h"
#include "tools/bundle_check.h"
#include "tools/bundle_files.h"
#include "tools/bundle_make.h"
#include "tools/command_line.h"
#include "tools/run_file.h"
#include "tools/run_file_check.h"

#include <iostream>

#ifndef LAUNCHER_VERSION
#error "LAUNCHER_VERSION comes from the build"
#endif

namespace {

// --check: a bundle directory, or a self-extracting file.
int check(const std::string& given)
{
    const std::string path = absolutePath(given);
    if (!isDirectory(path) && !isRegularFile(path)) {
        std::cerr << "launcher-bundle: " << given << " is not a bundle directory or a self-extracting file" << std::endl;
        return 2;
    }
    const BundleReport report = isDirectory(path) ? inspectBundle(path) : inspectRunFile(path);
    printBundleReport(report, std::cout);
    return report.problems.empty() ? 0 : 1;
}

int refusedUnless(const std::string& whyNot)
{
    if (whyNot.empty())
        return 0;
    std::cerr << "launcher-bundle: " << whyNot << std::endl;
    return 1;
}

} // namespace

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
    case CommandLine::Action::Check:
        return check(line->checkPath);
    case CommandLine::Action::Wrap:
        return refusedUnless(makeRunFile(line->wrap, std::cout));
    case CommandLine::Action::Sign:
        whyNot = signAgent(line->sign, std::cout);
        if (!whyNot.empty()) {
            std::cerr << "launcher-bundle: " << whyNot << std::endl;
            return 1;
        }
        return 0;
    case CommandLine::Action::Make:
        break;
    }
    return refusedUnless(makeBundle(line->make, std::cout));
}
