#pragma once
// A small INI file layer with private-profile semantics: "[section]" headers,
// "key=value" lines, section and key names matched without regard to case,
// values as plain text. Every line the program does not change (other
// sections, other keys, comments, blank lines) is kept as it was.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam {

class IniWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Text values come back through a buffer of this many characters, so at most
// one less is returned.
constexpr size_t kIniTextBuffer = 2048;

class IniFile {
public:
    IniFile() = default;

    // Lines end at LF, CR LF or a lone CR, so no value read holds CR or LF.
    static IniFile fromText(std::string_view text);
    // Reads the file; a missing or unreadable file gives an empty one.
    static IniFile read(const std::string& path);
    // Reads the file before changing it: a missing file gives an empty one,
    // but an existing file that cannot be read throws IniWriteError, so that
    // a save never replaces content it could not see.
    static IniFile readForUpdate(const std::string& path);

    std::string toText() const;

    bool hasSection(std::string_view section) const;

    // The value of the first matching key of the first matching section,
    // blanks around it removed; nothing when section or key is missing.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

    // A text value, cut to kIniTextBuffer - 1 characters; `fallback` when missing.
    std::string readString(std::string_view section, std::string_view key, const std::string& fallback = {}) const;

    // An integer value: "0x"/"0X" followed by digits is hexadecimal, "$" too,
    // anything else decimal; a value that does not parse completely as a
    // 32-bit integer, or a missing key, gives `fallback`.
    int32_t readInteger(std::string_view section, std::string_view key, int32_t fallback) const;

    // Replaces the key's value in place, or adds the key at the end of its
    // section (the section at the end of the file). A value that holds a CR
    // or LF would start a new line and read back differently: it throws
    // IniWriteError and nothing changes.
    void writeString(std::string_view section, std::string_view key, std::string_view value);

    // Writes the whole file through a temporary file in the same directory
    // and a rename, so the file is never left half-written. When the folder
    // takes no new files, or does not let this file be replaced, but the
    // file itself is writable, the file is written in place instead. A new file is readable and writable by its
    // owner only; an existing file keeps its permissions with everything
    // beyond the owner's read and write removed (where we own it).
    // A replaced file keeps its owner and group: where the new file cannot
    // be given them, the file is written in place. A new file that root
    // makes in another user's folder belongs to the folder's owner.
    // Throws IniWriteError with the reason when the file cannot be written.
    void writeTo(const std::string& path) const;

private:
    void writeInPlace(const std::string& target, unsigned mode) const;

    std::vector<std::string> lines_;
};

// Integer parsing used by IniFile::readInteger.
std::optional<int32_t> parseIniInteger(std::string_view text);

}  // namespace ipcam
