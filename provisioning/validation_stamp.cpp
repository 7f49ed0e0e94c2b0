#include "provisioning/validation_stamp.h"

#include "provisioning/constants.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string stampPath(const std::string& dir)
{
    return dir + pathSeparator + validationFileName;
}

} // namespace

bool isCacheValid(std::string dir, std::string validationString)
{
    if (validationString.empty())
        return false;
    const std::string path = stampPath(dir);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return false;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    std::string firstLine;
    for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file))
        firstLine += static_cast<char>(c);
    std::fclose(file);
    return firstLine == validationString;
}

void writeValidationString(std::string dir, std::string validationString)
{
    if (dir.empty() || validationString.empty())
        return;
    FILE* file = std::fopen(stampPath(dir).c_str(), "w");
    if (file == nullptr)
        return;
    std::fwrite(validationString.data(), 1, validationString.size(), file);
    std::fclose(file);
}

void removeValidationString(std::string dir)
{
    if (!dir.empty())
        unlink(stampPath(dir).c_str());
}
