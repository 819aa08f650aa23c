// The URL session against servers the test starts on loopback: what goes out, what comes back,
// and how each transport failure reads.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include "ZQPlatform/TrustSettings.h"
#include "ZQPlatform/URLSession.h"
#include "platform/foundation/URLRedirect.h"
#include "tests/support/HTTPFake.h"
#include "tests/support/TestUtil.h"

using namespace platform;
using zqtest::FakeReply;
using zqtest::HTTPFake;
using zqtest::RecordedRequest;

namespace {

struct Outcome {
    std::optional<Error> error;
    std::optional<HTTPURLResponse> response;
    std::optional<std::string> data;
    bool onDelegateQueue = false;
    double seconds = 0;
};

// Starts `request` and waits (at most 10 s of real time) for its completion.
Outcome perform(URLSession& session, URLRequest request) {
    std::promise<Outcome> promise;
    auto started = std::chrono::steady_clock::now();
    auto queue = session.delegateQueue();
    auto task = session.dataTask(std::move(request), [&](auto& error, auto& response, auto& data) {
        Outcome o{error, response, data, queue->isCurrent(),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
        promise.set_value(std::move(o));
    });
    task->resume();
    auto future = promise.get_future();
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "no completion within 10 s";
        task->cancel();
        future.wait();
    }
    return future.get();
}

URLRequest requestFor(std::string url, std::string method = "GET") {
    URLRequest request;
    request.url = std::move(url);
    request.method = std::move(method);
    request.timeoutInterval = 5;
    return request;
}

class URLSessionTest : public ::testing::Test {
protected:
    std::shared_ptr<URLSession> session = URLSession::create();
};

// An HTTPS server on 127.0.0.1 with a fresh self-signed certificate (cert.pem in `dir`), answering
// every GET through `handler`. Stopped and joined when the object goes.
class TLSServer {
public:
    TLSServer(const zqtest::TempDir& dir,
              std::function<void(const httplib::Request&, httplib::Response&)> handler) {
        std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
                              " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                              dir.file("key.pem") + " -out " + dir.file("cert.pem") + " 2>/dev/null";
        if (zqtest::runCommand(command) != 0) {
            ADD_FAILURE() << "openssl could not make a certificate";
            return;
        }
        mServer = std::make_unique<httplib::SSLServer>(dir.file("cert.pem").c_str(), dir.file("key.pem").c_str());
        mServer->Get(".*", std::move(handler));
        mPort = mServer->bind_to_any_port("127.0.0.1");
        mThread = std::thread([this] { mServer->listen_after_bind(); });
        while (!mServer->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~TLSServer() {
        if (!mServer) return;
        mServer->stop();
        mThread.join();
    }
    std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(mPort); }

private:
    std::unique_ptr<httplib::SSLServer> mServer;
    std::thread mThread;
    int mPort = 0;
};

TEST_F(URLSessionTest, AnswerArrivesOnTheDelegateQueueWithStatusHeadersAndBody) {
    HTTPFake fake([](const RecordedRequest&) {
        return FakeReply{201, R"({"ok":true})", "application/json", {{"X-Answer", "42"}}};
    });
    auto o = perform(*session, requestFor(fake.baseURL() + "/items?a=1"));
    ASSERT_FALSE(o.error) << o.error->description();
    ASSERT_TRUE(o.response);
    EXPECT_EQ(o.response->statusCode, 201);
    EXPECT_EQ(o.response->url, fake.baseURL() + "/items?a=1");
    EXPECT_EQ(o.response->header("x-answer"), "42");
    EXPECT_EQ(o.response->header("Content-Type"), "application/json");
    EXPECT_EQ(o.data, R"({"ok":true})");
    EXPECT_TRUE(o.onDelegateQueue);
}

TEST_F(URLSessionTest, ErrorStatusIsAnAnswerNotATransportFailure) {
    HTTPFake fake;
    fake.reply(500, "<html>oops</html>", "text/html");
    auto o = perform(*session, requestFor(fake.baseURL() + "/"));
    ASSERT_FALSE(o.error);
    EXPECT_EQ(o.response->statusCode, 500);
    EXPECT_EQ(o.data, "<html>oops</html>");
}

TEST_F(URLSessionTest, RequestGoesOutWithExactlyTheGivenMethodHeadersAndBody) {
    HTTPFake fake;
    auto post = requestFor(fake.baseURL() + "/post", "POST");
    post.setHeader("Content-Type", "application/json");
    post.setHeader("X-Token", "first");
    post.setHeader("x-token", "second"); // replaces, whatever the case
    post.setHeader("X-Empty", "");
    post.setHeader("X-Gone", "value");
    post.setHeader("X-Gone", std::nullopt);
    post.body = R"({"productId":"88"})";
    perform(*session, post);

    perform(*session, requestFor(fake.baseURL() + "/get"));
    perform(*session, requestFor(fake.baseURL() + "/post-empty", "POST"));
    perform(*session, requestFor(fake.baseURL() + "/delete", "DELETE"));
    auto put = requestFor(fake.baseURL() + "/put", "PUT");
    put.body = "raw";
    perform(*session, put);

    auto seen = fake.requests();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].body, R"({"productId":"88"})");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[0].header("X-Token"), "second");
    EXPECT_FALSE(seen[0].header("X-Gone"));
    EXPECT_FALSE(seen[0].header("Expect"));

    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_FALSE(seen[1].header("Content-Type"));
    EXPECT_EQ(seen[1].body, "");

    // A POST without a body sends no body and no Content-Type of its own making.
    EXPECT_EQ(seen[2].method, "POST");
    EXPECT_EQ(seen[2].body, "");
    EXPECT_FALSE(seen[2].header("Content-Type"));
    EXPECT_EQ(seen[2].header("Content-Length"), "0");

    EXPECT_EQ(seen[3].method, "DELETE");
    EXPECT_EQ(seen[3].body, "");
    EXPECT_EQ(seen[4].method, "PUT");
    EXPECT_EQ(seen[4].body, "raw");
}

// Reads one request off a raw socket, so the exact header lines can be checked.
TEST_F(URLSessionTest, EmptyHeaderValueGoesOutAsAnEmptyHeaderAndNoExpectIsAdded) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string raw;
    std::thread server([&] {
        int client = ::accept(fd, nullptr, nullptr);
        char buffer[4096];
        // Read the head and the whole body: closing with unread data would reset the connection.
        size_t needed = 0;
        auto complete = [&] {
            if (needed == 0) {
                auto end = raw.find("\r\n\r\n");
                if (end == std::string::npos) return false;
                auto at = raw.find("Content-Length: ");
                needed = end + 4 + (at == std::string::npos || at > end ? 0 : std::stoul(raw.substr(at + 16, 20)));
            }
            return raw.size() >= needed;
        };
        while (!complete()) {
            ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0) break;
            raw.append(buffer, static_cast<size_t>(n));
        }
        std::string answer = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] auto w = ::write(client, answer.data(), answer.size());
        ::close(client);
    });
    auto request = requestFor("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/raw", "POST");
    request.setHeader("X-Empty", "");
    request.body = std::string(2 << 20, 'x'); // big enough that libcurl would ask for 100-continue
    auto o = perform(*session, request);
    server.join();
    ::close(fd);
    ASSERT_FALSE(o.error) << o.error->description();
    EXPECT_EQ(o.response->statusCode, 204);
    EXPECT_EQ(o.data, "");
    std::string head = raw.substr(0, raw.find("\r\n\r\n") + 2);
    EXPECT_NE(head.find("\r\nX-Empty:\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Expect:"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Type:"), std::string::npos) << head;
    EXPECT_EQ(raw.size(), head.size() + 2 + (2u << 20));
}

TEST_F(URLSessionTest, RedirectsAreFollowedToTheFinalAnswer) {
    HTTPFake fake;
    fake.setHandler([&fake](const RecordedRequest& r) {
        if (r.path == "/old") return FakeReply{302, "", "text/plain", {{"Location", fake.baseURL() + "/new"}}};
        return FakeReply{200, "moved here", "text/plain", {}};
    });
    auto o = perform(*session, requestFor(fake.baseURL() + "/old"));
    ASSERT_FALSE(o.error);
    EXPECT_EQ(o.response->statusCode, 200);
    EXPECT_EQ(o.response->url, fake.baseURL() + "/new");
    EXPECT_EQ(o.data, "moved here");
}

TEST_F(URLSessionTest, RefusedConnectionReadsAsCannotConnect) {
    std::string url = "http://127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()) + "/";
    auto o = perform(*session, requestFor(url));
    ASSERT_TRUE(o.error);
    EXPECT_FALSE(o.response);
    EXPECT_FALSE(o.data);
    EXPECT_EQ(o.error->domain, kURLErrorDomain);
    EXPECT_EQ(o.error->code, URLErrorCannotConnectToHost);
    EXPECT_EQ(o.error->localizedDescription, "Could not connect to the server.");
    EXPECT_EQ(o.error->userInfo.value("NSErrorFailingURLStringKey", ""), url);
    EXPECT_TRUE(o.onDelegateQueue);
}

TEST_F(URLSessionTest, ServerThatNeverAnswersTimesOutAfterTheRequestsTimeout) {
    zqtest::SilentServer silent;
    auto request = requestFor("http://127.0.0.1:" + std::to_string(silent.port()) + "/");
    request.timeoutInterval = 0.3;
    auto o = perform(*session, request);
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorTimedOut);
    EXPECT_EQ(o.error->localizedDescription, "The request timed out.");
    EXPECT_GE(o.seconds, 0.3);
    EXPECT_LT(o.seconds, 5.0);
}

TEST_F(URLSessionTest, HttpsToAPlainHttpServerIsATlsFailure) {
    HTTPFake fake;
    auto o = perform(*session, requestFor("https://127.0.0.1:" + std::to_string(fake.port()) + "/"));
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorSecureConnectionFailed);
    EXPECT_EQ(o.error->localizedDescription,
              "An SSL error has occurred and a secure connection to the server cannot be made.");
    EXPECT_FALSE(o.error->userInfo.value("detail", "").empty());
}

TEST_F(URLSessionTest, UntrustedCertificateIsRefused) {
    zqtest::TempDir dir;
    TLSServer server(dir, [](const httplib::Request&, httplib::Response& res) { res.set_content("secret", "text/plain"); });
    auto o = perform(*session, requestFor(server.baseURL() + "/"));
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorServerCertificateUntrusted);
    EXPECT_FALSE(o.data);
}

// The CA file of TrustSettings adds trust: a server signed by the test authority is accepted with it,
// refused without it or with another authority's file, and a file that cannot be read fails the
// request instead of being skipped.
TEST_F(URLSessionTest, ExtraCaFileAddsTrustAndNeverReplacesVerification) {
    zqtest::TempDir dir;
    zqtest::TestCertificates certificates;
    ASSERT_TRUE(zqtest::makeTestCertificates(dir.path(), &certificates)) << "openssl could not make certificates";
    HTTPFake fake(certificates.serverCertificate, certificates.serverKey);
    fake.reply(200, "trusted", "text/plain");
    struct Reset {
        ~Reset() { TrustSettings::setCaFile(std::nullopt); }
    } reset;

    TrustSettings::setCaFile(std::string());
    auto refused = perform(*session, requestFor(fake.baseURL() + "/"));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, URLErrorServerCertificateUntrusted);

    TrustSettings::setCaFile(certificates.caFile);
    auto accepted = perform(*session, requestFor(fake.baseURL() + "/"));
    ASSERT_FALSE(accepted.error) << accepted.error->description();
    EXPECT_EQ(accepted.data, "trusted");

    TrustSettings::setCaFile(certificates.otherCaFile);
    auto other = perform(*session, requestFor(fake.baseURL() + "/"));
    ASSERT_TRUE(other.error);
    EXPECT_EQ(other.error->code, URLErrorServerCertificateUntrusted);

    TrustSettings::setCaFile(dir.file("missing.pem"));
    auto missing = perform(*session, requestFor(fake.baseURL() + "/"));
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->code, URLErrorSecureConnectionFailed);
    EXPECT_EQ(missing.error->userInfo.value("detail", ""), dir.file("missing.pem"));

    // Back to the system store alone: the earlier extra trust did not stick to a cached store.
    TrustSettings::setCaFile(std::string());
    auto again = perform(*session, requestFor(fake.baseURL() + "/"));
    ASSERT_TRUE(again.error);
    EXPECT_EQ(again.error->code, URLErrorServerCertificateUntrusted);
}

// Trust added for the test's own certificate, taken back afterwards.
class TrustedServerTest : public URLSessionTest {
protected:
    void SetUp() override { TrustSettings::setCaFile(dir.file("cert.pem")); }
    void TearDown() override { TrustSettings::setCaFile(std::nullopt); }
    zqtest::TempDir dir;
};

TEST_F(TrustedServerTest, CaFileOfTheTrustSettingsIsTrusted) {
    TLSServer server(dir, [](const httplib::Request&, httplib::Response& res) { res.set_content("hello", "text/plain"); });
    auto o = perform(*session, requestFor(server.baseURL() + "/"));
    ASSERT_FALSE(o.error) << o.error->description();
    EXPECT_EQ(o.data, "hello");
}

TEST_F(TrustedServerTest, SecureRequestRedirectedToPlainHttpIsRefused) {
    HTTPFake plain;
    TLSServer server(dir, [&](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", plain.baseURL() + "/landing");
    });
    auto request = requestFor(server.baseURL() + "/start");
    request.setHeader("interactive-token", "secret");
    auto o = perform(*session, request);
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorAppTransportSecurityRequiresSecureConnection);
    EXPECT_EQ(o.error->userInfo.value("NSErrorFailingURLStringKey", ""), plain.baseURL() + "/landing");
    EXPECT_FALSE(o.data);
    EXPECT_TRUE(plain.requests().empty()) << "nothing may reach the plain server";
}

TEST_F(URLSessionTest, RedirectToAnotherHostLeavesTheRequestsHeadersBehind) {
    HTTPFake other;
    HTTPFake origin;
    origin.setHandler([&](const RecordedRequest& r) {
        if (r.path == "/same") return FakeReply{302, "", "text/plain", {{"Location", origin.baseURL() + "/here"}}};
        if (r.path == "/away") // "localhost" is another host name for the same loopback
            return FakeReply{307, "", "text/plain",
                             {{"Location", "http://localhost:" + std::to_string(other.port()) + "/there"}}};
        return FakeReply{200, "ok", "text/plain", {}};
    });
    auto request = requestFor(origin.baseURL() + "/same");
    request.setHeader("interactive-token", "secret");
    request.setHeader("Accept", "application/json");
    auto o = perform(*session, request);
    ASSERT_FALSE(o.error) << o.error->description();
    ASSERT_EQ(origin.requests().size(), 2u);
    EXPECT_EQ(origin.requests()[1].header("interactive-token"), "secret") << "the same host keeps them";

    request.url = origin.baseURL() + "/away";
    request.method = "POST";
    request.body = "{}";
    request.setHeader("Content-Type", "application/json");
    o = perform(*session, request);
    ASSERT_FALSE(o.error) << o.error->description();
    EXPECT_EQ(o.response->url, "http://localhost:" + std::to_string(other.port()) + "/there");
    auto arrived = other.requests();
    ASSERT_EQ(arrived.size(), 1u);
    auto& landed = arrived[0];
    EXPECT_FALSE(landed.header("interactive-token"));
    EXPECT_EQ(landed.header("Accept"), "application/json");
    // 307 repeats the request as it was.
    EXPECT_EQ(landed.method, "POST");
    EXPECT_EQ(landed.body, "{}");
    EXPECT_EQ(landed.header("Content-Type"), "application/json");
}

TEST_F(URLSessionTest, SeeOtherTurnsAPostIntoABodylessGet) {
    HTTPFake fake;
    fake.setHandler([&](const RecordedRequest& r) {
        if (r.path == "/form") return FakeReply{303, "", "text/plain", {{"Location", "/done"}}};
        return FakeReply{200, "done", "text/plain", {}};
    });
    auto request = requestFor(fake.baseURL() + "/form", "POST");
    request.body = "a=1";
    request.setHeader("Content-Type", "application/x-www-form-urlencoded");
    auto o = perform(*session, request);
    ASSERT_FALSE(o.error) << o.error->description();
    EXPECT_EQ(o.data, "done");
    auto seen = fake.requests();
    ASSERT_EQ(seen.size(), 2u);
    auto& second = seen[1];
    EXPECT_EQ(second.method, "GET");
    EXPECT_EQ(second.body, "");
    EXPECT_FALSE(second.header("Content-Type"));
}

TEST_F(URLSessionTest, EndlessRedirectsFailAfterSixteen) {
    HTTPFake fake;
    fake.setHandler([](const RecordedRequest&) { return FakeReply{302, "", "text/plain", {{"Location", "/again"}}}; });
    auto o = perform(*session, requestFor(fake.baseURL() + "/again"));
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorHTTPTooManyRedirects);
    EXPECT_EQ(fake.requests().size(), 17u);
}

// The redirect rules on their own.
TEST(URLRedirectTest, WhatFollowsARedirect) {
    using detail::redirectStep;
    URLRequest request;
    request.url = "https://Store.Example:443/a";
    request.method = "PUT";
    request.body = "x";
    request.headers = {{"interactive-token", "t"}, {"Content-Type", "text/plain"}, {"Accept-Language", "zh"}};

    // Same host in another case, the scheme's default port spelled out: the same place.
    auto same = redirectStep(request, request.url, 308, "https://store.example/b", 0);
    ASSERT_TRUE(same.next);
    EXPECT_EQ(same.next->headers, request.headers);
    EXPECT_EQ(same.next->method, "PUT");
    EXPECT_EQ(same.next->body, "x");

    // Another port is another place.
    auto port = redirectStep(request, request.url, 308, "https://store.example:8443/b", 0);
    ASSERT_TRUE(port.next);
    EXPECT_EQ(port.next->headers, (HTTPHeaderFields{{"Content-Type", "text/plain"}, {"Accept-Language", "zh"}}));

    // http upgraded to https on the same host keeps the headers.
    auto plain = request;
    plain.url = "http://store.example/a";
    auto upgrade = redirectStep(plain, plain.url, 301, "https://store.example/a", 0);
    ASSERT_TRUE(upgrade.next);
    EXPECT_EQ(upgrade.next->headers, request.headers);
    EXPECT_EQ(upgrade.next->method, "PUT") << "only a POST becomes a GET on 301";

    // 303 drops the body and what described it.
    auto seeOther = redirectStep(request, request.url, 303, "https://store.example/c", 0);
    ASSERT_TRUE(seeOther.next);
    EXPECT_EQ(seeOther.next->method, "GET");
    EXPECT_FALSE(seeOther.next->body);
    EXPECT_FALSE(seeOther.next->header("Content-Type"));
    EXPECT_EQ(seeOther.next->header("interactive-token"), "t");

    auto downgrade = redirectStep(request, request.url, 302, "http://store.example/a", 0);
    ASSERT_TRUE(downgrade.error);
    EXPECT_EQ(downgrade.error->code, URLErrorAppTransportSecurityRequiresSecureConnection);
    auto file = redirectStep(request, request.url, 302, "file:///etc/passwd", 0);
    ASSERT_TRUE(file.error);
    EXPECT_EQ(file.error->code, URLErrorUnsupportedURL);
    auto tooMany = redirectStep(request, request.url, 302, "https://store.example/d", detail::kMaximumRedirects);
    ASSERT_TRUE(tooMany.error);
    EXPECT_EQ(tooMany.error->code, URLErrorHTTPTooManyRedirects);

    EXPECT_TRUE(detail::isFollowedRedirect(307));
    EXPECT_FALSE(detail::isFollowedRedirect(304));
    EXPECT_FALSE(detail::isFollowedRedirect(300));
}

TEST_F(URLSessionTest, OnlyHttpAndHttpsAreFetched) {
    for (std::string url : {"file:///etc/hostname", "ftp://127.0.0.1/x", "gopher://127.0.0.1/"}) {
        auto o = perform(*session, requestFor(url));
        ASSERT_TRUE(o.error) << url;
        EXPECT_EQ(o.error->code, URLErrorUnsupportedURL) << url;
        EXPECT_FALSE(o.data) << url;
    }
    auto o = perform(*session, requestFor(""));
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorBadURL);
}

TEST_F(URLSessionTest, HeaderOrMethodThatCouldSmuggleLinesIsRefusedBeforeSending) {
    HTTPFake fake;
    auto injected = requestFor(fake.baseURL() + "/");
    injected.setHeader("X-Token", "abc\r\nX-Admin: 1");
    auto o = perform(*session, injected);
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorBadURL);

    auto badName = requestFor(fake.baseURL() + "/");
    badName.setHeader("X Token", "abc");
    EXPECT_TRUE(perform(*session, badName).error);

    auto badMethod = requestFor(fake.baseURL() + "/", "GET / HTTP/1.1\r\nX:");
    EXPECT_TRUE(perform(*session, badMethod).error);
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(URLSessionTest, AnswerLargerThanTheLimitFails) {
    auto small = URLSession::create(nullptr, 1000);
    HTTPFake fake;
    fake.reply(200, std::string(5000, 'x'), "text/plain");
    auto o = perform(*small, requestFor(fake.baseURL() + "/"));
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, URLErrorDataLengthExceedsMaximum);

    fake.reply(200, std::string(1000, 'x'), "text/plain");
    EXPECT_FALSE(perform(*small, requestFor(fake.baseURL() + "/")).error);
}

TEST_F(URLSessionTest, CancelCompletesExactlyOnceWithCancelled) {
    zqtest::SilentServer silent;
    std::atomic<int> calls{0};
    std::promise<Error> cancelled;
    auto task = session->dataTask(requestFor("http://127.0.0.1:" + std::to_string(silent.port()) + "/"),
                                  [&](auto& error, auto&, auto&) {
                                      if (calls++ == 0) cancelled.set_value(error.value_or(Error{}));
                                  });
    task->resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let it connect and wait
    task->cancel();
    task->cancel();
    auto future = cancelled.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get().code, URLErrorCancelled);
    task->resume();
    session->delegateQueue()->sync([] {});
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(task->state(), URLSessionDataTask::State::Completed);
}

TEST_F(URLSessionTest, CancelBeforeResumeCompletesWithoutSending) {
    HTTPFake fake;
    std::promise<long> code;
    auto task = session->dataTask(requestFor(fake.baseURL() + "/"),
                                  [&](auto& error, auto&, auto&) { code.set_value(error ? error->code : 0); });
    task->cancel();
    task->resume();
    auto future = code.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), URLErrorCancelled);
    session->delegateQueue()->sync([] {});
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(URLSessionTest, DestroyingTheSessionCancelsWhatIsInFlight) {
    zqtest::SilentServer silent;
    auto queue = DispatchQueue::createSerial("completions");
    auto own = URLSession::create(queue);
    std::promise<long> code;
    own->dataTask(requestFor("http://127.0.0.1:" + std::to_string(silent.port()) + "/"),
                  [&](auto& error, auto&, auto&) { code.set_value(error ? error->code : 0); })
        ->resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    own.reset();
    auto future = code.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), URLErrorCancelled);
}

TEST_F(URLSessionTest, ManyRequestsShareTheWorkerAndItRestartsAfterGoingIdle) {
    HTTPFake fake([](const RecordedRequest& r) { return FakeReply{200, r.path, "text/plain", {}}; });
    for (int round = 0; round < 2; ++round) {
        constexpr int kCount = 20;
        std::atomic<int> done{0};
        std::promise<void> all;
        std::vector<std::string> bodies(kCount);
        for (int i = 0; i < kCount; ++i) {
            session->dataTask(requestFor(fake.baseURL() + "/" + std::to_string(i)), [&, i](auto&, auto&, auto& data) {
                bodies[i] = data.value_or("<none>");
                if (++done == kCount) all.set_value();
            })->resume();
        }
        ASSERT_EQ(all.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
        for (int i = 0; i < kCount; ++i) EXPECT_EQ(bodies[i], "/" + std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the worker goes idle and exits
    }
}

TEST(URLSessionSharedTest, OneSessionForTheProcessWithItsOwnSerialQueue) {
    auto a = URLSession::shared();
    auto b = URLSession::shared();
    EXPECT_EQ(a, b);
    ASSERT_TRUE(a->delegateQueue());
    EXPECT_NE(a->delegateQueue(), DispatchQueue::main());
}

TEST(PercentEncodingTest, LettersAndDigitsStayWhileQuerySyntaxIsEscaped) {
    EXPECT_EQ(percentEncodeQueryComponent("abcXYZ0189"), "abcXYZ0189");
    EXPECT_EQ(percentEncodeQueryComponent("-._~"), "-._~");
    EXPECT_EQ(percentEncodeQueryComponent("a&b=c#d e+f/g?h%"), "a%26b%3Dc%23d%20e%2Bf%2Fg%3Fh%25");
    EXPECT_EQ(percentEncodeQueryComponent("商品"), "%E5%95%86%E5%93%81");
    EXPECT_EQ(percentEncodeQueryComponent(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(percentEncodeQueryComponent(""), "");
}

} // namespace
