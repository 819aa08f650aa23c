#pragma once
#include <optional>
#include <string>
#include "tests/support/TestUtil.h"

namespace zqtest {

// An nginx with the RTMP module, run by the test itself on a free loopback port, recording every
// published stream into its own temporary folder. Publish to publishUrl(name); after the publisher
// has stopped, the recording is recordingPath(name). Real time; meant for "integration" tests.
class NginxRtmp {
public:
    // `record` false: nothing is written to disk (for benchmarks).
    explicit NginxRtmp(bool record = true);
    ~NginxRtmp();
    NginxRtmp(const NginxRtmp&) = delete;
    NginxRtmp& operator=(const NginxRtmp&) = delete;

    // True when nginx and its RTMP module are installed (scripts/setup installs both).
    static bool available();
    // True when nginx's stream module (the TLS front end) is installed too.
    static bool tlsAvailable();

    // A TLS front end (nginx's stream module) on its own port that passes the decrypted bytes to the
    // RTMP port. Set before start().
    struct TlsFrontEnd {
        std::string certificate; // PEM paths
        std::string key;
        std::string protocols = "TLSv1.2 TLSv1.3";
        int upstreamPort = 0; // where the decrypted bytes go; 0: this nginx's RTMP port
    };
    void setTlsFrontEnd(TlsFrontEnd tls);
    int tlsPort() const { return mTlsPort; }
    // rtmps://HOST:TLSPORT/live/NAME
    std::string tlsPublishUrl(const std::string& name, const std::string& host = "localhost") const;

    // Starts nginx and waits until its port accepts connections. The first start may move to another
    // free port when the one picked was taken meanwhile; later starts keep the port, so a publisher
    // can reconnect to the same URL. False (with the reason in lastError()) when it did not come up.
    bool start(double timeoutSeconds = 10);
    // Ends nginx: SIGTERM, so it closes its connections and recordings, or SIGKILL to drop every
    // link at once as a crashed ingest would.
    void stop();
    void kill();
    bool running();

    int port() const { return mPort; }
    // rtmp://127.0.0.1:PORT/live/NAME
    std::string publishUrl(const std::string& name) const;
    // DIR/NAME.flv: one file per stream name, rewritten by each new publish of that name.
    std::string recordingPath(const std::string& name) const;
    const std::string& directory() const { return mDir.path(); }
    // nginx's own log, for failure messages.
    std::string errorLog() const;
    const std::string& lastError() const { return mLastError; }

private:
    void writeConfig();
    bool waitUntilAccepting(double timeoutSeconds);

    TempDir mDir;
    int mPort = 0;
    int mTlsPort = 0;
    std::optional<TlsFrontEnd> mTls;
    bool mRecord = true;
    bool mStartedOnce = false;
    ChildProcess mProcess;
    std::string mLastError;
};

} // namespace zqtest
