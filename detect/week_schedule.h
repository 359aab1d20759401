#pragma once
// The weekly timetable of hour blocks that drives Daily recording.

#include "base/clock.h"
#include "camera/camera_session.h"
#include "base/camera_settings.h"

namespace ipcam {

// True when a scheduled block is running now and has not been handled; sets
// BlockEnd whenever it returns true and may clear BlockHandled.
bool isDailyBlockDue(CameraSession& session, const WeekSchedule& schedule, const LocalDateTime& now);

// The running Daily recording ends when the hour of `now` equals BlockEnd's.
bool dailyBlockEnded(const CameraSession& session, const TimeOfDay& now);

// BlockHandledTime := now, BlockHandled := 1.
void setBlockLatch(CameraSession& session, const TimeOfDay& now);

}  // namespace ipcam
