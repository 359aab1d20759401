#include "frontends/web/byte_range.h"

#include <algorithm>

namespace ipcam {

RangeResult parseRange(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last) {
    if (header.empty() || header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos)
        return RangeResult::Whole;
    const std::string range = header.substr(6);
    const size_t dash = range.find('-');
    if (dash == std::string::npos)
        return RangeResult::Whole;
    auto number = [](const std::string& t, uint64_t& v) {
        if (t.empty() || t.size() > 19 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        v = std::stoull(t);
        return true;
    };
    const std::string a = range.substr(0, dash), b = range.substr(dash + 1);
    uint64_t x = 0, y = 0;
    if (a.empty()) {
        if (!number(b, y))
            return RangeResult::Whole;
        if (y == 0 || size == 0)
            return RangeResult::Unsatisfiable;
        first = size - std::min(y, size);
        last = size - 1;
        return RangeResult::Part;
    }
    if (!number(a, x))
        return RangeResult::Whole;
    if (x >= size)
        return RangeResult::Unsatisfiable;
    if (b.empty()) {
        y = size - 1;
    } else {
        if (!number(b, y))
            return RangeResult::Whole;
        if (y < x)
            return RangeResult::Whole;
        y = std::min(y, size - 1);
    }
    first = x;
    last = y;
    return RangeResult::Part;
}

}  // namespace ipcam
