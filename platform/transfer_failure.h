#pragma once

// What a failed attempt means: whether it may pass by itself (and is worth
// another attempt), what kind of failure it was, and the same in plain words
// for the person in front of the window. Pure: the facts come from the
// transfer (curl_transfer.h) or from the download that looked at its answer.

#include "platform/url_download.h"

#include <curl/curl.h>

#include <cstdint>
#include <string>

struct TransferFailure {
    std::string description; // one line, for the log
    std::string explanation; // plain words; "" when there are none better than the description
    bool mayPass = false;
    UrlDownloadRetry::Cause cause = UrlDownloadRetry::Cause::ConnectionLost;
    long statusCode = 0;     // ServerBusy: the HTTP status
    std::string host;        // the host it concerns: the URL's, or the proxy's
};

// How a transfer ended without an answer worth delivering, as it saw it.
struct TransferEnd {
    CURLcode result = CURLE_OK;
    std::string description;   // its one-line reason
    bool refusedRedirect = false;
    bool connected = false;    // a connection (to the server, or to the proxy) was made
    long proxyConnectCode = 0; // the proxy's answer to a tunnel request; 0 without one
    std::string host;          // of the URL tried
    std::string proxyHost;     // of the proxy in the way; "" when none is known
};

// Refused, reset or dropped connections, a body cut short, the silence and
// failed name lookups may pass; so may a proxy's "not now" to a tunnel. A
// proxy that refuses the tunnel otherwise (a 403) does not, nor do
// certificate and TLS failures: curl does not tell a reset during the
// handshake apart from a server that cannot be trusted.
TransferFailure judgeTransferFailure(const TransferEnd& end);

// A server that answered "not now" (isTransientHttpStatus).
TransferFailure serverBusy(long statusCode, const std::string& host);

// A body that ended, with the transfer, before the length it was announced
// with: a connection-delimited answer cut short. It may pass.
TransferFailure bodyEndedEarly(std::uint64_t received, std::int64_t length, const std::string& host);
