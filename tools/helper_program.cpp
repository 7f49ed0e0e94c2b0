#include "tools/helper_program.h"

#include <sstream>

ChildRun runHelperProgram(const std::vector<std::string>& argv, const std::string& workingDirectory)
{
    ChildProcessOptions options;
    options.argv = argv;
    options.inputFromNull = true;
    options.withoutTerminal = true;
    options.workingDirectory = workingDirectory;
    return runChild(options, ChildOutput::Apart);
}

std::string firstLine(const std::string& text)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start != std::string::npos)
            return line.substr(start);
    }
    return {};
}

std::string helperComplaint(const ChildRun& run)
{
    const std::string said = firstLine(run.errorOutput.empty() ? run.output : run.errorOutput);
    return said.empty() ? std::string() : ": " + said;
}
