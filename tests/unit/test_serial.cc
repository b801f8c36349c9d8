// The serial primitives: the speed table, and the paced write and timed read on a real
// pseudo-terminal (ttyfd is the slave; the test plays the far end on the master).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "raw_line.h"
#include "serial/serial.h"

TEST(SerialSpeeds, LookupsTakeTheFirstRow)
{
    for (const speed &s : speeds) {
        if (s.speed_int == 0)
            break;
        EXPECT_EQ(speed_tob(speed_toh(s.speed_int)), s.speed_int);
    }
    EXPECT_EQ(speed_toh(460800), B460800);
    EXPECT_EQ(speed_tob(B19200), 19200);
    EXPECT_EQ(speeds.back().speed_int, 0);
    EXPECT_EQ(speed_tob(0), 0);
    EXPECT_EQ(speed_tob(B921600), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(speed_toh(0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(speed_toh(12345), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Speed 12345 not supported\n");
}

namespace {

struct SerialIo : testing::Test {
    RawLine line;
    const int master = line.master;
    std::string drain_master()
    {
        std::string got;
        char buf[256];
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        usleep(20000);
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
};

}  // namespace

TEST_F(SerialIo, WriteArguments)
{
    const unsigned char data[] = "WB";
    EXPECT_EQ(write_tty(data, 0, 0, 0), 1);
    EXPECT_EQ(write_tty(nullptr, 2, 0, 0), 0);
    EXPECT_EQ(write_tty(data, -1, 0, 0), 0);
    EXPECT_EQ(drain_master(), "");
    EXPECT_EQ(write_tty(data, 2, 0, 0), 1);
    EXPECT_EQ(write_tty(data, 2, 0, 10), 1);
    EXPECT_EQ(drain_master(), "WBWB");
}

TEST_F(SerialIo, PacedWriteSleepsAfterEveryByte)
{
    const unsigned char data[] = "abc";
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(write_tty(data, 3, 0, 100), 1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 300);
    EXPECT_EQ(drain_master(), "abc");
}

// Nobody reads the far end: the queue fills, and an unpaced write fails without retrying.
TEST_F(SerialIo, FullQueueFailsAtOnce)
{
    std::string big(1 << 20, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_tty(reinterpret_cast<const unsigned char *>(big.data()),
                        static_cast<int>(big.size()), 0, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nTTY device write error : EWOULDBLOCK");
}

TEST_F(SerialIo, TimedReadArguments)
{
    unsigned char buf[8];
    ASSERT_EQ(write(master, "abcdefgh", 8), 8);
    EXPECT_EQ(read_tty(buf, 8, 0), 0);
    EXPECT_EQ(read_tty(buf, 0, 3), 0);
    EXPECT_EQ(read_tty(nullptr, 8, 3), 0);
    EXPECT_EQ(read_tty(buf, 8, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 8), "abcdefgh");
}

// Each one-second wait counts, however little it brought: four bursts of two bytes 0.7 s apart
// (one per wait), do not fill eight bytes in three waits, and the fourth burst stays queued.
TEST_F(SerialIo, TimedReadCountsWaitsNotBytes)
{
    std::thread far([this] {
        for (const char *burst : {"ab", "cd", "ef", "gh"}) {
            ASSERT_EQ(write(master, burst, 2), 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
        }
    });
    unsigned char buf[8] = {};
    EXPECT_EQ(read_tty(buf, 8, 3), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 6), "abcdef");
    far.join();
    EXPECT_EQ(read_tty(buf, 2, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 2), "gh");
}

TEST_F(SerialIo, TimedReadTakesOnlyWhatWasAskedFor)
{
    ASSERT_EQ(write(master, "rrWB", 4), 4);
    unsigned char buf[4] = {};
    EXPECT_EQ(read_tty(buf, 2, 1), 1);
    EXPECT_EQ(read_tty(buf, 2, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 2), "WB");
}

TEST_F(SerialIo, PendingReadNeverWaits)
{
    unsigned char buf[8] = {};
    EXPECT_EQ(read_pending_tty(buf, 8), 0);
    ASSERT_EQ(write(master, "abcdef", 6), 6);
    usleep(20000);
    EXPECT_EQ(read_pending_tty(buf, 4), 4);
    EXPECT_EQ(read_pending_tty(buf + 4, 4), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 6), "abcdef");
}
