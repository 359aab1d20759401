#pragma once
// The one source of "now" for every rule that depends on the date or the
// time of day. Tests drive the rules with a fake clock.

#include <cstdint>

namespace ipcam {

// A time of day: only hours, minutes and seconds are compared.
struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;

    int secondsOfDay() const { return hour * 3600 + minute * 60 + second; }
    bool operator==(const TimeOfDay&) const = default;
};

// A local calendar date and time of day.
struct LocalDateTime {
    int year = 2000;
    int month = 1;      // 1..12
    int day = 1;        // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int dayOfWeek = 6;  // 0 = Sunday .. 6 = Saturday

    TimeOfDay timeOfDay() const { return {hour, minute, second}; }
    bool operator==(const LocalDateTime&) const = default;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalDateTime now() const = 0;
};

// The machine's local time.
class SystemClock final : public Clock {
public:
    LocalDateTime now() const override;
};

// Builds a LocalDateTime for a calendar date and time, with the day of the
// week worked out from the calendar.
LocalDateTime makeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace ipcam
