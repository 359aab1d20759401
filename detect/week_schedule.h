#pragma once
// The weekly timetable of hour blocks that drives Daily recording.

#include "base/clock.h"
#include "base/camera_settings.h"

namespace ipcam {

// The schedule's latch: the end of the running block, and the hour whose
// blocks were handled (stopped by hand, or given up for lack of space).
struct BlockLatch {
    TimeOfDay BlockEnd;
    bool BlockHandled = false;
    TimeOfDay BlockHandledTime;
};

// True when a scheduled block is running now and has not been handled; sets
// BlockEnd whenever it returns true and may clear BlockHandled.
bool isDailyBlockDue(BlockLatch& latch, const WeekSchedule& schedule, const LocalDateTime& now);

// The running Daily recording ends when the hour of `now` equals BlockEnd's.
bool dailyBlockEnded(const BlockLatch& latch, const TimeOfDay& now);

// BlockHandledTime := now, BlockHandled := 1.
void setBlockLatch(BlockLatch& latch, const TimeOfDay& now);

}  // namespace ipcam
