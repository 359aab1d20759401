#include "base/clock.h"

#include <ctime>

namespace ipcam {

LocalDateTime SystemClock::now() const {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    LocalDateTime d;
    d.year = tm.tm_year + 1900;
    d.month = tm.tm_mon + 1;
    d.day = tm.tm_mday;
    d.hour = tm.tm_hour;
    d.minute = tm.tm_min;
    d.second = tm.tm_sec;
    d.dayOfWeek = tm.tm_wday;
    return d;
}

LocalDateTime makeDateTime(int year, int month, int day, int hour, int minute, int second) {
    // Sakamoto's method: 0 = Sunday.
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    int y = month < 3 ? year - 1 : year;
    int dow = (y + y / 4 - y / 100 + y / 400 + offsets[month - 1] + day) % 7;
    return LocalDateTime{year, month, day, hour, minute, second, dow};
}

}  // namespace ipcam
