// The serial primitives: the speed table, and the paced write and timed read on a real
// pseudo-terminal (ttyfd is the slave; the test plays the far end on the master).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "process_state.h"
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
        // A poll pushes what the slave wrote through the kernel's hand-over to the master: the
        // reads below find all of it, without waiting on time.
        struct pollfd p = {master, POLLIN, 0};
        poll(&p, 1, 0);
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
    // Bytes the far end sent that the line's reader has not taken (the poll pushes them through
    // the kernel's hand-over first, as in drain_master).
    int queued() const
    {
        struct pollfd p = {line.slave, POLLIN, 0};
        poll(&p, 1, 0);
        int n = 0;
        ioctl(line.slave, FIONREAD, &n);
        return n;
    }
    // The far end sends each piece once the reader (this thread) has taken the one before and
    // waits for the line again: every piece comes in a wait of its own, whatever the load.
    std::thread feed(std::vector<std::string> pieces)
    {
        return std::thread([this, pieces, reader = gettid()] {
            for (const std::string &piece : pieces) {
                EXPECT_TRUE(
                    zt::poll_until([&] { return queued() == 0 && zt::waiting_for_line(reader); },
                                   std::chrono::milliseconds(20000)));
                ASSERT_EQ(write(master, piece.data(), piece.size()),
                          static_cast<ssize_t>(piece.size()));
            }
        });
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
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 300);
    EXPECT_EQ(drain_master(), "abc");
}

// The far end takes its bytes late: the write waits for room instead of failing, and every byte
// arrives in order.
TEST_F(SerialIo, FullQueueIsWaitedOn)
{
    std::string big(256 * 1024, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 7 + i / 251);
    std::string got;
    const pid_t writer = static_cast<pid_t>(syscall(SYS_gettid));
    std::thread far([&] {
        // Starts reading once the writer waits on a full queue, so the wait is what is tested.
        EXPECT_TRUE(zt::poll_until(
            [&] {
                const long nr = zt::blocked_in(writer);
                return nr == SYS_poll || nr == SYS_ppoll;
            },
            std::chrono::milliseconds(10000)));
        char buf[4096];
        while (got.size() < big.size()) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
    });
    EXPECT_EQ(write_tty(reinterpret_cast<const unsigned char *>(big.data()),
                        static_cast<int>(big.size()), 0, 0),
              1);
    far.join();
    EXPECT_TRUE(got == big) << "received " << got.size() << " bytes";
}

// Nobody reads the far end: the queue fills, and once the line has taken nothing for its stall
// limit (1.1 s at 38400 baud) an unpaced write fails.
TEST_F(SerialIo, FullQueueFailsAfterStall)
{
    std::string big(1 << 20, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_tty(reinterpret_cast<const unsigned char *>(big.data()),
                        static_cast<int>(big.size()), 0, 0),
              0);
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

// The budget is time, not pieces: eight bytes sent one at a time, each in a wait of its own, fill
// a read of three seconds.
TEST_F(SerialIo, TimedReadCountsTimeNotPieces)
{
    std::thread far = feed({"0", "0", "0", "1", "C", "2", "0", "0"});
    unsigned char buf[8] = {};
    EXPECT_EQ(read_tty(buf, 8, 3), 1);
    far.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 8), "0001C200");
}

// Three pieces and then nothing: the read ends once its three seconds are past, not before, with
// what came; a piece sent after it stays queued for the next read.
TEST_F(SerialIo, TimedReadEndsWhenItsSecondsArePast)
{
    std::thread far = feed({"ab", "cd", "ef"});
    unsigned char buf[8] = {};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read_tty(buf, 8, 3), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2990));
    far.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 6), "abcdef");
    ASSERT_EQ(write(master, "gh", 2), 2);
    EXPECT_EQ(read_tty(buf, 2, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 2), "gh");
}

// A silent line: the read gives up after its seconds, not before.
TEST_F(SerialIo, TimedReadOnASilentLine)
{
    unsigned char buf[1] = {};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read_tty(buf, 1, 2), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1990));
}

// A hung-up line (the far end closed) fails the read at once, however long it may wait.
TEST(SerialHangUp, TimedReadFailsAtOnce)
{
    RawLine line;
    close(line.master);
    line.master = open("/dev/null", O_RDONLY);  // the fixture closes something
    unsigned char buf[8] = {};
    testing::internal::CaptureStderr();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read_tty(buf, 8, 30), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_EQ(tty_hung_up(), 1);
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
    struct pollfd p = {ttyfd, POLLIN, 0};
    poll(&p, 1, 0);  // the bytes are in the slave's queue once a poll has looked
    EXPECT_EQ(read_pending_tty(buf, 4), 4);
    EXPECT_EQ(read_pending_tty(buf + 4, 4), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 6), "abcdef");
}

// ---- Pauses a signal interrupts ---------------------------------------------------------------

namespace {

std::atomic<bool> handler_sets_kill{false};

// As the driver's handler of a termination request does, when it stands for one.
void on_usr1(int)
{
    if (handler_sets_kill) {
        kill_link = 1;
        term_requests = term_requests + 1;
    }
}

// SIGUSR1, installed as the driver installs its handlers (no SA_RESTART), sent to this thread
// once it is asleep in what it does next.
struct SignalSoon {
    struct sigaction old {};
    std::thread sender;
    explicit SignalSoon(bool sets_kill)
    {
        handler_sets_kill = sets_kill;
        kill_link = 0;
        struct sigaction sa {};
        sa.sa_handler = on_usr1;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR1, &sa, &old);
        sender = std::thread([self = pthread_self(), tid = gettid()] {
            zt::poll_until([&] { return zt::asleep(tid); }, std::chrono::milliseconds(10000));
            pthread_kill(self, SIGUSR1);
        });
    }
    ~SignalSoon()
    {
        sender.join();
        sigaction(SIGUSR1, &old, nullptr);
        kill_link = 0;
        term_requests = 0;
    }
};

// SIGINT blocked as the driver holds it, its handler the driver's, and one request pending
// before the call under test: the request is let in by the first wait, or by take_requests.
struct PendingRequest {
    struct sigaction old {};
    sigset_t old_mask;
    PendingRequest()
    {
        kill_link = 0;
        term_requests = 0;
        handler_sets_kill = true;
        struct sigaction sa {};
        sa.sa_handler = on_usr1;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old);
        pthread_sigmask(SIG_BLOCK, nullptr, &old_mask);
        sigset_t requests;
        sigemptyset(&requests);
        sigaddset(&requests, SIGINT);
        hold_requests(requests);
        pthread_kill(pthread_self(), SIGINT);  // stays pending: blocked
    }
    ~PendingRequest()
    {
        take_requests();
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        sigaction(SIGINT, &old, nullptr);
        kill_link = 0;
        term_requests = 0;
    }
};

long ms_since(std::chrono::steady_clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count());
}

}  // namespace

TEST(SerialPause, ASignalDoesNotShortenIt)
{
    auto t0 = std::chrono::steady_clock::now();
    {
        SignalSoon s(false);
        EXPECT_EQ(pause_tty(1, 0), 1);
    }
    EXPECT_GE(ms_since(t0), 1000);
    t0 = std::chrono::steady_clock::now();
    {
        SignalSoon s(false);
        EXPECT_EQ(pause_tty(0, 600), 1);
    }
    EXPECT_GE(ms_since(t0), 600);
}

TEST(SerialPause, ATerminationRequestEndsIt)
{
    auto t0 = std::chrono::steady_clock::now();
    SignalSoon s(true);
    EXPECT_EQ(pause_tty(30, 0), 0);
    EXPECT_LT(ms_since(t0), 30000);
    EXPECT_EQ(kill_link, 1);
}

// The paced write: a signal in the pause after the first letter does not bring the second one
// forward; a termination request keeps it from going out at all.
TEST_F(SerialIo, PacedLetterNeverGoesOutEarly)
{
    const unsigned char letters[] = "CE";
    auto t0 = std::chrono::steady_clock::now();
    {
        SignalSoon s(false);
        EXPECT_EQ(write_tty(letters, 2, 1, 0), 1);
    }
    EXPECT_GE(ms_since(t0), 2000);
    EXPECT_EQ(drain_master(), "CE");
    {
        SignalSoon s(true);
        EXPECT_EQ(write_tty(letters, 2, 1, 0), 0);
        EXPECT_EQ(drain_master(), "C");
    }
}

// ---- A request that comes just before a wait --------------------------------------------------

// The request came between the last look at kill_link and the wait: it ends the wait as the wait
// begins, not when the wait has run its course.
TEST(SerialRequests, APendingRequestEndsThePauseAtOnce)
{
    auto t0 = std::chrono::steady_clock::now();
    PendingRequest r;
    EXPECT_EQ(kill_link, 0);  // blocked: not taken yet
    EXPECT_EQ(pause_tty(30, 0), 0);
    EXPECT_LT(ms_since(t0), 30000);
    EXPECT_EQ(kill_link, 1);
}

TEST_F(SerialIo, APendingRequestEndsTheTimedReadWithoutAMessage)
{
    PendingRequest r;
    unsigned char buf[1] = {};
    testing::internal::CaptureStderr();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read_tty(buf, 1, 30), 0);
    EXPECT_LT(ms_since(t0), 30000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(kill_link, 1);
}

// No byte goes out once a request has come, even unpaced.
TEST_F(SerialIo, APendingRequestSendsNothing)
{
    PendingRequest r;
    const unsigned char data[] = "WB";
    EXPECT_EQ(write_tty(data, 2, 0, 0), 0);
    EXPECT_EQ(drain_master(), "");
}

// A step that must finish after the first request (the speed put back) waits on: only a second
// request ends its wait.
TEST(SerialRequests, AWaitForASecondRequestOutlastsTheFirst)
{
    PendingRequest r;
    EXPECT_EQ(take_requests(), 1);
    EXPECT_EQ(term_requests, 1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for(nullptr, 0, monotonic_ns() + NS_PER_SEC / 2, term_requests + 1),
              wait_end::TIMEOUT);
    EXPECT_GE(ms_since(t0), 500);
    pthread_kill(pthread_self(), SIGINT);
    EXPECT_EQ(wait_for(nullptr, 0, monotonic_ns() + 30 * NS_PER_SEC, 2), wait_end::REQUEST);
}

// A request that came after the last operation's last look at kill_link waits, blocked, until
// the program ends: the run that was asked to end does not report success.
TEST(SerialRequestsDeathTest, APendingRequestMakesTheEndAFailure)
{
    EXPECT_EXIT(
        {
            PendingRequest r;
            end_program(0);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(end_program(0), ::testing::ExitedWithCode(0), "");
}

// Inside the way back after a request (the speed put back), the line still writes and pauses,
// whatever further requests come; once it is over, they stop the line again.
TEST_F(SerialIo, AStepFinishesDespiteFurtherRequests)
{
    PendingRequest r;
    const unsigned char letters[] = "SP";
    EXPECT_EQ(write_tty(letters, 2, 0, 0), 0);  // the first request stops the line
    EXPECT_EQ(kill_link, 1);
    finish_despite_request(true);
    pthread_kill(pthread_self(), SIGINT);  // the second, taken in the next wait
    EXPECT_EQ(pause_tty(0, 100), 1);
    EXPECT_EQ(term_requests, 2);
    EXPECT_EQ(write_tty(letters, 2, 0, 0), 1);
    EXPECT_EQ(drain_master(), "SP");
    finish_despite_request(false);
    EXPECT_EQ(write_tty(letters, 2, 0, 0), 0);
    EXPECT_EQ(drain_master(), "");
}
