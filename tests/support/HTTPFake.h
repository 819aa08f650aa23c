#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zqtest {

// One request as the fake saw it.
struct RecordedRequest {
    std::string method;
    std::string target; // the request target exactly as sent: path and raw query
    std::string path;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;

    // First value of a header, names compared case-insensitively.
    std::optional<std::string> header(const std::string& name) const;
};

struct FakeReply {
    int status = 200;
    std::string body = "{}";
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
};

// An HTTP server on 127.0.0.1 (a free port) that records every request and answers through a
// handler. Runs on its own threads; stopped and joined when the object goes.
class HTTPFake {
public:
    using Handler = std::function<FakeReply(const RecordedRequest&)>;

    explicit HTTPFake(Handler handler = nullptr);
    // The same over TLS with the given PEM certificate chain and key (baseURL() says "https").
    HTTPFake(const std::string& certificateFile, const std::string& keyFile, Handler handler = nullptr);
    ~HTTPFake();
    HTTPFake(const HTTPFake&) = delete;
    HTTPFake& operator=(const HTTPFake&) = delete;

    int port() const;
    std::string baseURL() const; // "http://127.0.0.1:<port>" ("https://" over TLS)
    void setHandler(Handler handler);
    // Answers every request the same way.
    void reply(int status, std::string body, std::string contentType = "application/json");
    std::vector<RecordedRequest> requests() const;

private:
    void start();
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// A test certificate authority and a server certificate it signed for 127.0.0.1, ::1 and localhost,
// made with the openssl tool in a temporary folder (PEM files).
struct TestCertificates {
    std::string directory;
    std::string caFile;
    std::string serverCertificate;
    std::string serverKey;
    // A second authority that signed nothing the fakes use.
    std::string otherCaFile;
};
// Makes them under `directory`; false when the openssl tool failed.
bool makeTestCertificates(const std::string& directory, TestCertificates* out);

// A TCP listener on 127.0.0.1 that completes connections but never reads or answers: a server that
// hangs. Closed when the object goes.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int port() const { return mPort; }

private:
    int mFd = -1;
    int mPort = 0;
};

} // namespace zqtest
