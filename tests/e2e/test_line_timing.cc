// Time on the line end to end: replies that reach zelk a byte at a time, and the pause after each
// paced command letter, which no signal may shorten.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "trace_file.h"
#include "transfer_text.h"

using zt::Bench;
using zt::masked;
using zt::pattern;
using zt::Proc;
using zt::RunResult;

namespace {

using ms = std::chrono::milliseconds;

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

// The monitor needs its pause after each letter, 3 s unless "pause" says otherwise: the second
// letter never goes out sooner after the first, nor the number's first byte after the second, as
// zelk's own trace stamps what it sent.
TEST(PacedLetters, ThePauseAfterEachLetter)
{
    for (const auto &[words, pause_us] :
         {std::pair{std::vector<std::string>{}, 3000000LL}, {{"pause", "200"}, 200000LL}}) {
        SCOPED_TRACE(pause_us);
        Bench b;
        std::vector<std::string> w = words;
        w.insert(w.end(), {"erase", "sector", "2", "trace", "t.txt"});
        RunResult r = b.run(w);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(b.board.received(), "SE00000002");
        // Stamped by zelk as each write went out, not when a loaded machine let the board take it.
        const auto writes = zt::read_trace(b.dir.file("t.txt")).writes;
        ASSERT_EQ(writes.size(), 3u);
        EXPECT_EQ(writes[0].second + writes[1].second + writes[2].second, "SE00000002");
        EXPECT_GE(writes[1].first - writes[0].first, pause_us);
        EXPECT_GE(writes[2].first - writes[1].first, pause_us);
    }
}

// SIGINT in the pause after the first letter: the run ends at once with the operation's own
// message, and the second letter never goes out.
TEST(PacedLetters, SigintInThePauseEndsTheRunAtOnce)
{
    Bench b;
    Proc p(b.words({"erase", "registers", "trace", "t.txt"}), {.cwd = b.dir.path, .timeout_s = 60});
    // Seen in the pause after the first letter, zelk is held there while the signal goes, so a
    // loaded machine cannot carry it on to the second letter meanwhile.
    ASSERT_TRUE(zt::poll_until([&] { return b.board.received() == "C" && zt::asleep(p.pid()); },
                               ms(20000)));
    ASSERT_TRUE(zt::stop(p.pid()));
    ASSERT_EQ(b.board.sent_by_host(), 1u);
    p.signal(SIGINT);
    p.signal(SIGCONT);
    // Once it has taken the signal, zelk goes on to its end, never back to the pause.
    ASSERT_TRUE(zt::poll_until(
        [&] {
            const char s = zt::state_of(p.pid());
            return !zt::pending(p.pid(), SIGINT) && (s == 'Z' || s == 0 || zt::asleep(p.pid()));
        },
        ms(20000)));
    EXPECT_FALSE(zt::asleep(p.pid())) << "the run waited for the rest of the pause";
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Ok\nErase flash ...Received signal 2. "
                     "Terminating.\n");
    EXPECT_EQ(r.err, "\nFlash erase terminated.");
    // zelk has ended: what it sent is all on the line, taken by the board or still queued.
    EXPECT_EQ(b.board.sent_by_host(), 2u);
    EXPECT_EQ(b.board.received_all(), "C\xFF");
    EXPECT_EQ(zt::read_trace(b.dir.file("t.txt")).writes.size(), 2u);
}
