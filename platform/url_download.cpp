#include "platform/url_download.h"

#include <strings.h>

namespace {

const std::string* findField(const std::map<std::string, std::string>& fields, const std::string& name)
{
    for (const auto& [fieldName, value] : fields) {
        if (strcasecmp(fieldName.c_str(), name.c_str()) == 0)
            return &value;
    }
    return nullptr;
}

} // namespace

std::string UrlResponse::headerField(const std::string& name) const
{
    const std::string* value = findField(headerFields, name);
    return value ? *value : std::string();
}

bool UrlResponse::hasHeaderField(const std::string& name) const
{
    return findField(headerFields, name) != nullptr;
}
