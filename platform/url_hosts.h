#pragma once

// The hosts a download talks to, for telling a person: the URL's own, and the
// proxy's that the environment names for it.

#include <string>

// The host of an absolute URL ("downloads.example.com", "127.0.0.1"); "" when
// the text names none.
std::string hostOfUrl(const std::string& url);

// The host of the proxy that the environment names for URLs of this scheme,
// looked up as libcurl does (http_proxy for http; https_proxy or HTTPS_PROXY
// for https; then all_proxy or ALL_PROXY); "" when none is named.
std::string proxyHostFromEnvironment(const std::string& scheme);
