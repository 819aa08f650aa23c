#include "transport/GnuTlsStream.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include "ZQPlatform/TrustSettings.h"
#include "transport/RtmpUrl.h"

namespace {

// TLS 1.2 and 1.3 only, with GnuTLS's default choice of everything else.
constexpr const char* kPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

int fdOf(gnutls_transport_ptr_t ptr) { return static_cast<int>(reinterpret_cast<std::intptr_t>(ptr)); }

// The session's writes: never SIGPIPE on a link the peer has dropped.
ssize_t pushNoSignal(gnutls_transport_ptr_t ptr, const giovec_t* iov, int count) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(reinterpret_cast<const iovec*>(iov));
    message.msg_iovlen = static_cast<std::size_t>(count);
    return ::sendmsg(fdOf(ptr), &message, MSG_NOSIGNAL);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string verificationText(gnutls_session_t session) {
    unsigned status = gnutls_session_get_verify_cert_status(session);
    gnutls_datum_t text{};
    if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) != 0 || !text.data)
        return "certificate verification failed";
    std::string out(reinterpret_cast<const char*>(text.data), text.size);
    gnutls_free(text.data);
    return trimmed(out);
}

struct CredentialsDeleter {
    void operator()(gnutls_certificate_credentials_st* c) const { gnutls_certificate_free_credentials(c); }
};
struct SessionDeleter {
    void operator()(gnutls_session_int* s) const { gnutls_deinit(s); }
};

} // namespace

GnuTlsStream::Handshake GnuTlsStream::connect(int fd, const std::string& host, TcpConnector::Deadline deadline,
                                              LinkInterrupt* interrupt) {
    Handshake out;
    auto fail = [&](std::string error) {
        ::close(fd);
        out.error = std::move(error);
        return std::move(out);
    };
    auto gnutlsFailure = [&](const char* what, int rc) { return fail(std::string(what) + ": " + gnutls_strerror(rc)); };

    gnutls_certificate_credentials_t rawCredentials = nullptr;
    int rc = gnutls_certificate_allocate_credentials(&rawCredentials);
    if (rc < 0) return gnutlsFailure("TLS credentials", rc);
    std::unique_ptr<gnutls_certificate_credentials_st, CredentialsDeleter> credentials(rawCredentials);
    // No system store at all leaves only the CA file; verification then refuses everything else.
    gnutls_certificate_set_x509_system_trust(credentials.get());
    if (auto caFile = platform::TrustSettings::caFile()) {
        rc = gnutls_certificate_set_x509_trust_file(credentials.get(), caFile->c_str(), GNUTLS_X509_FMT_PEM);
        if (rc < 0) return fail("CA file " + *caFile + ": " + gnutls_strerror(rc));
        if (rc == 0) return fail("CA file " + *caFile + ": no certificate in it");
    }

    gnutls_session_t rawSession = nullptr;
    rc = gnutls_init(&rawSession, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
    if (rc < 0) return gnutlsFailure("TLS session", rc);
    std::unique_ptr<gnutls_session_int, SessionDeleter> session(rawSession);
    const char* badPriority = nullptr;
    rc = gnutls_priority_set_direct(session.get(), kPriorities, &badPriority);
    if (rc < 0) return gnutlsFailure("TLS priorities", rc);
    rc = gnutls_credentials_set(session.get(), GNUTLS_CRD_CERTIFICATE, credentials.get());
    if (rc < 0) return gnutlsFailure("TLS credentials", rc);

    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    if (!rtmpurl::isIpLiteral(name)) {
        rc = gnutls_server_name_set(session.get(), GNUTLS_NAME_DNS, name.data(), name.size());
        if (rc < 0) return gnutlsFailure("TLS server name", rc);
    }
    // The chain and the name (an address is matched against the certificate's IP addresses).
    gnutls_session_set_verify_cert(session.get(), name.c_str(), 0);

    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail(std::string("fcntl: ") + std::strerror(errno));
    gnutls_transport_set_int(session.get(), fd);
    gnutls_transport_set_vec_push_function(session.get(), pushNoSignal);

    for (;;) {
        rc = gnutls_handshake(session.get());
        if (rc == GNUTLS_E_SUCCESS) break;
        if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED) {
            short events = gnutls_record_get_direction(session.get()) == 1 ? POLLOUT : POLLIN;
            switch (TcpConnector::waitFor(fd, events, deadline, interrupt)) {
            case TcpConnector::Wait::Ready: continue;
            case TcpConnector::Wait::Interrupted: out.interrupted = true; return fail("TLS handshake with " + host + " interrupted");
            case TcpConnector::Wait::TimedOut: return fail("TLS handshake with " + host + " timed out");
            case TcpConnector::Wait::Failed: return fail("TLS handshake with " + host + ": " + std::strerror(errno));
            }
        }
        if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            out.refusedCertificate = true;
            return fail("TLS certificate of " + host + " refused: " + verificationText(session.get()));
        }
        if (gnutls_error_is_fatal(rc) == 0) continue; // a warning alert
        return fail("TLS handshake with " + host + " failed: " + gnutls_strerror(rc));
    }
    out.stream.reset(new GnuTlsStream(fd, session.release(), credentials.release()));
    return out;
}

GnuTlsStream::GnuTlsStream(int fd, gnutls_session_t session, gnutls_certificate_credentials_t credentials)
    : mFd(fd), mSession(session), mCredentials(credentials) {}

GnuTlsStream::~GnuTlsStream() {
    gnutls_deinit(mSession);
    gnutls_certificate_free_credentials(mCredentials);
    ::close(mFd);
}

std::string GnuTlsStream::version() const {
    const char* name = gnutls_protocol_get_name(gnutls_protocol_get_version(mSession));
    return name ? name : "TLS";
}

GnuTlsStream::IoResult GnuTlsStream::resultOf(ssize_t rc) {
    if (rc > 0) return {Io::Ok, static_cast<std::size_t>(rc)};
    if (rc == 0) return {Io::Closed, 0};
    int code = static_cast<int>(rc);
    if (code == GNUTLS_E_AGAIN || code == GNUTLS_E_INTERRUPTED) return {Io::Again, 0};
    // A warning alert, or a TLS 1.3 message that carries no data (a session ticket): nothing yet.
    if (gnutls_error_is_fatal(code) == 0) return {Io::Ok, 0};
    mError = gnutls_strerror(code);
    return {Io::Failed, 0};
}

GnuTlsStream::IoResult GnuTlsStream::send(const std::uint8_t* data, std::size_t size) {
    return resultOf(gnutls_record_send(mSession, data, size));
}

GnuTlsStream::IoResult GnuTlsStream::receive(std::uint8_t* data, std::size_t size) {
    return resultOf(gnutls_record_recv(mSession, data, size));
}

GnuTlsStream::IoResult GnuTlsStream::bye() {
    IoResult r = resultOf(gnutls_bye(mSession, GNUTLS_SHUT_WR));
    return r.status == Io::Closed ? IoResult{Io::Ok, 0} : r;
}
