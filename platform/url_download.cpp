#include "platform/url_download.h"

#include "platform/http_response_head.h"

std::string UrlResponse::headerField(const std::string& name) const
{
    const std::string* value = findHeaderField(headerFields, name);
    return value ? *value : std::string();
}

bool UrlResponse::hasHeaderField(const std::string& name) const
{
    return findHeaderField(headerFields, name) != nullptr;
}
