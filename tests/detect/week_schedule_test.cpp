#include <gtest/gtest.h>

#include "detect/week_schedule.h"

namespace ipcam {
namespace {

// 2024-01-01 is a Monday.
constexpr int kMonday = 1;
constexpr int kTuesday = 2;
constexpr int kWednesday = 3;

LocalDateTime monday(int h, int m = 0, int s = 0) { return makeDateTime(2024, 1, 1, h, m, s); }

TEST(WeekSchedule, SingleBlockIsDueAndEndsAtTheNextHour) {
    WeekSchedule schedule;
    schedule.at(kMonday, 8) = 1;
    BlockLatch session;
    EXPECT_FALSE(isDailyBlockDue(session, schedule, monday(7, 59, 59)));
    ASSERT_TRUE(isDailyBlockDue(session, schedule, monday(8, 15)));
    EXPECT_EQ(session.BlockEnd, (TimeOfDay{9, 0, 0}));
    EXPECT_FALSE(dailyBlockEnded(session, {8, 59, 59}));
    EXPECT_TRUE(dailyBlockEnded(session, {9, 0, 0}));
    EXPECT_FALSE(isDailyBlockDue(session, schedule, monday(9, 0)));
    // The same hour on another day is not ticked.
    EXPECT_FALSE(isDailyBlockDue(session, schedule, makeDateTime(2024, 1, 2, 8, 15)));
}

TEST(WeekSchedule, LastHourEndsAtMidnightAndNextDayIsRead) {
    WeekSchedule schedule;
    schedule.at(kTuesday, 23) = 1;
    BlockLatch session;
    const LocalDateTime tuesday = makeDateTime(2024, 1, 2, 23, 30);
    ASSERT_EQ(tuesday.dayOfWeek, kTuesday);
    ASSERT_TRUE(isDailyBlockDue(session, schedule, tuesday));
    EXPECT_EQ(session.BlockEnd, (TimeOfDay{0, 0, 0}));
    EXPECT_FALSE(dailyBlockEnded(session, {23, 59, 59}));
    EXPECT_TRUE(dailyBlockEnded(session, {0, 0, 1}));
    const LocalDateTime wednesday = makeDateTime(2024, 1, 3, 0, 0);
    ASSERT_EQ(wednesday.dayOfWeek, kWednesday);
    EXPECT_FALSE(isDailyBlockDue(session, schedule, wednesday));
    schedule.at(kWednesday, 0) = 1;
    EXPECT_TRUE(isDailyBlockDue(session, schedule, wednesday));
    EXPECT_EQ(session.BlockEnd, (TimeOfDay{1, 0, 0}));
}

TEST(WeekSchedule, LatchHoldsForItsHourAndClearsAtTheNextBlock) {
    WeekSchedule schedule;
    schedule.at(kMonday, 10) = 1;
    schedule.at(kMonday, 11) = 1;
    BlockLatch session;
    ASSERT_TRUE(isDailyBlockDue(session, schedule, monday(10, 0)));
    setBlockLatch(session, {10, 20, 0});  // stopped by the user
    EXPECT_EQ(session.BlockHandledTime, (TimeOfDay{10, 20, 0}));
    EXPECT_TRUE(session.BlockHandled);
    EXPECT_FALSE(isDailyBlockDue(session, schedule, monday(10, 20, 1)));
    EXPECT_FALSE(isDailyBlockDue(session, schedule, monday(10, 59, 59)));
    EXPECT_TRUE(session.BlockHandled);
    EXPECT_TRUE(isDailyBlockDue(session, schedule, monday(11, 0)));
    EXPECT_FALSE(session.BlockHandled);
    EXPECT_EQ(session.BlockEnd, (TimeOfDay{12, 0, 0}));
}

TEST(WeekSchedule, LatchWithoutAnotherBlockPersistsToNextWeek) {
    WeekSchedule schedule;
    schedule.at(kMonday, 10) = 1;
    BlockLatch session;
    setBlockLatch(session, {10, 20, 0});
    // Unscheduled hours in between leave the latch alone.
    EXPECT_FALSE(isDailyBlockDue(session, schedule, makeDateTime(2024, 1, 4, 15, 0)));
    EXPECT_TRUE(session.BlockHandled);
    EXPECT_FALSE(isDailyBlockDue(session, schedule, makeDateTime(2024, 1, 8, 10, 0)));
    EXPECT_TRUE(session.BlockHandled);
}

TEST(WeekSchedule, DaysCountFromSunday) {
    const LocalDateTime sunday = makeDateTime(2024, 1, 7, 5, 0);
    const LocalDateTime saturday = makeDateTime(2024, 1, 6, 5, 0);
    WeekSchedule sundayOnly;
    sundayOnly.at(0, 5) = 1;
    WeekSchedule saturdayOnly;
    saturdayOnly.at(6, 5) = 1;
    BlockLatch session;
    EXPECT_TRUE(isDailyBlockDue(session, sundayOnly, sunday));
    EXPECT_FALSE(isDailyBlockDue(session, sundayOnly, saturday));
    EXPECT_TRUE(isDailyBlockDue(session, saturdayOnly, saturday));
    EXPECT_FALSE(isDailyBlockDue(session, saturdayOnly, sunday));
}

TEST(WeekSchedule, AnyNonZeroByteCountsAsTicked) {
    WeekSchedule schedule;
    schedule.at(kWednesday, 10) = 2;
    BlockLatch session;
    EXPECT_TRUE(isDailyBlockDue(session, schedule, makeDateTime(2024, 1, 3, 10, 30)));
    schedule.at(kWednesday, 10) = 255;
    EXPECT_TRUE(isDailyBlockDue(session, schedule, makeDateTime(2024, 1, 3, 10, 30)));
}

}  // namespace
}  // namespace ipcam
