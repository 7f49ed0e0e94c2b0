#pragma once

// An ErrorReporter for unit tests: what the code under test reports, kept in
// order as "error: <message>" or "info: <message>". The reporter is a plain
// function, so there is one record for the test program; a fixture clears it
// in its SetUp.

#include <string>
#include <vector>

namespace testsupport {

// The reports so far.
std::vector<std::string>& recordedReports();

// An ErrorReporter: appends to recordedReports().
void recordReport(std::string message, bool isError);

} // namespace testsupport
