#include "launcher/driver.h"
#include "launcher/error_reporter.h"

int main(int argc, char** argv)
{
    const int result = mainFcn(argc, const_cast<const char**>(argv), report_error_main);
    if (result != 0)
        report_error_main("Installation failed.", true);
    return result;
}
