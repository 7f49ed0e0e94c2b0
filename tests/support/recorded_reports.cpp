#include "support/recorded_reports.h"

namespace testsupport {

std::vector<std::string>& recordedReports()
{
    static std::vector<std::string> reports;
    return reports;
}

void recordReport(std::string message, bool isError)
{
    recordedReports().push_back((isError ? "error: " : "info: ") + message);
}

} // namespace testsupport
