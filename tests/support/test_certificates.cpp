#include "support/test_certificates.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace ipcam::test {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr && X509_add_ext(cert, ext, -1) == 1, "extension");
    X509_EXTENSION_free(ext);
}

X509* makeCertificate(EVP_PKEY* key, const std::string& commonName, long notBefore, long notAfter) {
    X509* cert = X509_new();
    check(cert != nullptr, "new");
    X509_set_version(cert, 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert), notAfter);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("IPCam Recorder tests"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    return cert;
}

void writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    check(f != nullptr, "open");
    const bool ok = cert ? PEM_write_X509(f, cert) == 1
                         : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(f);
    check(ok, "write");
}

}  // namespace

TestCertificates::TestCertificates(std::string folder) : folder_(std::move(folder)) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(key != nullptr, "key");
    X509* cert = makeCertificate(key, "IPCam test authority", -86400, 7 * 86400);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(cert, cert, NID_subject_key_identifier, "hash");
    check(X509_sign(cert, key, EVP_sha256()) > 0, "sign");
    caFile_ = folder_ + "/ca.pem";
    writePem(caFile_, cert, nullptr);
    caKey_ = key;
    caCert_ = cert;
}

TestCertificates::~TestCertificates() {
    X509_free(static_cast<X509*>(caCert_));
    EVP_PKEY_free(static_cast<EVP_PKEY*>(caKey_));
}

TestCertificates::Pair TestCertificates::issue(const std::string& tag, const std::vector<std::string>& names,
                                               long notBeforeSeconds, long notAfterSeconds, bool selfSigned) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(key != nullptr, "key");
    X509* cert = makeCertificate(key, names.empty() ? tag : names.front(), notBeforeSeconds, notAfterSeconds);
    X509* issuer = selfSigned ? cert : static_cast<X509*>(caCert_);
    EVP_PKEY* signer = selfSigned ? key : static_cast<EVP_PKEY*>(caKey_);
    X509_set_issuer_name(cert, X509_get_subject_name(issuer));
    std::string alt;
    for (const auto& n : names) {
        unsigned char buf[16];
        const bool ip = inet_pton(AF_INET, n.c_str(), buf) == 1 || inet_pton(AF_INET6, n.c_str(), buf) == 1;
        alt += (alt.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + n;
    }
    addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
    if (!alt.empty()) addExtension(cert, issuer, NID_subject_alt_name, alt);
    check(X509_sign(cert, signer, EVP_sha256()) > 0, "sign");
    Pair p{folder_ + "/" + tag + ".pem", folder_ + "/" + tag + ".key"};
    writePem(p.certFile, cert, nullptr);
    writePem(p.keyFile, nullptr, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return p;
}

}  // namespace ipcam::test
