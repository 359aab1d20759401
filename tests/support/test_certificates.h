#pragma once
// Certificates made at test time: a test authority whose certificate a test
// trusts (and nothing else does), server certificates it issues, and
// self-signed ones. PEM files in a folder of the caller's.

#include <string>
#include <vector>

namespace ipcam::test {

class TestCertificates {
public:
    struct Pair {
        std::string certFile;
        std::string keyFile;
    };

    // Makes the authority and writes its certificate to `folder`/ca.pem.
    explicit TestCertificates(std::string folder);
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::string& authorityFile() const { return caFile_; }

    // A server certificate for `names` ("localhost", "127.0.0.1": DNS names
    // and IP addresses), valid from now + notBeforeSeconds to now +
    // notAfterSeconds, issued by the test authority or signed by itself.
    Pair issue(const std::string& tag, const std::vector<std::string>& names, long notBeforeSeconds = -3600,
               long notAfterSeconds = 86400, bool selfSigned = false);

private:
    std::string folder_;
    std::string caFile_;
    void* caKey_ = nullptr;   // EVP_PKEY
    void* caCert_ = nullptr;  // X509
};

}  // namespace ipcam::test
