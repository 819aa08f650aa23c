#include "tests/support/HTTPFake.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <httplib.h>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// The Debian cpp-httplib is a prebuilt library whose thread pool synchronises in code ThreadSanitizer
// cannot see; without this its internals read as races in every test that starts a fake.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }

namespace zqtest {

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    auto same = [&](const std::string& field) {
        return field.size() == name.size() && std::equal(field.begin(), field.end(), name.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
               });
    };
    for (auto& [field, value] : headers)
        if (same(field)) return value;
    return std::nullopt;
}

struct HTTPFake::Impl {
    std::unique_ptr<httplib::Server> owned;
    httplib::Server& server;
    bool tls = false;
    explicit Impl(std::unique_ptr<httplib::Server> s) : owned(std::move(s)), server(*owned) {}
    std::thread thread;
    int port = 0;
    mutable std::mutex mutex;
    Handler handler;
    std::vector<RecordedRequest> requests;

    void serve(const httplib::Request& req, httplib::Response& res) {
        RecordedRequest recorded{req.method, req.target, req.path, req.body, {}};
        for (auto& [name, value] : req.headers) {
            // httplib adds the peer's addresses as pseudo headers; they were never sent.
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
            recorded.headers.emplace_back(name, value);
        }
        Handler current;
        {
            std::lock_guard lock(mutex);
            requests.push_back(recorded);
            current = handler;
        }
        FakeReply reply = current ? current(recorded) : FakeReply{};
        res.status = reply.status;
        for (auto& [name, value] : reply.headers) res.set_header(name, value);
        res.set_content(reply.body, reply.contentType.c_str());
    }
};

HTTPFake::HTTPFake(Handler handler) : mImpl(std::make_unique<Impl>(std::make_unique<httplib::Server>())) {
    mImpl->handler = std::move(handler);
    start();
}

HTTPFake::HTTPFake(const std::string& certificateFile, const std::string& keyFile, Handler handler)
    : mImpl(std::make_unique<Impl>(std::make_unique<httplib::SSLServer>(certificateFile.c_str(), keyFile.c_str()))) {
    if (!static_cast<httplib::SSLServer&>(mImpl->server).is_valid())
        throw std::runtime_error("HTTPFake: the certificate or key cannot be used");
    mImpl->tls = true;
    mImpl->handler = std::move(handler);
    start();
}

void HTTPFake::start() {
    auto route = [impl = mImpl.get()](const httplib::Request& req, httplib::Response& res) { impl->serve(req, res); };
    mImpl->server.Get(".*", route);
    mImpl->server.Post(".*", route);
    mImpl->server.Put(".*", route);
    mImpl->server.Delete(".*", route);
    mImpl->server.Patch(".*", route);
    // One request per connection: an idle keep-alive connection would hold one of the server's few
    // threads for seconds and delay stop().
    mImpl->server.set_keep_alive_max_count(1);
    mImpl->port = mImpl->server.bind_to_any_port("127.0.0.1");
    if (mImpl->port <= 0) throw std::runtime_error("HTTPFake: cannot bind 127.0.0.1");
    mImpl->thread = std::thread([impl = mImpl.get()] { impl->server.listen_after_bind(); });
    // stop() only reaches a server that already runs its accept loop.
    while (!mImpl->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HTTPFake::~HTTPFake() {
    mImpl->server.stop();
    if (mImpl->thread.joinable()) mImpl->thread.join();
}

int HTTPFake::port() const { return mImpl->port; }
std::string HTTPFake::baseURL() const {
    return (mImpl->tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(mImpl->port);
}

void HTTPFake::setHandler(Handler handler) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->handler = std::move(handler);
}

void HTTPFake::reply(int status, std::string body, std::string contentType) {
    setHandler([status, body = std::move(body), contentType = std::move(contentType)](const RecordedRequest&) {
        return FakeReply{status, body, contentType, {}};
    });
}

std::vector<RecordedRequest> HTTPFake::requests() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->requests;
}

bool makeTestCertificates(const std::string& directory, TestCertificates* out) {
    TestCertificates c;
    c.directory = directory;
    c.caFile = directory + "/ca.pem";
    c.serverCertificate = directory + "/server.pem";
    c.serverKey = directory + "/server.key";
    c.otherCaFile = directory + "/other-ca.pem";
    std::string d = "'" + directory + "'";
    std::string script =
        "set -e; cd " + d + "; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=ZQ Test CA' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout other-ca.key -out other-ca.pem -days 2 "
        "-subj '/CN=ZQ Other CA' -addext basicConstraints=critical,CA:TRUE 2>/dev/null; "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=127.0.0.1' 2>/dev/null; "
        "printf 'subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
        "extendedKeyUsage=serverAuth\n' > server.ext; "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile server.ext 2>/dev/null";
    if (std::system(script.c_str()) != 0) return false;
    *out = c;
    return true;
}

SilentServer::SilentServer() {
    mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (mFd < 0 || ::bind(mFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(mFd, 16) != 0 ||
        ::getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("SilentServer: cannot listen on 127.0.0.1");
    mPort = ntohs(addr.sin_port);
}

SilentServer::~SilentServer() {
    if (mFd >= 0) ::close(mFd);
}

} // namespace zqtest
