#pragma once
#include <string>
#include "tests/support/TestUtil.h"

namespace zqtest {

// A certificate authority of the test's own and the server certificates it signs, made with the
// openssl tool in a temporary folder (EC P-256 keys: quick to make).
class TestCertificates {
public:
    struct Server {
        std::string certificate; // PEM paths
        std::string key;
    };

    // Makes the CA; ok() says whether openssl did.
    explicit TestCertificates(const std::string& caName = "ZQLiveKit Test CA");
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    bool ok() const { return mOk; }
    const std::string& caFile() const { return mCaFile; }
    // A certificate for `name` (also its subjectAltName; `ipAddress` adds an IP entry), valid from
    // now for a day, or, with `expired`, one that ran out yesterday. Empty paths on failure.
    Server server(const std::string& name, const std::string& ipAddress = "", bool expired = false);

private:
    TempDir mDir;
    std::string mCaFile;
    std::string mCaKey;
    int mMade = 0;
    bool mOk = false;
};

} // namespace zqtest
