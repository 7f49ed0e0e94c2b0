#pragma once

// The test HTTP server (support/http_test_server.py) as a child process of
// the test: it listens on 127.0.0.1 only, and every answer is chosen by the
// query of the request (see the script for the parameters). The server keeps
// a record of each request: how many body bytes it managed to send and
// whether the client hung up.
//
// Given a certificate and its key (see makeTestCertificate), the server also
// answers over TLS on a second port: the same answers, the same records.
//
// Creating a server also takes the environment's proxies out of the way for
// the whole test process and its children (no_proxy=127.0.0.1,localhost, the
// *_proxy variables removed), so that requests to it cannot be diverted.
// Failures to start throw std::runtime_error.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct ServedRequest {
    std::string path;           // "/archive.zip"
    std::string query;          // "size=10&etag=%22a%22", as sent
    std::int64_t bytesSent = 0; // body bytes that send() accepted
    bool clientClosed = false;  // the client hung up before the answer was complete
    bool done = false;          // the server has finished with the request
    bool held = false;          // waiting for its release (hold=<name>)
    std::string range;          // the request's Range header, "" when it had none
    std::string ifRange;        // its If-Range header
    long status = 0;            // the status sent; 0 before the headers
    bool tls = false;           // it came over TLS
    std::string userAgent;      // its User-Agent header
    std::string proxyAuthorization; // its Proxy-Authorization header
};

// A self-signed certificate for 127.0.0.1 and its key, PEM files made by the
// real openssl in the directory. The certificate is its own CA: trusting it
// (CURLOPT_CAINFO) is what lets a client verify the server.
struct TestCertificate {
    std::string certificate;
    std::string key;
};
TestCertificate makeTestCertificate(const std::string& directory);

class HttpTestServer {
public:
    HttpTestServer();
    // Also over TLS, with this certificate.
    explicit HttpTestServer(const TestCertificate& tls);
    // Kills the server and reaps it.
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" + pathAndQuery (a "/" is put in front when missing).
    std::string url(const std::string& pathAndQuery) const;
    // The same over TLS: "https://127.0.0.1:<tls port>" + pathAndQuery.
    std::string httpsUrl(const std::string& pathAndQuery) const;

    // The raw JSON of GET /__stats.
    std::string stats() const;
    // The records of /__stats, in the order the requests arrived.
    std::vector<ServedRequest> requests() const;
    // bytes_sent of the n-th request (from 0); -1 when there is no such request.
    std::int64_t bytesSent(std::size_t n) const;
    // Waits until the n-th request (from 0) exists and is done, and returns
    // it; none when that does not happen within the safety limit (a guard,
    // not a timing assertion).
    std::optional<ServedRequest> waitForRequest(std::size_t n, double safetyLimitSeconds = 60.0) const;
    // Forgets the records (GET /__reset).
    void reset() const;
    // Lets the requests held under the name (hold=<name>) go on, and those
    // that come later pass at once.
    void release(const std::string& holdName) const;
    // How many requests wait for their release right now.
    std::size_t heldRequests() const;

    // A plain GET of pathAndQuery over a fresh connection; the whole answer,
    // status line and headers included.
    std::string get(const std::string& pathAndQuery) const;

private:
    void shutDown();

    pid_t pid_ = -1;
    int stdinFd_ = -1;  // closing it ends the server, should the kill not arrive
    int stdoutFd_ = -1;
    int port_ = 0;
    int tlsPort_ = 0;
};

// Parses the array that /__stats answers; throws std::runtime_error on other text.
std::vector<ServedRequest> parseServedRequests(const std::string& json);

} // namespace testsupport
