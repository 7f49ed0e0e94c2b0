#include "tools/run_file.h"

#include "tools/bundle_check.h"
#include "tools/bundle_files.h"
#include "tools/helper_program.h"
#include "tools/kit_bundle.h"
#include "tools/run_file_check.h"
#include "tools/run_file_format.h"

#include "platform/file_manager.h"
#include "platform/paths.h"
#include "provisioning/bundle_contents.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr std::size_t headerTemplateLimit = 1024 * 1024;

// output is absolute; messages name it as given.
std::string checkRunFileOutput(const std::string& output, const std::string& given, bool replace)
{
    if (!isDirectory(parentDirectory(output)))
        return "the directory " + parentDirectory(output) + " for " + lastPathComponent(output) + " does not exist";
    if (!pathExists(output))
        return {};
    if (!replace)
        return given + " exists (--replace replaces it)";
    if (const std::string why = whyNotAToolRunFile(output); !why.empty())
        return given + " exists and " + why + "; not replacing it";
    return {};
}

std::string checkWrappedBundle(const std::string& bundle, const std::string& given)
{
    if (const std::string why = whyNotAKitBundle(bundle); !why.empty())
        return given + " is not a bundle made from a kit: it " + why;
    const BundleReport report = inspectBundle(bundle);
    if (!report.problems.empty())
        return given + " has problems (launcher-bundle --check tells them all): " + report.problems.front();
    return {};
}

// makeself's header template, found where Debian's makeself keeps it beside
// its program, with the line that passes every argument on.
std::optional<std::string> makeselfHeader(std::string& whyNot)
{
    const std::string makeself = findProgram("makeself");
    if (makeself.empty()) {
        whyNot = "makeself cannot be run (Debian: makeself)";
        return std::nullopt;
    }
    const std::string path = parentDirectory(parentDirectory(makeself)) + "/share/makeself/makeself-header.sh";
    std::string why;
    const std::optional<std::string> stock = readSmallFile(path, headerTemplateLimit, why);
    const std::optional<std::string> passing = stock ? argumentPassingHeader(*stock, why) : std::nullopt;
    if (!passing)
        whyNot = "makeself's header " + path + " " + why;
    return passing;
}

// makeself puts the label into its header inside double quotes, unescaped.
std::string shellSafeLabel(const std::string& title)
{
    std::string label;
    for (const unsigned char c : title)
        label += std::isalnum(c) || std::strchr(" ._+-", c) != nullptr ? static_cast<char>(c) : '_';
    return label;
}

// In staging: the header, and content/ with the start script and a copy of
// the bundle; then makeself makes staging/made.run. Every name makeself sees
// is one of these, relative to staging, so none needs quoting in its header.
std::string runMakeself(const std::string& staging, const std::string& header, const std::string& bundle)
{
    const std::string name = lastPathComponent(bundle);
    const BundleDirectories layout = existingBundleDirectories(bundle);
    std::string failure = writeNewFile(staging + "/header.sh", header, 0644);
    if (failure.empty() && mkdir((staging + "/content").c_str(), 0755) != 0)
        failure = "cannot make " + staging + "/content: " + std::strerror(errno);
    if (failure.empty())
        failure = writeNewFile(staging + "/content/" + runFileStartScriptName,
                               runFileStartScript(name, launcherPathFromDesktopEntry(layout)), 0755);
    if (!failure.empty())
        return failure;
    const ChildRun copied = runHelperProgram({"cp", "-a", "--", bundle, staging + "/content/" + name});
    if (!copied.succeeded())
        return "cannot copy " + bundle + helperComplaint(copied);
    const ChildRun made = runHelperProgram({"makeself", "--header", "./header.sh", "--quiet", "--nox11", "--noprogress",
                                            "--sha256", "--tar-quietly", "content", "made.run",
                                            shellSafeLabel(applicationBundleTitle(name)),
                                            std::string("./") + runFileStartScriptName},
                                           staging);
    if (!made.succeeded())
        return "makeself failed" + helperComplaint(made);
    return {};
}

std::string putFileInPlace(const std::string& made, const std::string& target, bool replace)
{
    const bool moved = replace ? rename(made.c_str(), target.c_str()) == 0
                               : renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
    if (moved)
        return {};
    if (errno == EEXIST)
        return target + " appeared meanwhile; nothing was replaced";
    return "cannot move the file to " + target + ": " + std::strerror(errno);
}

} // namespace

std::string makeRunFile(const RunFileRequest& given, std::ostream& out)
{
    const std::string output = absolutePath(given.output);
    const std::string bundle = absolutePath(given.bundle);
    std::string whyNot;
    if (std::string problem = checkRunFileOutput(output, given.output, given.replace); !problem.empty())
        return problem;
    if (std::string problem = checkWrappedBundle(bundle, given.bundle); !problem.empty())
        return problem;
    const std::optional<std::string> header = makeselfHeader(whyNot);
    if (!header)
        return "cannot make " + given.output + ": " + whyNot;

    std::string staging = parentDirectory(output) + "/.launcher-run-XXXXXX";
    if (mkdtemp(staging.data()) == nullptr)
        return "cannot make a directory in " + parentDirectory(output) + ": " + std::strerror(errno);
    std::string failure = runMakeself(staging, *header, bundle);
    if (failure.empty())
        failure = putFileInPlace(staging + "/made.run", output, given.replace);
    removeItemAtPath(staging);
    if (!failure.empty())
        return failure;
    out << "Made " << output << "\n";
    printBundleReport(inspectRunFile(output), out);
    return {};
}
