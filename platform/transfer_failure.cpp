#include "platform/transfer_failure.h"

#include "platform/retry_policy.h"

namespace {

using Cause = UrlDownloadRetry::Cause;

std::string connectionLostExplanation(const std::string& host)
{
    return "The connection to " + host + " broke off before the download was complete";
}

// A proxy that answered the tunnel request with anything but its opening.
TransferFailure proxyRefusal(const TransferEnd& end)
{
    const std::string proxy = end.proxyHost.empty() ? end.host : end.proxyHost;
    const std::string code = std::to_string(end.proxyConnectCode);
    TransferFailure failure{end.description, {}, false, Cause::ServerBusy, end.proxyConnectCode, proxy};
    if (isTransientHttpStatus(end.proxyConnectCode)) {
        failure.mayPass = true;
        failure.explanation = "The proxy " + proxy + " is busy (" + code + ")";
    } else {
        failure.explanation = "The proxy " + proxy + " refused the connection (" + code + ")";
    }
    return failure;
}

// The host cannot be found, or not connected to: tried again, then told.
TransferFailure unreachable(const TransferEnd& end)
{
    TransferFailure failure{end.description, {}, true, Cause::CannotReach, 0, end.host};
    if (end.result == CURLE_COULDNT_RESOLVE_PROXY) {
        failure.host = end.proxyHost.empty() ? end.host : end.proxyHost;
        failure.explanation = "The proxy " + failure.host + " could not be found \u2014 check the proxy settings";
    } else if (end.result == CURLE_COULDNT_RESOLVE_HOST) {
        failure.explanation = end.host + " could not be found \u2014 check the network connection";
    } else {
        failure.explanation = "No connection to " + end.host;
    }
    return failure;
}

// What is final at once, in plain words where there are better ones.
std::string explanationOfAFinalFailure(const TransferEnd& end)
{
    if (end.refusedRedirect)
        return "The secure download was sent on to an address that is not secure, so it was stopped";
    switch (end.result) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return "The certificate of " + end.host
               + " cannot be verified, so nothing was downloaded from it (a network that intercepts secure "
                 "connections, or a wrong clock, can cause this)";
    case CURLE_SSL_CONNECT_ERROR:
        return "No secure connection could be made to " + end.host;
    case CURLE_TOO_MANY_REDIRECTS:
        return "The server sent the download from one address to the next without end";
    default:
        return {};
    }
}

} // namespace

TransferFailure judgeTransferFailure(const TransferEnd& end)
{
    if (end.proxyConnectCode >= 300 && end.proxyConnectCode != 407)
        return proxyRefusal(end);
    switch (end.result) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        return unreachable(end);
    case CURLE_OPERATION_TIMEDOUT: // no connection in time, or the silence
        if (!end.connected)
            return unreachable(end);
        return TransferFailure{end.description, "The server has stopped sending data", true, Cause::Stalled, 0, end.host};
    case CURLE_PARTIAL_FILE: // the connection ended before the announced length
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: // reset by the peer
    case CURLE_HTTP2_STREAM:
        return TransferFailure{end.description, connectionLostExplanation(end.host), true, Cause::ConnectionLost, 0,
                               end.host};
    default:
        return TransferFailure{end.description, explanationOfAFinalFailure(end), false, Cause::ConnectionLost, 0,
                               end.host};
    }
}

TransferFailure serverBusy(long statusCode, const std::string& host)
{
    return TransferFailure{"HTTP status " + std::to_string(statusCode), {}, true, Cause::ServerBusy, statusCode, host};
}

TransferFailure bodyEndedEarly(std::uint64_t received, std::int64_t length, const std::string& host)
{
    return TransferFailure{"the body ended after " + std::to_string(received) + " of " + std::to_string(length)
                               + " bytes",
                           connectionLostExplanation(host), true, Cause::ConnectionLost, 0, host};
}
