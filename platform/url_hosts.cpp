#include "platform/url_hosts.h"

#include <curl/curl.h>

#include <cstdlib>
#include <initializer_list>

namespace {

const char* firstNamed(std::initializer_list<const char*> values)
{
    for (const char* value : values) {
        if (value != nullptr && *value != '\0')
            return value;
    }
    return nullptr;
}

} // namespace

std::string hostOfUrl(const std::string& url)
{
    CURLU* parsed = curl_url();
    if (parsed == nullptr)
        return {};
    std::string host;
    char* part = nullptr;
    // A proxy may be named without a scheme ("proxy.example.com:3128").
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) == CURLUE_OK
        && curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part != nullptr)
        host = part;
    curl_free(part);
    curl_url_cleanup(parsed);
    return host;
}

std::string proxyHostFromEnvironment(const std::string& scheme)
{
    // Only the lower-case http_proxy: a CGI program's HTTP_PROXY is a request header.
    const char* proxy = scheme == "https" ? firstNamed({std::getenv("https_proxy"), std::getenv("HTTPS_PROXY"),
                                                        std::getenv("all_proxy"), std::getenv("ALL_PROXY")})
                                          : firstNamed({std::getenv("http_proxy"), std::getenv("all_proxy"),
                                                        std::getenv("ALL_PROXY")});
    return proxy != nullptr ? hostOfUrl(proxy) : std::string();
}
