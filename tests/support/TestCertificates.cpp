#include "tests/support/TestCertificates.h"

#include <fstream>

namespace zqtest {
namespace {

constexpr const char* kKeyOptions = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

std::string quoted(const std::string& text) { return "'" + text + "'"; }

} // namespace

TestCertificates::TestCertificates(const std::string& caName)
    : mCaFile(mDir.file("ca.pem")), mCaKey(mDir.file("ca.key")) {
    std::string command = std::string("openssl req -x509 ") + kKeyOptions + " -keyout " + quoted(mCaKey) + " -out " +
                          quoted(mCaFile) + " -subj " + quoted("/CN=" + caName) + " -days 2 >/dev/null 2>&1";
    mOk = runCommand(command) == 0;
}

TestCertificates::Server TestCertificates::server(const std::string& name, const std::string& ipAddress, bool expired) {
    if (!mOk) return {};
    std::string base = mDir.file("server" + std::to_string(++mMade));
    Server out{base + ".pem", base + ".key"};
    std::string extensions = base + ".ext";
    std::ofstream(extensions) << "subjectAltName=DNS:" << name << (ipAddress.empty() ? "" : ",IP:" + ipAddress)
                              << "\nextendedKeyUsage=serverAuth\n";
    std::string request = std::string("openssl req ") + kKeyOptions + " -keyout " + quoted(out.key) + " -out " +
                          quoted(base + ".csr") + " -subj " + quoted("/CN=" + name) + " >/dev/null 2>&1";
    // -days -1: valid until yesterday.
    std::string sign = "openssl x509 -req -in " + quoted(base + ".csr") + " -CA " + quoted(mCaFile) + " -CAkey " +
                       quoted(mCaKey) + " -CAcreateserial -out " + quoted(out.certificate) + " -days " +
                       (expired ? "-1" : "1") + " -extfile " + quoted(extensions) + " >/dev/null 2>&1";
    if (runCommand(request) != 0 || runCommand(sign) != 0) return {};
    return out;
}

} // namespace zqtest
