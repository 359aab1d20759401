#pragma once
// The web page's password: only a salted, slow hash of it is stored
// (Web_Password_Hash), "pbkdf2-sha256$<iterations>$<salt base64>$<hash base64>",
// PBKDF2-HMAC-SHA256 through OpenSSL.

#include <string>

namespace ipcam {

inline constexpr int kWebPasswordIterations = 600000;

// A new hash of `password` with a fresh random salt.
std::string hashWebPassword(const std::string& password, int iterations = kWebPasswordIterations);
// Whether `password` matches `stored` (compared in constant time); false for
// a stored text that is not such a hash.
bool verifyWebPassword(const std::string& password, const std::string& stored);
// Whether `stored` is a hash verifyWebPassword can check.
bool isWebPasswordHash(const std::string& stored);

// --set-web-password: reads one line from standard input (not echoed when it
// is a terminal), stores its hash in the settings file `settingsFile`
// (which must exist) and returns the exit code; messages go to standard error.
int setWebPasswordCommand(const std::string& settingsFile);

}  // namespace ipcam
