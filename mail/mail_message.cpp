#include "mail/mail_message.h"

#include <cstdio>
#include <ctime>

namespace ipcam {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBase64PieceBytes = 57;
constexpr size_t kEncodedWordMax = 75;

bool isPrintableAscii(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimBlanks(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

std::string rtrimBlanks(std::string s) {
    while (!s.empty() && isBlank(s.back())) s.pop_back();
    return s;
}

// One character of the input: its code point and its UTF-8 bytes. Bytes that
// are not valid UTF-8 are taken as ISO-8859-1 characters.
struct Utf8Char {
    uint32_t codePoint;
    std::string bytes;
};

std::vector<Utf8Char> decodeUtf8(std::string_view s) {
    std::vector<Utf8Char> out;
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = 1;
        uint32_t cp = c;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07u;
        }
        bool valid = len == 1 || i + len <= s.size();
        for (size_t k = 1; valid && k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0u) != 0x80u) {
                valid = false;
            } else {
                cp = (cp << 6) | (cc & 0x3Fu);
            }
        }
        if (!valid) {
            len = 1;
            cp = c;
        }
        std::string bytes;
        if (valid) {
            bytes = std::string(s.substr(i, len));
        } else {
            // A stray byte stands for the ISO-8859-1 character of that value.
            bytes.push_back(static_cast<char>(0xC0u | (c >> 6)));
            bytes.push_back(static_cast<char>(0x80u | (c & 0x3Fu)));
        }
        out.push_back({cp, std::move(bytes)});
        i += len;
    }
    return out;
}

// Q encoding of one byte, restricted to the characters allowed in a phrase.
std::string qEncodeByte(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
        c == '+' || c == '-' || c == '/') {
        return std::string(1, static_cast<char>(c));
    }
    if (c == ' ') return "_";
    char buf[4];
    std::snprintf(buf, sizeof buf, "=%02X", c);
    return buf;
}

std::string joinAddresses(const std::vector<MailAddress>& list) {
    std::string out;
    for (const auto& a : list) {
        if (!out.empty()) out += ", ";
        out += renderAddress(a);
    }
    return out;
}

// Words made of printable ASCII stay as they are; runs of other words become
// encoded words.
std::string encodeSubject(std::string_view subject) {
    if (isPrintableAscii(subject)) return std::string(subject);
    std::vector<std::string> words;
    size_t start = 0;
    while (true) {
        const size_t sp = subject.find(' ', start);
        words.emplace_back(subject.substr(start, sp == std::string_view::npos ? std::string_view::npos : sp - start));
        if (sp == std::string_view::npos) break;
        start = sp + 1;
    }
    std::string out;
    for (size_t i = 0; i < words.size();) {
        if (i > 0) out += ' ';
        if (isPrintableAscii(words[i])) {
            out += words[i];
            ++i;
            continue;
        }
        std::string run = words[i];
        size_t j = i + 1;
        while (j < words.size() && !words[j].empty() && !isPrintableAscii(words[j])) {
            run += ' ';
            run += words[j];
            ++j;
        }
        out += encodeWords(run);
        i = j;
    }
    return out;
}

std::string fileNameOnly(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool hasControlCharacter(std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

std::string base64Encode(std::string_view data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = (static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16) |
                           (static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8) |
                           static_cast<unsigned char>(data[i + 2]);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16;
        if (rest == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<std::string> base64Lines(std::string_view data) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < data.size(); i += kBase64PieceBytes) {
        lines.push_back(base64Encode(data.substr(i, kBase64PieceBytes)));
    }
    return lines;
}

std::string formatMailDate(const MailDate& date) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const LocalDateTime& t = date.local;
    const char* day = kDays[(t.dayOfWeek % 7 + 7) % 7];
    const char* month = kMonths[(t.month >= 1 && t.month <= 12) ? t.month - 1 : 0];
    const int offset = date.utcOffsetMinutes < 0 ? -date.utcOffsetMinutes : date.utcOffsetMinutes;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d %c%02d%02d", day, t.day, month, t.year, t.hour,
                  t.minute, t.second, date.utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return buf;
}

MailDate currentMailDate() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    MailDate d;
    d.local.year = tm.tm_year + 1900;
    d.local.month = tm.tm_mon + 1;
    d.local.day = tm.tm_mday;
    d.local.hour = tm.tm_hour;
    d.local.minute = tm.tm_min;
    d.local.second = tm.tm_sec;
    d.local.dayOfWeek = tm.tm_wday;
    d.utcOffsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
    return d;
}

std::string encodeWords(std::string_view utf8Text) {
    if (isPrintableAscii(utf8Text)) return std::string(utf8Text);
    const std::vector<Utf8Char> chars = decodeUtf8(utf8Text);
    bool latin1 = true;
    for (const auto& ch : chars) {
        if (ch.codePoint > 0xFF) latin1 = false;
    }
    const std::string prefix = latin1 ? "=?ISO-8859-1?Q?" : "=?UTF-8?Q?";
    const std::string suffix = "?=";
    const size_t room = kEncodedWordMax - prefix.size() - suffix.size();

    std::string out;
    std::string payload;
    for (const auto& ch : chars) {
        std::string piece;
        if (latin1) {
            piece = qEncodeByte(static_cast<unsigned char>(ch.codePoint));
        } else {
            for (unsigned char b : ch.bytes) piece += qEncodeByte(b);
        }
        if (!payload.empty() && payload.size() + piece.size() > room) {
            if (!out.empty()) out += ' ';
            out += prefix + payload + suffix;
            payload.clear();
        }
        payload += piece;
    }
    if (!payload.empty()) {
        if (!out.empty()) out += ' ';
        out += prefix + payload + suffix;
    }
    return out;
}

std::string renderAddress(const MailAddress& a) {
    if (a.name.empty()) return a.address;
    if (isPrintableAscii(a.name)) {
        std::string quoted = "\"";
        for (char c : a.name) {
            if (c == '\\' || c == '"') quoted += '\\';
            quoted += c;
        }
        quoted += '"';
        return quoted + " <" + a.address + ">";
    }
    return encodeWords(a.name) + " <" + a.address + ">";
}

std::vector<std::string> foldHeaderLine(const std::string& line) {
    std::vector<std::string> out;
    std::string cur = rtrimBlanks(line);
    while (cur.size() > kMailFoldLimit) {
        size_t before = std::string::npos;  // last break point within the limit
        size_t after = std::string::npos;   // first break point beyond it
        bool inQuotes = false;
        bool escaped = false;
        bool seenText = false;
        for (size_t i = 0; i < cur.size(); ++i) {
            const char c = cur[i];
            if (inQuotes) {
                if (escaped) {
                    escaped = false;
                } else if (c == '\\') {
                    escaped = true;
                } else if (c == '"') {
                    inQuotes = false;
                }
                seenText = true;
                continue;
            }
            if (c == '"') {
                inQuotes = true;
                seenText = true;
                continue;
            }
            if (isBlank(c)) {
                if (!seenText) continue;
                if (i <= kMailFoldLimit) {
                    before = i;
                } else if (after == std::string::npos) {
                    after = i;
                }
            } else {
                seenText = true;
            }
        }
        const size_t at = before != std::string::npos ? before : after;
        if (at == std::string::npos) break;
        out.push_back(rtrimBlanks(cur.substr(0, at)));
        size_t restStart = at;
        while (restStart < cur.size() && isBlank(cur[restStart])) ++restStart;
        cur = " " + cur.substr(restStart);
    }
    out.push_back(cur);
    return out;
}

std::string decidedContentType(const MailMessage& m) {
    std::string type = m.contentType;
    if (!m.attachments.empty()) {
        type = "multipart/mixed; boundary=\"" + std::string(kMailBoundary) + "\"";
    }
    if (type.empty()) return m.charset;
    if (m.charset.empty()) return type;
    return type + ";" + m.charset;
}

std::vector<MailAddress> parseAddressList(std::string_view text) {
    std::vector<std::string> pieces;
    std::string cur;
    bool inQuotes = false;
    for (char c : text) {
        if (c == '"') inQuotes = !inQuotes;
        if (c == ',' && !inQuotes) {
            pieces.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    pieces.push_back(cur);

    std::vector<MailAddress> out;
    for (const auto& raw : pieces) {
        const std::string piece = trimBlanks(raw);
        if (piece.empty()) continue;
        const size_t lt = piece.rfind('<');
        const size_t gt = piece.rfind('>');
        if (lt == std::string::npos || gt == std::string::npos || gt < lt) {
            out.push_back({"", piece});
            continue;
        }
        MailAddress a;
        a.address = trimBlanks(std::string_view(piece).substr(lt + 1, gt - lt - 1));
        std::string name = trimBlanks(std::string_view(piece).substr(0, lt));
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
            std::string unquoted;
            for (size_t i = 1; i + 1 < name.size(); ++i) {
                if (name[i] == '\\' && i + 2 < name.size()) ++i;
                unquoted += name[i];
            }
            name = unquoted;
        }
        a.name = name;
        out.push_back(std::move(a));
    }
    return out;
}

std::vector<std::string> composeMessageLines(const MailMessage& m,
                                             const std::vector<std::string>& attachmentContents) {
    const std::string from = (m.from.address.empty() && m.from.name.empty()) ? std::string() : renderAddress(m.from);
    const std::pair<const char*, std::string> headers[] = {
        {"From", from},
        {"Subject", encodeSubject(m.subject)},
        {"To", joinAddresses(m.to)},
        {"Cc", joinAddresses(m.cc)},
        {"Newsgroups", ""},
        {"Content-Type", decidedContentType(m)},
        {"MIME-Version", m.attachments.empty() ? "" : "1.0"},
        {"Content-Transfer-Encoding", ""},
        {"Sender", ""},
        {"Reply-To", ""},
        {"Organization", ""},
        {"Disposition-Notification-To", ""},
        {"References", ""},
        {"Date", formatMailDate(m.date)},
        {"X-Priority", std::to_string(static_cast<int>(m.priority) + 1)},
        {"X-Library", std::string(kMailLibrary)},
    };

    std::vector<std::string> lines;
    for (const auto& [name, value] : headers) {
        if (value.empty()) continue;
        for (auto& l : foldHeaderLine(std::string(name) + ": " + value)) lines.push_back(std::move(l));
    }
    lines.emplace_back();

    if (m.attachments.empty()) {
        for (const auto& b : m.body) lines.push_back(b);
        return lines;
    }

    const std::string boundary = "--" + std::string(kMailBoundary);
    lines.emplace_back("This is a multi-part message in MIME format");
    lines.emplace_back();
    lines.push_back(boundary);
    lines.emplace_back("Content-Type: text/plain");
    lines.emplace_back("Content-Transfer-Encoding: 7bit");
    lines.emplace_back();
    for (const auto& b : m.body) lines.push_back(b);
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const MailAttachment& a = m.attachments[i];
        const std::string name = fileNameOnly(a.fileName);
        lines.emplace_back();
        lines.push_back(boundary);
        lines.push_back("Content-Type: " + (a.contentType.empty() ? std::string("application/octet-stream")
                                                                  : a.contentType) + ";");
        lines.push_back("        name=\"" + name + "\"");
        lines.emplace_back("Content-Transfer-Encoding: base64");
        lines.push_back("Content-Disposition: " + (a.disposition.empty() ? std::string("attachment")
                                                                         : a.disposition) + ";");
        lines.push_back("        filename=\"" + name + "\"");
        lines.emplace_back();
        if (i < attachmentContents.size()) {
            for (auto& l : base64Lines(attachmentContents[i])) lines.push_back(std::move(l));
        }
        lines.emplace_back();
    }
    lines.push_back(boundary + "--");
    return lines;
}

}  // namespace ipcam
