// The text of the live progress line: percentage, sizes, rate and time left.
#include <gtest/gtest.h>

#include "monitor/link/progress.h"

namespace {

constexpr long KIB = 1024;

TEST(ProgressText, AtTheStartNothingIsKnownButTheTotal)
{
    EXPECT_EQ(progress_text(0, 1048 * KIB, 0), "   0%  0/1048 KiB  -.- KiB/s  ETA -:--");
}

TEST(ProgressText, MidWay)
{
    // 388 of 1048 KiB at 4.1 KiB/s: 660 KiB left take 160.98 s, shown rounded up.
    EXPECT_EQ(progress_text(388 * KIB, 1048 * KIB, 4.1 * KIB),
              "  37%  388/1048 KiB  4.1 KiB/s  ETA 2:41");
    // A byte into a KiB counts as that KiB; the percentage never rounds up to the next.
    EXPECT_EQ(progress_text(KIB + 1, 2 * KIB, 45000), "  50%  2/2 KiB  43.9 KiB/s  ETA 0:01");
    EXPECT_EQ(progress_text(2 * KIB - 1, 2 * KIB, 1), "  99%  2/2 KiB  0.0 KiB/s  ETA 0:01");
    // No rate yet mid-way: the time left stays unknown.
    EXPECT_EQ(progress_text(512, 1300, 0), "  39%  1/2 KiB  -.- KiB/s  ETA -:--");
}

TEST(ProgressText, HoursOfTimeLeft)
{
    // 2 MiB at 100 bytes a second: 20971.52 s, shown as 5:49:32.
    EXPECT_EQ(progress_text(0, 2048 * KIB, 100), "   0%  0/2048 KiB  0.1 KiB/s  ETA 5:49:32");
    EXPECT_EQ(progress_text(0, 3600, 1), "   0%  0/4 KiB  0.0 KiB/s  ETA 1:00:00");
    EXPECT_EQ(progress_text(1, 3600, 1), "   0%  1/4 KiB  0.0 KiB/s  ETA 59:59");
    // A rate next to nothing is held to a finite time.
    EXPECT_EQ(progress_text(0, 2048 * KIB, 1e-300), "   0%  0/2048 KiB  0.0 KiB/s  ETA 2777:46:39");
}

TEST(ProgressText, Done)
{
    EXPECT_EQ(progress_text(1300, 1300, 45000), " 100%  2/2 KiB  43.9 KiB/s  ETA 0:00");
    EXPECT_EQ(progress_text(1300, 1300, 0), " 100%  2/2 KiB  -.- KiB/s  ETA 0:00");
    EXPECT_EQ(progress_text(1048 * KIB, 1048 * KIB, 46080),
              " 100%  1048/1048 KiB  45.0 KiB/s  ETA 0:00");
}

// Counts outside 0 .. total are held to it rather than printed as they come.
TEST(ProgressText, CountsOutsideTheTotal)
{
    EXPECT_EQ(progress_text(5000, 1300, 0), " 100%  2/2 KiB  -.- KiB/s  ETA 0:00");
    EXPECT_EQ(progress_text(-3, 1300, 0), "   0%  0/2 KiB  -.- KiB/s  ETA -:--");
}

}  // namespace
