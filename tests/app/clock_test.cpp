#include <gtest/gtest.h>

#include "base/clock.h"

namespace ipcam {
namespace {

TEST(MakeDateTime, DayOfWeekFromCalendar) {
    EXPECT_EQ(makeDateTime(2006, 10, 12).dayOfWeek, 4);  // a Thursday
    EXPECT_EQ(makeDateTime(2026, 12, 6).dayOfWeek, 0);   // a Sunday
    EXPECT_EQ(makeDateTime(2026, 12, 12).dayOfWeek, 6);  // a Saturday
    EXPECT_EQ(makeDateTime(2024, 2, 29).dayOfWeek, 4);   // leap day
}

}  // namespace
}  // namespace ipcam
