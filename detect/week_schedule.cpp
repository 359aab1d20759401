#include "detect/week_schedule.h"

namespace ipcam {

bool isDailyBlockDue(BlockLatch& session, const WeekSchedule& schedule, const LocalDateTime& now) {
    const int hour = now.hour;
    const int latchHour = session.BlockHandledTime.hour;
    const int day = now.dayOfWeek;
    if (day < 0 || day >= kDaysPerWeek || hour < 0 || hour >= kHoursPerDay)
        return false;
    if (schedule.at(day, hour) == 0)
        return false;
    // A latch only looks at the hour: it holds for every scheduled block at
    // that hour until a check at another scheduled hour clears it.
    if (latchHour == hour && session.BlockHandled)
        return false;
    if (latchHour != hour)
        session.BlockHandled = false;
    session.BlockEnd = TimeOfDay{hour == 23 ? 0 : hour + 1, 0, 0};
    return true;
}

bool dailyBlockEnded(const BlockLatch& session, const TimeOfDay& now) {
    return now.hour == session.BlockEnd.hour;
}

void setBlockLatch(BlockLatch& session, const TimeOfDay& now) {
    session.BlockHandledTime = now;
    session.BlockHandled = true;
}

}  // namespace ipcam
