#include "service/messaging/BeastSocketTransport.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <type_traits>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/TrustSettings.h"

namespace zqmessaging {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ConnectionId = SocketTransport::ConnectionId;

// TCP connect and TLS handshake each; the client's own deadline normally ends an attempt sooner.
constexpr auto kConnectTimeout = std::chrono::seconds(30);
// WebSocket opening and closing handshakes.
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
constexpr auto kCloseTimeout = std::chrono::seconds(2);
// Largest frame accepted from a server; socket.io's own default limit is 1 MB.
constexpr std::size_t kMaxIncomingFrame = 16 * 1024 * 1024;

class Connection;

// What a connection reports; implemented by the transport's Impl. I/O thread.
class ConnectionOwner {
public:
    virtual ~ConnectionOwner() = default;
    virtual void connectionOpened(ConnectionId id) = 0;
    virtual void connectionReceived(ConnectionId id, std::string text) = 0;
    // `report` false: the client had asked for the close and wants nothing more.
    virtual void connectionEnded(ConnectionId id, const std::string& reason, bool report) = 0;
};

class Connection {
public:
    virtual ~Connection() = default;
    virtual void start() = 0;
    virtual void write(std::string text) = 0;
    // Graceful: queued frames, then the close handshake.
    virtual void close() = 0;
};

bool isIPAddress(const std::string& host) {
    boost::system::error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

// One WebSocket connection, plain or TLS. Lives on the I/O thread; its handlers keep it alive.
template <bool Secure>
class WebSocketConnection final : public Connection, public std::enable_shared_from_this<WebSocketConnection<Secure>> {
    using Lowest = beast::tcp_stream;
    using Next = std::conditional_t<Secure, beast::ssl_stream<Lowest>, Lowest>;

public:
    WebSocketConnection(asio::io_context& io, ConnectionOwner& owner, ConnectionId id, SocketURL url,
                        std::string target, std::shared_ptr<asio::ssl::context> tls)
        : mOwner(owner), mId(id), mURL(std::move(url)), mTarget(std::move(target)), mTLS(std::move(tls)),
          mResolver(io), mStream(makeStream(io)) {}

    void start() override {
        mResolver.async_resolve(mURL.host, std::to_string(mURL.port),
                                [self = this->shared_from_this()](boost::system::error_code ec,
                                                                  tcp::resolver::results_type results) {
                                    self->resolved(ec, std::move(results));
                                });
    }

    void write(std::string text) override {
        if (mDone || mClosing) return;
        mOutbox.push_back(std::move(text));
        if (mOpen && !mWriting) writeNext();
    }

    void close() override {
        if (mDone || mClosing) return;
        mClosing = true;
        if (!mOpen) {
            end("closed", false);
        } else if (!mWriting) {
            closeHandshake();
        }
    }

private:
    websocket::stream<Next> makeStream(asio::io_context& io) {
        if constexpr (Secure) {
            return websocket::stream<Next>(io, *mTLS);
        } else {
            return websocket::stream<Next>(io);
        }
    }

    Lowest& lowest() { return beast::get_lowest_layer(mStream); }

    bool failed(boost::system::error_code ec, const char* step) {
        if (!ec) return mDone;
        if (!mDone) end(std::string(step) + ": " + ec.message(), !mClosing);
        return true;
    }

    void resolved(boost::system::error_code ec, tcp::resolver::results_type results) {
        if (failed(ec, "resolve")) return;
        lowest().expires_after(kConnectTimeout);
        lowest().async_connect(results, [self = this->shared_from_this()](boost::system::error_code error,
                                                                           const tcp::endpoint&) {
            self->connected(error);
        });
    }

    void connected(boost::system::error_code ec) {
        if (failed(ec, "connect")) return;
        if constexpr (Secure) {
            auto* ssl = mStream.next_layer().native_handle();
            // SNI names hosts only; an address literal is checked against the certificate's IP entries.
            if (!isIPAddress(mURL.host) && !SSL_set_tlsext_host_name(ssl, mURL.host.c_str())) {
                end("TLS: cannot set the server name", !mClosing);
                return;
            }
            mStream.next_layer().set_verify_mode(asio::ssl::verify_peer);
            mStream.next_layer().set_verify_callback(asio::ssl::host_name_verification(mURL.host));
            lowest().expires_after(kConnectTimeout);
            mStream.next_layer().async_handshake(
                asio::ssl::stream_base::client,
                [self = this->shared_from_this()](boost::system::error_code error) { self->secured(error); });
        } else {
            upgrade();
        }
    }

    void secured(boost::system::error_code ec) {
        if (failed(ec, "TLS handshake")) return;
        upgrade();
    }

    void upgrade() {
        lowest().expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kHandshakeTimeout;
        timeouts.idle_timeout = websocket::stream_base::none(); // Engine.IO pings watch the link
        timeouts.keep_alive_pings = false;
        mStream.set_option(timeouts);
        mStream.set_option(websocket::stream_base::decorator(
            [](websocket::request_type& request) { request.set(beast::http::field::user_agent, "ZQLiveKit"); }));
        mStream.read_message_max(kMaxIncomingFrame);
        mStream.async_handshake(mURL.hostHeader(), mTarget,
                                [self = this->shared_from_this()](boost::system::error_code error) {
                                    self->upgraded(error);
                                });
    }

    void upgraded(boost::system::error_code ec) {
        if (failed(ec, "WebSocket handshake")) return;
        mOpen = true;
        if (mClosing) {
            closeHandshake();
            return;
        }
        mOwner.connectionOpened(mId);
        readNext();
        if (!mOutbox.empty()) writeNext();
    }

    void readNext() {
        mStream.async_read(mInbox, [self = this->shared_from_this()](boost::system::error_code error, std::size_t) {
            self->received(error);
        });
    }

    void received(boost::system::error_code ec) {
        if (ec == websocket::error::closed) {
            if (!mDone) end("closed by the server", !mClosing);
            return;
        }
        if (failed(ec, "read")) return;
        // Engine.IO sends binary data in binary frames; the client reads text packets only.
        if (mStream.got_text()) mOwner.connectionReceived(mId, beast::buffers_to_string(mInbox.data()));
        mInbox.consume(mInbox.size());
        readNext();
    }

    void writeNext() {
        if (mOutbox.empty()) {
            mWriting = false;
            if (mClosing) closeHandshake();
            return;
        }
        mWriting = true;
        mStream.text(true);
        mStream.async_write(asio::buffer(mOutbox.front()),
                            [self = this->shared_from_this()](boost::system::error_code error, std::size_t) {
                                self->wrote(error);
                            });
    }

    void wrote(boost::system::error_code ec) {
        if (failed(ec, "write")) return;
        mOutbox.pop_front();
        writeNext();
    }

    void closeHandshake() {
        if (mDone || mCloseSent) return;
        mCloseSent = true;
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kCloseTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        mStream.set_option(timeouts);
        mStream.async_close(websocket::close_code::normal,
                            [self = this->shared_from_this()](boost::system::error_code) { self->end("closed", false); });
    }

    // Ends the connection once: drops the socket and tells the owner.
    void end(const std::string& reason, bool report) {
        if (mDone) return;
        mDone = true;
        mResolver.cancel();
        boost::system::error_code ignored;
        lowest().socket().close(ignored);
        mOwner.connectionEnded(mId, reason, report);
    }

    ConnectionOwner& mOwner;
    ConnectionId mId;
    SocketURL mURL;
    std::string mTarget;
    std::shared_ptr<asio::ssl::context> mTLS; // before the stream that refers to it
    tcp::resolver mResolver;
    websocket::stream<Next> mStream;
    beast::flat_buffer mInbox;
    std::deque<std::string> mOutbox;
    bool mOpen = false;
    bool mWriting = false;
    bool mClosing = false;
    bool mCloseSent = false;
    bool mDone = false;
};

// A TLS client context: the system's CA store plus the kit's CA file. Nullptr (with the reason) when
// the CA file cannot be used, so a misconfiguration fails loudly instead of silently trusting less.
std::shared_ptr<asio::ssl::context> makeTLSContext(std::string& error) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    boost::system::error_code ec;
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                             asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                             asio::ssl::context::no_tlsv1_1,
                         ec);
    context->set_default_verify_paths(ec);
    if (ec) platform::Console::log("socket.io: system CA store not loaded: " + ec.message());
    if (auto file = platform::TrustSettings::caFile()) {
        context->load_verify_file(*file, ec);
        if (ec) {
            error = "CA file " + *file + " not usable: " + ec.message();
            return nullptr;
        }
    }
    context->set_verify_mode(asio::ssl::verify_peer);
    return context;
}

} // namespace

struct BeastSocketTransport::Impl final : ConnectionOwner {
    Impl(SocketTransportListener& listenerIn, Deliver deliverIn)
        : listener(listenerIn), deliver(std::move(deliverIn)), work(asio::make_work_guard(io)) {
        thread = std::thread([this] {
            // Asio sends with MSG_NOSIGNAL; blocking SIGPIPE here as well keeps any other write
            // on this thread from killing the host process.
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            io.run();
        });
    }

    ~Impl() override {
        asio::post(io, [this] {
            for (auto& [id, connection] : std::map(connections)) connection->close();
            noteIdle();
        });
        {
            std::unique_lock lock(mutex);
            idleChanged.wait_for(lock, std::chrono::duration<double>(kShutdownGraceSeconds), [this] { return idle; });
        }
        work.reset();
        io.stop();
        thread.join();
        connections.clear();
    }

    void connectionOpened(ConnectionId id) override {
        deliver([&listener = listener, id] { listener.transportDidOpen(id); });
    }

    void connectionReceived(ConnectionId id, std::string text) override {
        deliver([&listener = listener, id, text = std::move(text)]() mutable {
            listener.transportDidReceive(id, std::move(text));
        });
    }

    void connectionEnded(ConnectionId id, const std::string& reason, bool report) override {
        // Called from inside the connection: let it go once that call has returned.
        asio::post(io, [this, id] {
            connections.erase(id);
            noteIdle();
        });
        if (report) deliver([&listener = listener, id, reason] { listener.transportDidClose(id, reason); });
    }

    void noteIdle() {
        std::lock_guard lock(mutex);
        idle = connections.empty();
        if (idle) idleChanged.notify_all();
    }

    SocketTransportListener& listener;
    Deliver deliver;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::map<ConnectionId, std::shared_ptr<Connection>> connections; // I/O thread only
    std::mutex mutex;
    std::condition_variable idleChanged;
    bool idle = true;
    std::thread thread; // last: started once everything it uses exists
};

BeastSocketTransport::BeastSocketTransport(SocketTransportListener& listener, Deliver deliver)
    : mImpl(std::make_unique<Impl>(listener, std::move(deliver))) {}

BeastSocketTransport::~BeastSocketTransport() = default;

void BeastSocketTransport::open(ConnectionId id, const SocketURL& url, const std::string& target) {
    asio::post(mImpl->io, [impl = mImpl.get(), id, url, target] {
        std::shared_ptr<Connection> connection;
        if (url.secure) {
            std::string error;
            auto tls = makeTLSContext(error);
            if (!tls) {
                impl->deliver([&listener = impl->listener, id, error] { listener.transportDidClose(id, error); });
                return;
            }
            connection = std::make_shared<WebSocketConnection<true>>(impl->io, *impl, id, url, target, std::move(tls));
        } else {
            connection = std::make_shared<WebSocketConnection<false>>(impl->io, *impl, id, url, target, nullptr);
        }
        impl->connections[id] = connection;
        impl->noteIdle();
        connection->start();
    });
}

void BeastSocketTransport::send(ConnectionId id, std::string text) {
    asio::post(mImpl->io, [impl = mImpl.get(), id, text = std::move(text)]() mutable {
        if (auto it = impl->connections.find(id); it != impl->connections.end()) it->second->write(std::move(text));
    });
}

void BeastSocketTransport::close(ConnectionId id) {
    asio::post(mImpl->io, [impl = mImpl.get(), id] {
        if (auto it = impl->connections.find(id); it != impl->connections.end()) it->second->close();
    });
}

} // namespace zqmessaging
