#include "base/secrets.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace ipcam {

namespace {

constexpr size_t npos = std::string::npos;
constexpr std::string_view kMask = "***";

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::vector<std::string>, std::less<>> byName;
    std::vector<std::string> all;  // longest first, no duplicates
};

// Never destroyed: lines may still be logged while the program ends.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

bool isSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

// Where an address written in free text ends.
bool endsAddress(char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '<' || c == '>';
}

}  // namespace

void setSecrets(std::string_view name, std::vector<std::string> values) {
    std::erase_if(values, [](const std::string& v) { return v.empty(); });
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (values.empty()) {
        if (auto it = r.byName.find(name); it != r.byName.end()) r.byName.erase(it);
    } else {
        r.byName.insert_or_assign(std::string(name), std::move(values));
    }
    r.all.clear();
    for (const auto& [key, list] : r.byName) {
        for (const std::string& v : list) {
            if (v.size() >= kMinMaskedSecret) r.all.push_back(v);
        }
    }
    // The longest first, so that a secret holding another is masked whole.
    std::sort(r.all.begin(), r.all.end(), [](const std::string& a, const std::string& b) {
        return a.size() > b.size() || (a.size() == b.size() && a < b);
    });
    r.all.erase(std::unique(r.all.begin(), r.all.end()), r.all.end());
}

std::string maskQueryValues(std::string_view query) {
    std::string out;
    size_t at = 0;
    while (true) {
        const size_t end = std::min(query.find('&', at), query.size());
        const std::string_view item = query.substr(at, end - at);
        if (const size_t eq = item.find('='); eq != npos) {
            out += item.substr(0, eq + 1);
            if (eq + 1 < item.size()) out += kMask;
        } else if (!item.empty()) {
            out += kMask;  // a bare value
        }
        if (end == query.size()) break;
        out += '&';
        at = end + 1;
    }
    return out;
}

std::string redactAddress(std::string_view address) {
    const size_t slashes = address.find("://");
    if (slashes == npos) return std::string(address);
    std::string out(address.substr(0, slashes + 3));
    const std::string_view rest = address.substr(slashes + 3);
    const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    const size_t lastAt = rest.rfind('@');
    size_t hostStart = 0;
    if (lastAt != npos && lastAt >= authorityEnd) {
        // Nobody can tell where the credentials end: all of them go.
        out += kMask;
        out += '@';
        hostStart = lastAt + 1;
    } else if (lastAt != npos) {
        const std::string_view userinfo = rest.substr(0, lastAt);
        const size_t colon = userinfo.find(':');
        out += userinfo.substr(0, colon);
        if (colon != npos) {
            out += ':';
            out += kMask;
        }
        out += '@';
        hostStart = lastAt + 1;
    }
    const std::string_view tail = rest.substr(hostStart);
    const size_t query = tail.find('?');
    out += tail.substr(0, query);
    if (query != npos) {
        out += '?';
        out += maskQueryValues(tail.substr(query + 1));
    }
    return out;
}

std::string maskSecrets(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    for (size_t slashes = text.find("://"); slashes != npos; slashes = text.find("://", slashes + 3)) {
        size_t begin = slashes;
        while (begin > copied && isSchemeChar(text[begin - 1])) --begin;
        if (begin == slashes) continue;  // no scheme before it
        size_t end = slashes + 3;
        while (end < text.size() && !endsAddress(text[end])) ++end;
        out += text.substr(copied, begin - copied);
        out += redactAddress(text.substr(begin, end - begin));
        copied = end;
        slashes = end - 3;  // the next search begins where this address ended
    }
    out += text.substr(copied);

    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const std::string& secret : r.all) {
        for (size_t at = out.find(secret); at != npos; at = out.find(secret, at + kMask.size())) {
            out.replace(at, secret.size(), kMask);
        }
    }
    return out;
}

QString maskSecrets(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return QString::fromStdString(maskSecrets(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size()))));
}

}  // namespace ipcam
