// The job is checked as a whole before the device is opened, and nothing is reported as done
// that was not: a mistake on the command line costs the board nothing, a byte write tells the
// monitor what it sends, the write pads with what erased flash holds, the read keeps an
// existing file until data comes, an interrupted fast write leaves the board at the normal speed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "moment.h"
#include "transfer_text.h"

using zt::Bench;
using zt::pattern;
using zt::RunResult;
using zt::with_fault;

namespace {

void set_line_speed(const std::string &path, speed_t code)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfsetospeed(&t, code);
    cfsetispeed(&t, code);
    EXPECT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    close(fd);
}

std::string image_too_large(long bytes)
{
    return "\nImage of " + std::to_string(bytes) +
           " bytes at offset 0x0 does not fit the 2 MiB flash\n";
}

// ---- Refused before the device is opened -----------------------------------------------------

// Each mistake ends the run at once with its message and status 1. The board received nothing,
// its flash is as it was (an erase before the mistake included) and its line was not touched.
TEST(JobCheck, MistakesAreRefusedBeforeTheDeviceIsOpened)
{
    struct Case {
        const char *name;
        std::vector<std::string> words;
        std::string out, err;
    } cases[] = {
        {"no such input file",
         {"erase", "write", "input", "nosuch.bin"},
         "",
         "\nInput file [nosuch.bin] open error: No such file or directory\n"},
        {"block write image beyond the flash",
         {"erase", "write", "input", "big.bin"},
         "",
         image_too_large(3000320)},
        {"byte write image beyond the flash",
         {"erase", "bwrite", "input", "flash-and-one.bin"},
         "",
         image_too_large(2097153)},
        {"write speed not in the table",
         {"erase", "write", "write", "speed", "1000000", "input", "image.bin"},
         "",
         "Speed 1000000 not supported\n"},
        {"line speed not in the table",
         {"erase", "speed", "12345"},
         "",
         "Speed 12345 not supported\n"},
        {"output folder missing",
         {"erase", "read", "size", "16", "output", "nodir/x.bin"},
         "\nOutput file [nodir/x.bin] open error: No such file or directory\n",
         ""},
        {"sector beyond the chip",
         {"erase", "sector", "1,40"},
         "",
         "\nSector numbers above 31 do not exist: 40\n"},
        {"number with a unit",
         {"erase", "read", "size", "10k"},
         "",
         "\nOption [size] error:Invalid argument (must be number) '10k'\n"},
        {"number beyond its setting",
         {"erase", "write", "offset", "0x1FFFFFFFF", "input", "image.bin"},
         "",
         "\nOption [offset] error:Invalid argument (must be number) '1FFFFFFFF'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.image(pattern(600));
        zt::write_file(b.dir.file("big.bin"), std::string(3000000, 'x'));
        zt::write_file(b.dir.file("flash-and-one.bin"), std::string(2097153, 'y'));
        b.board.load_flash(0, {1, 2, 3});
        const termios attrs = zt::attrs_of(b.board.path());
        const int markers = b.board.markers_offered();
        RunResult r = b.run(c.words);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(b.board.received(), "");
        EXPECT_EQ(b.board.flash()[0], 1) << "the erase before the mistake did not run";
        EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), attrs));
        EXPECT_LE(b.board.markers_offered(), markers + 1) << "the line was never opened";
    }
}

// Two different device words: one of them is a slip that would flash the wrong board.
TEST(JobCheck, TwoDevicesAreRefused)
{
    Bench b;
    RunResult r = zt::run_zelk({"manufactory", b.board.path(), "/dev/null"}, {.cwd = b.dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nTwo devices named: [" + b.board.path() + "] and [/dev/null]\n");
    EXPECT_EQ(b.board.received(), "");
}

// An options file line with words left over is not applied: "erase sectors 3" erases nothing.
TEST(JobCheck, OptionsFileLineWithStrayWordsIsNotApplied)
{
    Bench b;
    b.board.load_flash(0, {1});
    zt::write_file(b.dir.file("zelk.cfg"), "erase sectors 3\r\nspeed 38400\r\n");
    RunResult r = b.run({"manufactory"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "\nLogview:File [./zelk.cfg] parse error. Line [1] at word 'sectors'\n"
                     "Did you mean \"erase sector\" (two words)?\n"
                     "Options from ./zelk.cfg: speed 38400\n");
    EXPECT_EQ(b.board.received(), "MC");
    EXPECT_EQ(b.board.flash()[0], 1);
}

// ---- The byte write tells the monitor what it sends ----------------------------------------

// A size beyond the file: the monitor is told the file's length, which is what comes, so the
// read after it in the same run finds the monitor ready and reads the size asked for.
TEST(ByteWriteCount, SizeBeyondTheFileThenARead)
{
    Bench b;
    const std::string data = b.image(pattern(1000));
    RunResult r = b.run({"bwrite", "size", "1500", "input", "image.bin", "read"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, zt::HEAD + "Write flash ...Ok\n" + zt::LINK_OK + "Read flash ...Ok\n");
    EXPECT_EQ(b.board.received(), "WR000003E8" + data + "RD000005DC");
    EXPECT_EQ(b.output(), data + std::string(500, '\xFF'));
}

// ---- Padding and the read's output file ------------------------------------------------------

// A short last block is padded with 0xFF: the flash after the image keeps what it held, and
// verify (which compares the image's bytes) agrees.
TEST(BlockWritePadding, FlashAfterTheImageKeepsItsBytes)
{
    Bench b;
    b.board.load_flash(1000, std::vector<U8>(100, 0x5A));
    const std::string data = b.image(pattern(1000));
    RunResult r = b.run({"write", "verify", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nVerify flash ...Ok\n"), std::string::npos) << r.out;
    EXPECT_EQ(b.flash(0, 1000), data);
    EXPECT_EQ(b.flash(1000, 100), std::string(100, '\x5A'));
    EXPECT_EQ(b.flash(1100, 436), std::string(436, '\xFF'));
}

// A monitor that sends no data byte leaves an existing output file as it was; once data comes,
// what arrived is kept.
TEST(FlashReadOutput, ExistingFileKeptUntilDataComes)
{
    for (long at : {0L, 100L}) {
        SCOPED_TRACE(at);
        zb::Fault f;
        f.command = "RD";
        f.data_fault = zb::DataFault::Silence;
        f.data_fault_at = at;
        Bench b(with_fault(f));
        const std::string data = pattern(300);
        b.board.load_flash(0, std::vector<U8>(data.begin(), data.end()));
        zt::write_file(b.dir.file("zelk.out"), "kept");
        RunResult r = b.run({"read", "size", "300"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nRead byte timeout, offset [" + std::to_string(at) + "][0x" +
                             (at ? "64" : "0") + "]\n");
        EXPECT_EQ(b.output(), at ? data.substr(0, 100) : "kept");
    }
}

// ---- What the block write proves, said to a person -------------------------------------------

// With standard error a terminal and no verify, the write says what its check values leave
// unproven, and whether this run erased the flash under the image; stdout is unchanged.
TEST(BlockWriteNotVerified, SaidOnATerminalOnly)
{
    const std::string not_verified =
        "Not verified: the check values cover only the last 4 bytes of each block; add "
        "\"verify\" to compare the flash with the image\n";
    const std::string not_erased =
        "Flash not erased in this run: bits already cleared stay cleared\n";
    struct Case {
        std::vector<std::string> words;
        std::string tail;  // the end of stderr
    } cases[] = {
        {{"write", "input", "image.bin"}, not_verified + not_erased},
        {{"erase", "write", "input", "image.bin"}, not_verified},
        {{"erase", "sector", "0", "write", "input", "image.bin"}, not_verified},
        {{"erase", "sector", "1", "write", "offset", "0xFF00", "input", "image.bin"},
         not_verified + not_erased},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.front() + " " + c.words[1]);
        Bench b;
        b.image(pattern(700));
        RunResult r = zt::run_zelk(b.words(c.words), {.cwd = b.dir.path, .stderr_tty = true});
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_GE(r.err.size(), c.tail.size()) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - c.tail.size()), c.tail) << r.err;
        if (c.tail == not_verified) {
            EXPECT_EQ(r.err.find("not erased"), std::string::npos) << r.err;
        }
    }
    // Verified, or standard error a pipe: nothing is added.
    Bench b;
    b.image(pattern(700));
    RunResult r = zt::run_zelk(b.words({"write", "verify", "input", "image.bin"}),
                               {.cwd = b.dir.path, .stderr_tty = true});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Not verified"), std::string::npos) << r.err;
    r = b.run({"write", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

// ---- The board's speed -----------------------------------------------------------------------

// Ctrl-C in the data phase of a fast write: the monitor is told the normal speed again before
// the run ends, so the next run talks to it.
TEST(FastWriteInterrupted, BoardIsBroughtBackToTheNormalSpeed)
{
    Bench b;
    b.image(pattern(64 * 1024));
    zt::Proc p(b.words({"write", "write", "speed", "115200", "input", "image.bin"}),
               {.cwd = b.dir.path});
    // The speed frame, then a few blocks at the fast speed.
    ASSERT_TRUE(b.board.wait_for_commands(4, 30000));
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    // The message of the step the request cut: the block, or its offset's exchange.
    EXPECT_TRUE(r.err.ends_with("\nFlash write terminated.") ||
                r.err.ends_with("\nWrite Length terminated.\n") ||
                r.err.ends_with("\nRead Length terminated\n"))
        << r.err;
    EXPECT_EQ(b.board.baud(), 38400);
    const std::vector<zb::CommandRecord> cmds = b.board.commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back().letters, "SP");
    EXPECT_EQ(cmds.back().number, std::optional<U32>(38400));

    RunResult next = b.run({"manufactory"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(next.out,
              zt::HEAD + "Read Manufactory Code...\n\n Manufactory code = [0x00000001]\n");
}

// A failed link test says why: nothing came, bytes without a marker, a board at another speed, or
// a board still sending an interrupted read (no speed named, though the data is all 'r').
TEST(LinkSpeedProbe, FailureSaysWhy)
{
    zb::Config silent, garbling, fast, sending;
    silent.ready.offers = 0;
    garbling.ready.marker = "xy";
    fast.baud = 115200;
    sending.wire_speed = true;
    for (const auto &c : {
             std::pair<const zb::Config &, std::string>{silent, zt::NOTHING_CAME},
             {garbling, "21 bytes came but no ready marker: reset the board"},
             {fast, "the board answers at 115200 baud: give \"speed 115200\", or reset the board"},
             {sending, "the board is still sending (an interrupted read?): wait "},
         }) {
        SCOPED_TRACE(c.second);
        Bench b(c.first);
        set_line_speed(b.board.path(), B38400);  // no marker crosses zelk's own set-up
        if (&c.first == &sending) {  // a read at 460800 cut short: the rest takes a minute
            b.board.load_flash(0, std::vector<U8>(zb::FLASH_BYTES, 'r'));
            zt::Proc read(b.words({"read", "size", "2000000", "read", "speed", "460800"}),
                          {.cwd = b.dir.path});
            ASSERT_TRUE(zt::reach(b.board, {.command = 2, .number = true, .in = zt::In::Anything},
                                  read.pid()));
            read.signal(SIGINT);
            EXPECT_NE(read.finish().err.find("stays at 460800 baud"), std::string::npos);
            // Bytes that came at 460800 may outlive zelk's flush in the pty's hand-over buffer (a
            // stalled kernel worker leaves them there) and read 'r' at any speed: away with them,
            // up to the first byte the new speed garbled, as a new run would meet the board.
            const int fd = open(b.board.path().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
            char byte = 'r';
            while (byte == 'r' && ::read(fd, &byte, 1) == 1) {
            }
            close(fd);
        }
        const std::size_t sent = b.board.received().size();
        RunResult r = b.run({"manufactory"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Fail\n");
        const std::string said = zt::link_failure(b.board.path(), c.second);
        EXPECT_EQ(r.err.substr(0, said.size() - 1), said.substr(0, said.size() - 1));
        EXPECT_EQ(b.board.received().size(), sent) << "nothing sent";
        if (&c.first == &fast) {  // and the advice works
            EXPECT_EQ(b.run({"manufactory", "speed", "115200"}).status, 0);
        }
    }
}

}  // namespace
