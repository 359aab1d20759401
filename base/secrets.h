#pragma once
// Secrets kept out of the activity log. The settings register their
// passwords here; the log writer masks every registered secret, and every
// credential written in an address, in each line before it is written, so
// that not even a careless log line can show one.
// All functions may be called from any thread.

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam {

// Shorter secrets are not searched for in free text: they would mask
// ordinary words and numbers. Where they are written in an address the
// address's own masking hides them.
inline constexpr size_t kMinMaskedSecret = 4;

// The secrets known under `name` (a settings key) become `values`; an empty
// list (or empty values) forgets them.
void setSecrets(std::string_view name, std::vector<std::string> values);

// `text` with every address in it redacted (redactAddress) and every
// registered secret written "***".
std::string maskSecrets(std::string_view text);
inline std::string maskSecrets(const char* text) { return maskSecrets(std::string_view(text)); }
QString maskSecrets(const QString& text);

// One address, however it is written, without what may be a credential:
// the password after "user:" written "***", and every query value "***".
// When an '@' comes after the host part (a user name or password holding a
// raw '/', '?' or '#'), all from after "//" up to the last '@' is masked.
std::string redactAddress(std::string_view address);

// "a=1&b=&c" -> "a=***&b=&***": names kept, values masked.
std::string maskQueryValues(std::string_view query);

}  // namespace ipcam
