#pragma once
#include <gnutls/gnutls.h>
#include <memory>
#include <string>
#include "transport/TcpConnector.h"
#include "transport/TlsStream.h"

// A GnuTLS client session (TLS 1.2 or 1.3) over a connected TCP socket, with the server's
// certificate verified: its chain against the system's trust store plus the kit's CA file
// (platform::TrustSettings, which only adds trust), and its name against the host. A host name is
// also sent as SNI; a numeric address is not (the certificate must name the address itself).
//
// Not thread-safe: the handshake runs on the connecting thread, everything after it on the relay's.
class GnuTlsStream final : public TlsStream {
public:
    struct Handshake {
        std::unique_ptr<GnuTlsStream> stream; // null on failure
        bool interrupted = false;
        // Why it failed, for logs; a refused certificate names the reason in GnuTLS's words
        // ("The certificate issuer is unknown.", "The name in the certificate does not match the
        // expected.", ...).
        std::string error;
        bool refusedCertificate = false;
    };

    // Takes over `fd` (a connected TCP socket; closed on failure) and runs the handshake until
    // `deadline`; the interrupt ends it at once. Blocking; any thread.
    static Handshake connect(int fd, const std::string& host, TcpConnector::Deadline deadline,
                             LinkInterrupt* interrupt);

    ~GnuTlsStream() override;
    GnuTlsStream(const GnuTlsStream&) = delete;
    GnuTlsStream& operator=(const GnuTlsStream&) = delete;

    // "TLS1.3", "TLS1.2".
    std::string version() const;

    int fd() const override { return mFd; }
    IoResult send(const std::uint8_t* data, std::size_t size) override;
    IoResult receive(std::uint8_t* data, std::size_t size) override;
    IoResult bye() override;
    std::string error() const override { return mError; }

private:
    GnuTlsStream(int fd, gnutls_session_t session, gnutls_certificate_credentials_t credentials);
    IoResult resultOf(ssize_t rc);

    int mFd;
    gnutls_session_t mSession;
    gnutls_certificate_credentials_t mCredentials;
    std::string mError;
};
