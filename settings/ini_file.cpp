#include "settings/ini_file.h"
#include "base/file_owner.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ipcam {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// The name of a "[name]" line, or nothing for any other line.
std::optional<std::string_view> sectionOf(std::string_view line) {
    line = trimmed(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    const size_t close = line.find(']');
    if (close != std::string_view::npos)
        line = line.substr(0, close);
    return trimmed(line);
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

// The key and value of a "key=value" line; comments and other lines give nothing.
std::optional<KeyLine> keyOf(std::string_view line) {
    const std::string_view t = trimmed(line);
    if (t.empty() || t.front() == ';' || t.front() == '[')
        return std::nullopt;
    const size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return KeyLine{trimmed(t.substr(0, eq)), trimmed(t.substr(eq + 1))};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string errnoText(int err) { return std::strerror(err); }

bool readWholeFile(const std::string& path, std::string& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char chunk[8192];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        out.append(chunk, n);
    const bool ok = !std::ferror(f);
    const int err = errno;
    std::fclose(f);
    errno = err;
    return ok;
}

}  // namespace

std::optional<int32_t> parseIniInteger(std::string_view text) {
    std::string s(trimmed(text));
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = "$" + s.substr(2);
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < s.size() && s[i] == '$') {
        hex = true;
        ++i;
    }
    if (i >= s.size())
        return std::nullopt;
    uint64_t magnitude = 0;
    for (; i < s.size(); ++i) {
        int digit = hex ? hexDigit(s[i]) : ((s[i] >= '0' && s[i] <= '9') ? s[i] - '0' : -1);
        if (digit < 0)
            return std::nullopt;
        magnitude = magnitude * (hex ? 16u : 10u) + static_cast<uint64_t>(digit);
        if (magnitude > 0xFFFFFFFFull)
            return std::nullopt;
    }
    uint32_t bits;
    if (hex) {
        // Hexadecimal spells the 32 bits themselves.
        bits = static_cast<uint32_t>(magnitude);
    } else {
        if (magnitude > (negative ? 0x80000000ull : 0x7FFFFFFFull))
            return std::nullopt;
        bits = static_cast<uint32_t>(magnitude);
    }
    if (negative)
        bits = 0u - bits;
    return static_cast<int32_t>(bits);
}

IniFile IniFile::fromText(std::string_view text) {
    IniFile ini;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    // A line ends at LF, at CR LF, and also at a CR of its own: a bare CR
    // written into a value by hand never reaches a value.
    while (!text.empty()) {
        const size_t end = text.find_first_of("\r\n");
        ini.lines_.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        const size_t next = (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? end + 2 : end + 1;
        text.remove_prefix(next);
    }
    return ini;
}

IniFile IniFile::read(const std::string& path) {
    std::string content;
    if (!readWholeFile(path, content))
        return {};
    return fromText(content);
}

IniFile IniFile::readForUpdate(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return {};
        throw IniWriteError("cannot examine " + path + ": " + errnoText(errno));
    }
    std::string content;
    if (!readWholeFile(path, content))
        throw IniWriteError("cannot read " + path + " before changing it: " + errnoText(errno));
    return fromText(content);
}

std::string IniFile::toText() const {
    std::string out;
    for (const std::string& line : lines_) {
        out += line;
        out += '\n';
    }
    return out;
}

bool IniFile::hasSection(std::string_view section) const {
    for (const std::string& line : lines_) {
        const auto name = sectionOf(line);
        if (name && sameName(*name, section))
            return true;
    }
    return false;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    bool inSection = false;
    for (const std::string& line : lines_) {
        if (const auto name = sectionOf(line)) {
            if (inSection)
                break;  // only the first section of that name counts
            inSection = sameName(*name, section);
            continue;
        }
        if (!inSection)
            continue;
        const auto kv = keyOf(line);
        if (kv && sameName(kv->key, key))
            return std::string(kv->value);
    }
    return std::nullopt;
}

std::string IniFile::readString(std::string_view section, std::string_view key, const std::string& fallback) const {
    std::string text = value(section, key).value_or(fallback);
    if (text.size() > kIniTextBuffer - 1)
        text.resize(kIniTextBuffer - 1);
    return text;
}

int32_t IniFile::readInteger(std::string_view section, std::string_view key, int32_t fallback) const {
    if (!value(section, key))
        return fallback;
    return parseIniInteger(readString(section, key)).value_or(fallback);
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    if (value.find_first_of("\r\n") != std::string_view::npos)
        throw IniWriteError("the value of " + std::string(key) + " holds a line break");
    std::string line(key);
    line += '=';
    line += value;

    // Find the first section of that name and, in it, the key.
    size_t header = lines_.size();
    for (size_t i = 0; i < lines_.size(); ++i) {
        const auto name = sectionOf(lines_[i]);
        if (name && sameName(*name, section)) {
            header = i;
            break;
        }
    }
    if (header == lines_.size()) {
        if (!lines_.empty() && !trimmed(lines_.back()).empty())
            lines_.emplace_back();
        lines_.push_back("[" + std::string(section) + "]");
        lines_.push_back(std::move(line));
        return;
    }
    size_t lastContent = header;
    for (size_t i = header + 1; i < lines_.size(); ++i) {
        if (sectionOf(lines_[i]))
            break;
        const auto kv = keyOf(lines_[i]);
        if (kv && sameName(kv->key, key)) {
            lines_[i] = std::move(line);
            return;
        }
        if (!trimmed(lines_[i]).empty())
            lastContent = i;
    }
    lines_.insert(lines_.begin() + static_cast<long>(lastContent + 1), std::move(line));
}

void IniFile::writeInPlace(const std::string& target, unsigned mode) const {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        throw IniWriteError("cannot open " + target + ": " + errnoText(errno));
    auto fail = [&](const std::string& what) {
        const int err = errno;
        ::close(fd);
        throw IniWriteError(what + " " + target + ": " + errnoText(err));
    };
    // Only the owner may change the permissions; anyone else writes the
    // file as it is.
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && ::fchmod(fd, mode) != 0)
        fail("cannot set the permissions of");

    // Written over the old text and then cut to length, so a shorter text
    // never leaves the old tail behind and the file is never empty between.
    const std::string text = toText();
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (::ftruncate(fd, static_cast<off_t>(text.size())) != 0)
        fail("cannot write");
    if (::fsync(fd) != 0)
        fail("cannot flush");
    if (::close(fd) != 0)
        throw IniWriteError("cannot write " + target + ": " + errnoText(errno));
}

void IniFile::writeTo(const std::string& path) const {
    // Write through a symbolic link to the file it names.
    std::string target = path;
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved))
            throw IniWriteError("cannot follow the link " + path + ": " + errnoText(errno));
        target = resolved;
    }

    struct stat info {};
    const bool existed = ::stat(target.c_str(), &info) == 0;
    mode_t mode = S_IRUSR | S_IWUSR;
    if (existed) {
        if (!S_ISREG(info.st_mode))
            throw IniWriteError(target + " is not a regular file");
        if (::access(target.c_str(), W_OK) != 0)
            throw IniWriteError(target + " is not writable: " + errnoText(errno));
        mode = info.st_mode & (S_IRUSR | S_IWUSR);
    }

    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = dir + (dir == "/" ? "." : "/.") + base + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        const int err = errno;
        // A writable file in a folder that takes no new files is written in
        // place instead.
        if (existed && (err == EACCES || err == EPERM)) {
            writeInPlace(target, mode);
            return;
        }
        throw IniWriteError("cannot create a file in " + dir + ": " + errnoText(err));
    }

    auto fail = [&](const std::string& what) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        throw IniWriteError(what + " " + target + ": " + errnoText(err));
    };

    if (::fchmod(fd, mode) != 0)
        fail("cannot set the permissions of");
    if (!existed) {
        giveToFolderOwner(fd, target);
    } else if ((info.st_uid != ::geteuid() || info.st_gid != ::getegid()) &&
               ::fchown(fd, info.st_uid, info.st_gid) != 0) {
        // The new file cannot have the replaced one's owner and group, so a
        // rename would take the file away from its owner: write it in place.
        ::close(fd);
        ::unlink(temp.c_str());
        writeInPlace(target, mode);
        return;
    }

    const std::string text = toText();
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0)
        fail("cannot flush");
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw IniWriteError("cannot write " + target + ": " + errnoText(err));
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        // A folder may take new files but not let this one be replaced (a
        // sticky folder and someone else's file): write it in place.
        if (existed && (err == EACCES || err == EPERM)) {
            writeInPlace(target, mode);
            return;
        }
        throw IniWriteError("cannot replace " + target + ": " + errnoText(err));
    }
}

}  // namespace ipcam
