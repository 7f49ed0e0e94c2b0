#include "support/http_server.h"

#include "support/process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

const char* const kScript = LAUNCHER_TESTS_DIR "/support/http_test_server.py";

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("test HTTP server: " + what);
}

void keepProxiesAway()
{
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "ftp_proxy", "FTP_PROXY"})
        unsetenv(name);
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

// The first line of the child's stdout, without its newline.
std::string readLine(int fd)
{
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || c == '\n')
            return line;
        line += c;
    }
}

// A small reader for the one shape /__stats has: an array of flat objects
// whose values are strings, integers or booleans.
class StatsParser {
public:
    explicit StatsParser(const std::string& text) : text_(text) {}

    std::vector<ServedRequest> parse()
    {
        std::vector<ServedRequest> requests;
        expect('[');
        if (peek() == ']') {
            ++at_;
            return requests;
        }
        for (;;) {
            requests.push_back(parseObject());
            if (peek() == ',') {
                ++at_;
                continue;
            }
            expect(']');
            return requests;
        }
    }

private:
    ServedRequest parseObject()
    {
        ServedRequest request;
        expect('{');
        if (peek() == '}') {
            ++at_;
            return request;
        }
        for (;;) {
            const std::string key = parseString();
            expect(':');
            if (key == "path")
                request.path = parseString();
            else if (key == "query")
                request.query = parseString();
            else if (key == "bytes_sent")
                request.bytesSent = parseInteger();
            else if (key == "client_closed")
                request.clientClosed = parseBoolean();
            else if (key == "done")
                request.done = parseBoolean();
            else if (key == "held")
                request.held = parseBoolean();
            else if (key == "range")
                request.range = parseString();
            else if (key == "if_range")
                request.ifRange = parseString();
            else if (key == "status")
                request.status = static_cast<long>(parseInteger());
            else if (key == "tls")
                request.tls = parseBoolean();
            else if (key == "user_agent")
                request.userAgent = parseString();
            else if (key == "proxy_authorization")
                request.proxyAuthorization = parseString();
            else
                skipValue();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            expect('}');
            return request;
        }
    }

    std::string parseString()
    {
        expect('"');
        std::string value;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\') {
                if (at_ >= text_.size())
                    break;
                const char escaped = text_[at_++];
                switch (escaped) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                case 'r': c = '\r'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'u': {
                    if (at_ + 4 > text_.size())
                        bad();
                    const unsigned long code = std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16);
                    at_ += 4;
                    appendUtf8(value, code);
                    continue;
                }
                default: c = escaped; break; // '"', '\\', '/'
                }
            }
            value += c;
        }
        expect('"');
        return value;
    }

    static void appendUtf8(std::string& out, unsigned long code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::int64_t parseInteger()
    {
        skipBlanks();
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        if (at_ == start)
            bad();
        return std::strtoll(text_.substr(start, at_ - start).c_str(), nullptr, 10);
    }

    bool parseBoolean()
    {
        skipBlanks();
        if (text_.compare(at_, 4, "true") == 0) {
            at_ += 4;
            return true;
        }
        if (text_.compare(at_, 5, "false") == 0) {
            at_ += 5;
            return false;
        }
        bad();
    }

    void skipValue()
    {
        const char c = peek();
        if (c == '"')
            parseString();
        else if (c == 't' || c == 'f')
            parseBoolean();
        else if (c == 'n' && text_.compare(at_, 4, "null") == 0)
            at_ += 4;
        else
            parseInteger();
    }

    void skipBlanks()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }

    char peek()
    {
        skipBlanks();
        return at_ < text_.size() ? text_[at_] : '\0';
    }

    void expect(char c)
    {
        if (peek() != c)
            bad();
        ++at_;
    }

    [[noreturn]] void bad() { fail("unexpected statistics: " + text_); }

    const std::string& text_;
    std::size_t at_ = 0;
};

} // namespace

HttpTestServer::HttpTestServer() : HttpTestServer(TestCertificate{}) {}

HttpTestServer::HttpTestServer(const TestCertificate& tls)
{
    keepProxiesAway();

    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        fail(std::string("pipe: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>("python3"), const_cast<char*>(kScript)};
    if (!tls.certificate.empty()) {
        argv.push_back(const_cast<char*>("--tls"));
        argv.push_back(const_cast<char*>(tls.certificate.c_str()));
        argv.push_back(const_cast<char*>(tls.key.c_str()));
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    stdinFd_ = toChild[1];
    stdoutFd_ = fromChild[0];
    if (spawned != 0) {
        pid_ = -1;
        close(stdinFd_);
        close(stdoutFd_);
        fail(std::string("cannot start python3: ") + std::strerror(spawned));
    }

    const std::string line = readLine(stdoutFd_);
    if (line.rfind("PORT ", 0) == 0)
        port_ = std::atoi(line.c_str() + 5);
    if (port_ <= 0) {
        shutDown();
        fail("no port announced (got \"" + line + "\")");
    }
    if (!tls.certificate.empty()) {
        const std::string tlsLine = readLine(stdoutFd_);
        if (tlsLine.rfind("TLS_PORT ", 0) == 0)
            tlsPort_ = std::atoi(tlsLine.c_str() + 9);
        if (tlsPort_ <= 0) {
            shutDown();
            fail("no TLS port announced (got \"" + tlsLine + "\")");
        }
    }
}

HttpTestServer::~HttpTestServer()
{
    shutDown();
}

void HttpTestServer::shutDown()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (stdinFd_ >= 0)
        close(stdinFd_);
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
    stdinFd_ = stdoutFd_ = -1;
}

std::string HttpTestServer::url(const std::string& pathAndQuery) const
{
    std::string url = "http://127.0.0.1:" + std::to_string(port_);
    if (pathAndQuery.empty() || pathAndQuery.front() != '/')
        url += '/';
    return url + pathAndQuery;
}

std::string HttpTestServer::httpsUrl(const std::string& pathAndQuery) const
{
    std::string url = "https://127.0.0.1:" + std::to_string(tlsPort_);
    if (pathAndQuery.empty() || pathAndQuery.front() != '/')
        url += '/';
    return url + pathAndQuery;
}

std::string HttpTestServer::get(const std::string& pathAndQuery) const
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        fail(std::string("connect: ") + std::strerror(error));
    }
    const std::string path = (pathAndQuery.empty() || pathAndQuery.front() != '/') ? "/" + pathAndQuery : pathAndQuery;
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            fail("cannot send a request");
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[16384];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return answer;
}

std::string HttpTestServer::stats() const
{
    const std::string answer = get("/__stats");
    const std::size_t bodyStart = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200", 0) != 0 || bodyStart == std::string::npos)
        fail("bad answer to /__stats: " + answer);
    return answer.substr(bodyStart + 4);
}

std::vector<ServedRequest> HttpTestServer::requests() const
{
    return parseServedRequests(stats());
}

std::int64_t HttpTestServer::bytesSent(std::size_t n) const
{
    const std::vector<ServedRequest> all = requests();
    return n < all.size() ? all[n].bytesSent : -1;
}

std::optional<ServedRequest> HttpTestServer::waitForRequest(std::size_t n, double safetyLimitSeconds) const
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(safetyLimitSeconds);
    for (;;) {
        const std::vector<ServedRequest> all = requests();
        if (n < all.size() && all[n].done)
            return all[n];
        if (std::chrono::steady_clock::now() >= giveUp)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void HttpTestServer::reset() const
{
    get("/__reset");
}

void HttpTestServer::release(const std::string& holdName) const
{
    get("/__release?name=" + holdName);
}

std::size_t HttpTestServer::heldRequests() const
{
    std::size_t held = 0;
    for (const ServedRequest& request : requests())
        held += request.held ? 1 : 0;
    return held;
}

TestCertificate makeTestCertificate(const std::string& directory)
{
    TestCertificate made{directory + "/cert.pem", directory + "/key.pem"};
    const ProcessResult result =
        run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", made.key, "-out", made.certificate, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
             "subjectAltName=IP:127.0.0.1"});
    if (!result.exited || result.exitCode != 0)
        fail("openssl could not make a certificate: " + result.describe() + "\n" + result.err);
    return made;
}

std::vector<ServedRequest> parseServedRequests(const std::string& json)
{
    return StatsParser(json).parse();
}

} // namespace testsupport
