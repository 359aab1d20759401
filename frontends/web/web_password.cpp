#include "frontends/web/web_password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <QByteArray>
#include <QList>

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "base/camera_settings.h"
#include "settings/settings_store.h"

namespace ipcam {

namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
// A hand-edited hash cannot make a sign-in take minutes.
constexpr int kMaxIterations = 10000000;

struct Parsed {
    int iterations = 0;
    QByteArray salt;
    QByteArray hash;
};

bool parse(const std::string& stored, Parsed& out) {
    const QList<QByteArray> parts = QByteArray::fromStdString(stored).split('$');
    if (parts.size() != 4 || parts[0] != kScheme)
        return false;
    bool ok = false;
    out.iterations = parts[1].toInt(&ok);
    if (!ok || out.iterations < 1 || out.iterations > kMaxIterations)
        return false;
    const auto salt = QByteArray::fromBase64Encoding(parts[2], QByteArray::AbortOnBase64DecodingErrors);
    const auto hash = QByteArray::fromBase64Encoding(parts[3], QByteArray::AbortOnBase64DecodingErrors);
    if (!salt || !hash || salt.decoded.size() < 8 || salt.decoded.size() > 64 || hash.decoded.size() != kHashBytes)
        return false;
    out.salt = salt.decoded;
    out.hash = hash.decoded;
    return true;
}

QByteArray derive(const std::string& password, const QByteArray& salt, int iterations) {
    QByteArray out(kHashBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.constData()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), kHashBytes, reinterpret_cast<unsigned char*>(out.data())) != 1)
        throw std::runtime_error("The password could not be hashed (OpenSSL).");
    return out;
}

}  // namespace

std::string hashWebPassword(const std::string& password, int iterations) {
    QByteArray salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), kSaltBytes) != 1)
        throw std::runtime_error("No random bytes for the password's salt (OpenSSL).");
    const QByteArray hash = derive(password, salt, iterations);
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + salt.toBase64().toStdString() + "$" +
           hash.toBase64().toStdString();
}

bool verifyWebPassword(const std::string& password, const std::string& stored) {
    Parsed p;
    if (!parse(stored, p))
        return false;
    const QByteArray hash = derive(password, p.salt, p.iterations);
    return CRYPTO_memcmp(hash.constData(), p.hash.constData(), kHashBytes) == 0;
}

bool isWebPasswordHash(const std::string& stored) {
    Parsed p;
    return parse(stored, p);
}

int setWebPasswordCommand(const std::string& settingsFile) {
    SettingsStore store(settingsFile);
    if (!store.exists()) {
        std::fprintf(stderr, "ipcam-recorder: the settings file %s does not exist; start the recorder once first.\n",
                     settingsFile.c_str());
        return 1;
    }
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::fprintf(stderr, "New web page password: ");
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string password;
    const bool got = static_cast<bool>(std::getline(std::cin, password));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (!got || password.empty()) {
        std::fprintf(stderr, "ipcam-recorder: no password given; nothing was changed.\n");
        return 1;
    }
    try {
        CameraSettings settings;
        store.loadStrict(settings);
        settings.webPasswordHash = hashWebPassword(password);
        store.save(settings);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ipcam-recorder: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "The web page's password was stored in %s.\n", settingsFile.c_str());
    return 0;
}

}  // namespace ipcam
