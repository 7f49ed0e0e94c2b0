#include "launcher/error_reporter.h"

#include <iostream>

void report_error_main(std::string message, bool isError)
{
    std::ostream& out = isError ? std::cerr : std::cout;
    out << message << std::endl;
}
