// Time on the line end to end: replies that reach zelk a byte at a time, and the pause after each
// paced command letter, which no signal may shorten.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "transfer_text.h"

using zt::Bench;
using zt::masked;
using zt::pattern;
using zt::Proc;
using zt::RunResult;

namespace {

using ms = std::chrono::milliseconds;

long gap_ms(const std::vector<std::chrono::steady_clock::time_point> &at, std::size_t i)
{
    return static_cast<long>(std::chrono::duration_cast<ms>(at[i] - at[i - 1]).count());
}

}  // namespace

// ---- Replies a byte at a time ---------------------------------------------------------------

// The board sends every byte of every reply alone, the next only once zelk has read the one
// before, at the line's own pace: the ready marker, the echo of each command, the identification
// digits, the 8-digit echo of each number, each block's check value and the data read back. Each
// timed read gets its bytes in as many pieces as they have bytes, and must not count them as
// waits.
class ByteByByte : public testing::TestWithParam<int> {};

TEST_P(ByteByByte, IdentificationBlockWriteAndReadBack)
{
    const int baud = GetParam();
    zb::Config cfg;
    cfg.baud = baud;
    cfg.wire_speed = true;
    cfg.byte_by_byte = true;
    Bench b(cfg);
    const std::string img = b.image(pattern(1100));  // three blocks, the last one short
    RunResult r = b.run({"speed", std::to_string(baud), "manufactory", "device", "id", "write",
                         "input", "image.bin", "read"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string link = "Test link ...Ok\n";
    EXPECT_EQ(masked(r.out), "Set speed=" + std::to_string(baud) + "\n" + link +
                                 "Read Manufactory Code...\n\n Manufactory code = [0x00000001]\n" +
                                 link + "Read Flash Device Id...\n\nDevice Id = [0x000000c8]\n" +
                                 link + "Fast Write flash ..." + link +
                                 "\nTransfer time = T sec\nSpeed = S bytes/sec\n" + link +
                                 "Read flash ...Ok\n");
    EXPECT_EQ(b.flash(0, img.size()), img);
    EXPECT_EQ(b.output(), img);
    EXPECT_EQ(b.board.garbled_from_host(), 0);
}

// The per-byte write's echo and the chunked write's echoes, each byte alone.
TEST_P(ByteByByte, ByteWriteInBothModes)
{
    const int baud = GetParam();
    zb::Config cfg;
    cfg.baud = baud;
    cfg.byte_by_byte = true;
    Bench b(cfg);
    const std::string img = b.image(pattern(700));
    for (const char *block_size : {"1", "300"}) {
        b.board.load_flash(0, std::vector<U8>(img.size(), 0xFF));
        RunResult r = b.run({"speed", std::to_string(baud), "bwrite", "block", "size", block_size,
                             "input", "image.bin"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out,
                  "Set speed=" + std::to_string(baud) + "\nTest link ...Ok\nWrite flash ...Ok\n");
        EXPECT_EQ(b.flash(0, img.size()), img) << "block size " << block_size;
    }
}

INSTANTIATE_TEST_SUITE_P(Speeds, ByteByByte, testing::Values(9600, 115200),
                         [](const testing::TestParamInfo<int> &i) {
                             return "At" + std::to_string(i.param);
                         });

// ---- The pause after each paced command letter ----------------------------------------------

// The monitor needs 3 s after each letter: the second never comes sooner after the first, nor
// the first byte of the number after the second.
TEST(PacedLetters, ThreeSecondsAfterEachLetter)
{
    Bench b;
    RunResult r = b.run({"erase", "sector", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(b.board.received(), "SE00000002");
    const auto at = b.board.received_times();
    ASSERT_EQ(at.size(), 10u);
    // The board stamps a byte when its thread takes it, which a loaded machine can delay by tens
    // of milliseconds (2979 ms were seen under the sanitizers at 48 tests at once); a pause cut
    // short by a signal or dropped would be a second or more short.
    constexpr long STAMP_SLACK_MS = 500;
    EXPECT_GE(gap_ms(at, 1), 3000 - STAMP_SLACK_MS);
    EXPECT_GE(gap_ms(at, 2), 3000 - STAMP_SLACK_MS);
}

// SIGINT in the pause after the first letter: the run ends at once with the operation's own
// message, and the second letter never goes out.
TEST(PacedLetters, SigintInThePauseEndsTheRunAtOnce)
{
    Bench b;
    Proc p(b.words({"erase", "registers"}), {.cwd = b.dir.path, .timeout_s = 60});
    ASSERT_TRUE(zt::poll_until([&] { return b.board.received() == "C"; }, ms(20000)));
    ASSERT_TRUE(zt::poll_until([&] { return zt::asleep(p.pid()); }, ms(3000)));
    const auto sent = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    RunResult r = p.finish();
    const auto took = std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - sent);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Ok\nErase flash ...Received signal 2. "
                     "Terminating.\n");
    EXPECT_EQ(r.err, "\nFlash erase terminated.");
    EXPECT_LT(took.count(), 2500) << "the run waited for the rest of the pause";
    // zelk has ended: what it sent is all on the line, taken by the board or still queued.
    EXPECT_EQ(b.board.sent_by_host(), 2u);
    EXPECT_EQ(b.board.received(), "C\xFF");
}
