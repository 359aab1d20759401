#include "recording/recording_name.h"

#include <cstdint>
#include <tuple>

namespace ipcam {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// (six-digit time, number after "-", rest); a name not starting with six
// digits is its own first part.
struct NameKey {
    std::string_view time;
    uint64_t number = 0;
    std::string_view rest;
};

NameKey keyOf(std::string_view name) {
    if (name.size() < 6)
        return {name, 0, {}};
    for (size_t i = 0; i < 6; ++i)
        if (!isDigit(name[i]))
            return {name, 0, {}};
    NameKey key{name.substr(0, 6), 0, name.substr(6)};
    if (name.size() > 7 && name[6] == '-' && isDigit(name[7])) {
        size_t i = 7;
        uint64_t n = 0;
        for (; i < name.size() && isDigit(name[i]); ++i)
            n = n < UINT64_MAX / 10 ? n * 10 + static_cast<uint64_t>(name[i] - '0') : UINT64_MAX;
        key.number = n;
        key.rest = name.substr(i);
    }
    return key;
}

}  // namespace

bool recordingNameLess(std::string_view a, std::string_view b) {
    const NameKey ka = keyOf(a), kb = keyOf(b);
    return std::tie(ka.time, ka.number, ka.rest, a) < std::tie(kb.time, kb.number, kb.rest, b);
}

}  // namespace ipcam
