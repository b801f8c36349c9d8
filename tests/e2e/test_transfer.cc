// The flash transfers end to end: block write (with and without a speed switch), flash read and
// byte write, the real zelk against the simulated board.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "moment.h"
#include "transfer_text.h"

using zt::Bench;
using zt::block_frames;
using zt::masked;
using zt::pattern;
using zt::Proc;
using zt::RunResult;
using zt::TempDir;
using zt::with_fault;

namespace {

using zt::FAST;
using zt::HEAD;
using zt::LINK_OK;
using zt::TIMES;
constexpr int BLOCK = zt::BLOCK_BYTES;

zb::Fault fault(const std::string &command, int occurrence = -1)
{
    zb::Fault f;
    f.command = command;
    f.occurrence = occurrence;
    return f;
}

// stdout of a block write that succeeds; `marks` are printed before the data phase ends.
std::string block_write_out(int write_speed, const std::string &marks = "",
                            const std::string &offset_line = "")
{
    std::string s = FAST;
    if (write_speed)
        s += "\nSet Write Speed " + std::to_string(write_speed) + "\n";
    s += offset_line + LINK_OK + marks + TIMES;
    if (write_speed)
        s += "\nRestote Speed 38400\n";
    return s + "\n";
}

std::vector<std::pair<std::string, int>> commands_of(const zb::Board &board)
{
    std::vector<std::pair<std::string, int>> v;
    for (const zb::CommandRecord &c : board.commands())
        v.emplace_back(c.letters + (c.number ? zb::hex8(*c.number) : ""), c.baud);
    return v;
}

double figure(const std::string &out, const std::string &label)
{
    std::size_t at = out.find(label);
    return at == std::string::npos ? -1 : std::stod(out.substr(at + label.size()));
}

}  // namespace

// ---- Block write and read back ---------------------------------------------------------------

// The file goes out in 512-byte blocks and a read in the same run, without a size, reads back
// as many bytes as the file had.
TEST(TransferBlockWrite, WriteThenReadBackAtStartupSpeed)
{
    Bench b;
    const std::string data = b.image(pattern(1300));
    RunResult r = b.run({"write", "read", "hash", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out), HEAD + block_write_out(0, "#") + LINK_OK + "Read flash ...#Ok\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.output(), data);
    EXPECT_EQ(b.flash(0, data.size()), data);
    EXPECT_EQ(b.board.received(), block_frames(data, 0) + "RD" + zb::hex8(1300));
}

// The switch happens after the speed frame's echo and the restore after the monitor has had its
// second: the board, which counts every byte crossing at mismatched speeds, sees none.
TEST(TransferBlockWrite, WriteSpeedSwitchesAtTheRightMoments)
{
    for (int speed : {115200, 460800}) {
        SCOPED_TRACE(speed);
        Bench b;
        const std::string data = b.image(pattern(1300));
        RunResult r =
            b.run({"write", "write", "speed", std::to_string(speed), "read", "input", "image.bin"});
        EXPECT_EQ(r.status, 0) << r.err;
        // "write speed" is the read's speed too: a speed frame of its own around the read.
        EXPECT_EQ(masked(r.out), HEAD + block_write_out(speed) + LINK_OK + "Set Read Speed " +
                                     std::to_string(speed) + "\n" + LINK_OK +
                                     "Read flash ...Ok\nRestore Speed 38400\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(b.output(), data);
        EXPECT_EQ(b.board.garbled_from_host(), 0);
        const std::string frame = "SP" + zb::hex8(static_cast<U32>(speed));
        EXPECT_EQ(b.board.received(), frame + block_frames(data, 0) + "SP00009600" + frame + "RD" +
                                          zb::hex8(1300) + "SP00009600");
        using C = std::pair<std::string, int>;
        EXPECT_EQ(commands_of(b.board), (std::vector<C>{{frame, 38400},
                                                        {"WB00000000", speed},
                                                        {"WB00000200", speed},
                                                        {"WB00000400", speed},
                                                        {"SP00009600", speed},
                                                        {frame, 38400},
                                                        {"RD00000514", speed},
                                                        {"SP00009600", speed}}));
        EXPECT_EQ(b.board.baud(), 38400);
    }
}

// Equal to the start-up speed, the switch and the restore still run.
TEST(TransferBlockWrite, WriteSpeedEqualToTheLineSpeed)
{
    Bench b;
    const std::string data = b.image(pattern(600));
    RunResult r = b.run({"write", "write", "speed", "38400", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out), HEAD + block_write_out(38400));
    EXPECT_EQ(b.board.received(), "SP00009600" + block_frames(data, 0) + "SP00009600");
}

// Offsets on the line are the block's position plus the offset; the offset line is printed once,
// before the second handshake, and a single mark before the third block's data.
TEST(TransferBlockWrite, Offset)
{
    Bench b;
    const std::string data = b.image(pattern(1300));
    RunResult r = b.run({"write", "offset", "0x10000", "hash", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out), HEAD + block_write_out(0, "#", "Offset 0x10000 (65536)\n"));
    const std::string frames = block_frames(data, 0x10000);
    EXPECT_EQ(b.board.received(), frames);
    EXPECT_EQ(frames.substr(2 * 522, 10), "WB00010400");
    EXPECT_EQ(frames.substr(2 * 522 + 10 + 276), std::string(236, '\xFF'));
    EXPECT_EQ(b.flash(0x10000, data.size()), data);
    EXPECT_EQ(b.flash(0x10000 + 1300, 236), std::string(236, '\xFF')) << "left as it was";
    EXPECT_EQ(b.flash(0, 0x10000), std::string(0x10000, '\xFF'));
}

// A short file is one block padded with 0xFF; a multiple of 512 gets no padding.
TEST(TransferBlockWrite, FileLengths)
{
    for (std::size_t len : {1u, 300u, 508u, 511u, 512u, 1024u}) {
        SCOPED_TRACE(len);
        Bench b;
        const std::string data = b.image(pattern(len));
        RunResult r = b.run({"write", "input", "image.bin"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(masked(r.out), HEAD + block_write_out(0));
        EXPECT_EQ(b.board.received(), block_frames(data, 0));
        EXPECT_EQ(b.board.received().size(), (len + BLOCK - 1) / BLOCK * (2 + 8 + BLOCK));
        EXPECT_EQ(b.flash(0, data.size()), data);
    }
}

// A size below the file's length sends only that much, and a read in the same run reads as much.
TEST(TransferBlockWrite, SizeSmallerThanTheFile)
{
    Bench b;
    const std::string data = b.image(pattern(1300));
    RunResult r = b.run({"write", "read", "size", "700", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out), HEAD + block_write_out(0) + LINK_OK + "Read flash ...Ok\n");
    EXPECT_EQ(b.board.received(), block_frames(data.substr(0, 700), 0) + "RD" + zb::hex8(700));
    EXPECT_EQ(b.output(), data.substr(0, 700));
    EXPECT_EQ(b.flash(700, 600), std::string(600, '\xFF'));
}

// A size beyond the file sends the file and nothing else; the throughput counts the bytes sent;
// a later read still reads the size asked for.
TEST(TransferBlockWrite, SizeLargerThanTheFile)
{
    zb::Config cfg;
    cfg.wire_speed = true;  // a transfer long enough to measure
    Bench b(cfg);
    const std::string data = b.image(pattern(1300));
    RunResult r = b.run({"write", "read", "size", "5000", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out), HEAD + block_write_out(0) + LINK_OK + "Read flash ...Ok\n");
    EXPECT_EQ(b.board.received(), block_frames(data, 0) + "RD" + zb::hex8(5000));
    const double sec = figure(r.out, "Transfer time = ");
    const double rate = figure(r.out, "Speed = ");
    ASSERT_GT(sec, 0.1);
    EXPECT_NEAR(rate * sec, 1300, 1300 * 0.05) << r.out;
    std::string expected = data;
    expected.resize(5000, '\xFF');
    EXPECT_EQ(b.output(), expected);
}

// A write-protected image is read like any other.
TEST(TransferBlockWrite, WriteProtectedInputFile)
{
    Bench b;
    const std::string data = b.image(pattern(100));
    ASSERT_EQ(chmod(b.dir.file("image.bin").c_str(), 0444), 0);
    RunResult r = b.run({"write", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(b.flash(0, 100), data);
}

// Loading failures end the write before the device is opened.
TEST(TransferBlockWrite, InputFileRefused)
{
    struct Case {
        std::string command, name;
        bool create;
        std::string err;
    } cases[] = {
        {"write", "empty.bin", true, "\nSize read of input file [empty.bin] error\n"},
        {"write", "missing.bin", false,
         "\nInput file [missing.bin] open error: No such file or directory\n"},
        {"bwrite", "empty.bin", true, "\nSize read of input file [empty.bin] error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command + " " + c.name);
        Bench b;
        if (c.create)
            zt::write_file(b.dir.file(c.name), "");
        RunResult r = b.run({c.command, "read", "input", c.name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(b.board.received(), "");
        EXPECT_FALSE(zt::file_exists(b.dir.file("zelk.out"))) << "nothing runs after a failure";
    }
}

// ---- Block write failures --------------------------------------------------------------------

// A rejected check value ends the data phase: no transfer time, the speed is still restored,
// the operations after it do not run.
TEST(TransferBlockWrite, CheckValueRejected)
{
    const std::string data = pattern(1300);
    struct Case {
        std::string name;
        zb::Script reply;
        std::string err;
    } cases[] = {
        {"different",
         {zb::send("12345678")},
         "\nReceived CRC [0x12345678] is not equal calculated [0x"},
        {"blank", {zb::send("0000 000")}, "\nError in received CRC [0000 000]\n"},
        {"letter", {zb::send("0000g000")}, "\nError in received CRC [0000g000]\n"},
        {"short", {zb::send("1234"), zb::go_silent()}, "\nRead CRC Error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zb::Fault f = fault("WB", 1);
        f.reply = c.reply;
        Bench b(with_fault(f));
        b.image(data);
        RunResult r = b.run({"write", "write", "speed", "115200", "read", "input", "image.bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, HEAD + FAST + "\nSet Write Speed 115200\n" + LINK_OK +
                             "\nRestote Speed 38400\n\n");
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(b.board.garbled_from_host(), 0);
        EXPECT_EQ(b.board.received(),
                  "SP0001C200" + block_frames(data.substr(0, 1024), 0) + "SP00009600")
            << "no block after the failed one, no read";
        EXPECT_EQ(b.board.baud(), 38400);
    }
}

// The full message of a different check value: received first, calculated second.
TEST(TransferBlockWrite, CheckValueDifferentMessage)
{
    zb::Fault f = fault("WB");
    f.reply = zb::Script{zb::send("00000001")};
    Bench b(with_fault(f));
    b.image(std::string(4, 'x'));  // the block ends in four 0xFF bytes: check value 0xFFFFF01F
    RunResult r = b.run({"write", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    // No erase in the run and an image of 4 bytes: the sector may not be rebuilt.
    EXPECT_EQ(r.err, "\nReceived CRC [0x00000001] is not equal calculated [0xfffff01f]\n"
                     "sector 0 holds bytes outside the image that this run did not erase\n");
    EXPECT_EQ(r.out, HEAD + FAST + LINK_OK + "\n");
}

TEST(TransferBlockWrite, LowerCaseCheckValueAccepted)
{
    zb::Fault f = fault("WB");
    f.lower_hex = true;
    Bench b(with_fault(f));
    const std::string data = b.image(pattern(1100));
    RunResult r = b.run({"write", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(b.flash(0, data.size()), data);
}

// Silence at each step of the block frame.
TEST(TransferBlockWrite, SilenceInTheBlockFrame)
{
    struct Case {
        std::string name;
        zb::Fault fault;
        std::string out_tail, err;
    } cases[] = {
        {"prompt", fault("WB", 1), "Fail\n\n", "Data length prompt timeout\n"},
        {"echo", fault("WB", 1), "\n", "Data length read timeout\n"},
        {"wrong echo", fault("WB", 1), "\n",
         "Read data length [0000020O] not equal writed [00000200]\n"},
        {"check value", fault("WB", 1), "\n", "\nRead CRC Error\n"},
    };
    cases[0].fault.prompt = zb::Script{zb::go_silent()};
    cases[1].fault.echo = zb::Echo::Missing;
    cases[2].fault.echo = zb::Echo::Wrong;
    cases[3].fault.reply = zb::Script{zb::go_silent()};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(with_fault(c.fault));
        b.image(pattern(1300));
        RunResult r = b.run({"write", "input", "image.bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, HEAD + FAST + LINK_OK + c.out_tail);
        // No erase in the run: the sector may not be rebuilt, and the failure says why.
        EXPECT_EQ(r.err,
                  c.err + "sector 0 holds bytes outside the image that this run did not erase\n");
    }
}

// The speed frame's echo is waited for but not required.
TEST(TransferBlockWrite, SpeedFrameWithoutEcho)
{
    zb::Fault f = fault("SP");
    f.echo = zb::Echo::Missing;
    Bench b(with_fault(f));
    const std::string data = b.image(pattern(700));
    RunResult r = b.run({"write", "write", "speed", "115200", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out), HEAD + block_write_out(115200));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.board.garbled_from_host(), 0);
    EXPECT_EQ(b.flash(0, data.size()), data);
}

TEST(TransferBlockWrite, SpeedFrameWithoutPrompt)
{
    zb::Fault f = fault("SP");
    f.prompt = zb::Script{zb::go_silent()};
    Bench b(with_fault(f));
    b.image(pattern(700));
    RunResult r = b.run({"write", "write", "speed", "115200", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + FAST + "\nSet Write Speed 115200\nFail\n");
    EXPECT_EQ(r.err, "Data length prompt timeout\n");
    EXPECT_EQ(b.board.received(), "SP");
}

// A speed the table lacks ends the run before the device is opened, an erase before it included.
TEST(TransferBlockWrite, WriteSpeedNotSupported)
{
    Bench b;
    b.image(pattern(700));
    RunResult r = b.run({"erase", "write", "write", "speed", "12345", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Speed 12345 not supported\n");
    EXPECT_EQ(b.board.received(), "");
}

// The monitor does not announce itself at the new speed: the host line goes back, the monitor
// is not sent a speed frame, and nothing crossed at mismatched speeds.
TEST(TransferBlockWrite, SecondHandshakeFails)
{
    zb::Config cfg;
    cfg.ready.after_speed_switch = false;
    Bench b(cfg);
    b.image(pattern(700));
    RunResult r = b.run({"write", "write", "speed", "115200", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + FAST + "\nSet Write Speed 115200\nTest link ...Fail\n");
    EXPECT_EQ(r.err,
              zt::link_failure(b.board.path(), zt::NOTHING_CAME, 115200) + zt::may_stay(115200));
    EXPECT_EQ(b.board.received(), "SP0001C200");
    EXPECT_EQ(b.board.garbled_from_host(), 0);
}

// SIGINT while the write waits for a check value: the process ends at once.
TEST(TransferBlockWrite, SigintWhileWaitingForTheCheckValue)
{
    zb::Fault f = fault("WB", 1);
    f.reply = zb::Script{zb::go_silent()};
    Bench b(with_fault(f));
    b.image(pattern(1300));
    Proc p(b.words({"write", "read", "input", "image.bin"}), {.cwd = b.dir.path});
    // Once the second frame (letters, offset, 512 bytes of data) is in, zelk waits for its check
    // value.
    ASSERT_TRUE(
        zt::reach(b.board, {.command = 2, .number = true, .received = 2 * (2 + 8 + 512)}, p.pid()));
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + FAST + LINK_OK + "Received signal 2. Terminating.\n");
    EXPECT_EQ(r.err, "\nFlash write terminated.");
}

// ---- Flash read ------------------------------------------------------------------------------

TEST(TransferRead, MarksPerKibibyte)
{
    struct Case {
        int size;
        std::string marks;
    } cases[] = {{1, ""}, {2048, "#"}, {3073, "###"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        Bench b;
        const std::string data = pattern(static_cast<std::size_t>(c.size));
        b.board.load_flash(0, std::vector<U8>(data.begin(), data.end()));
        RunResult r = b.run({"read", "hash", "size", std::to_string(c.size)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, HEAD + "Read flash ..." + c.marks + "Ok\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(b.output(), data);
        EXPECT_EQ(b.board.received(), "RD" + zb::hex8(static_cast<U32>(c.size)));
    }
}

// Without a size and without a write before it, nothing is asked and no file is touched.
TEST(TransferRead, SizeNotDefined)
{
    Bench b;
    zt::write_file(b.dir.file("zelk.out"), "kept");
    RunResult r = b.run({"read"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=38400\n");
    EXPECT_EQ(r.err, "\nRead data size is not defined\n");
    EXPECT_EQ(b.output(), "kept");
    EXPECT_EQ(b.board.received(), "");
}

// An output file that cannot be created (no such folder, a folder of that name) ends the run
// before the device is opened, an erase before it included.
TEST(TransferRead, OutputFileCannotBeOpened)
{
    Bench b;
    ASSERT_EQ(mkdir(b.dir.file("a-folder").c_str(), 0700), 0);
    const struct {
        const char *name, *why;
    } cases[] = {{"no-such-dir/flash.out", "No such file or directory"},
                 {"a-folder", "Is a directory"},
                 {"zelk.out/x", "Not a directory"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        zt::write_file(b.dir.file("zelk.out"), "kept");
        RunResult r = b.run({"erase", "read", "size", "10", "output", c.name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string("\nOutput file [") + c.name + "] open error: " + c.why + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(b.board.received(), "");
        EXPECT_EQ(b.output(), "kept");
    }
}

// A full disk is reported once, whether the buffered writes or the final close find it; there
// is no "Ok" over a truncated file.
TEST(TransferRead, OutputFileWriteError)
{
    for (int size : {100, 10000}) {
        SCOPED_TRACE(size);
        Bench b;
        RunResult r = b.run({"read", "size", std::to_string(size), "output", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, HEAD + "Read flash ...");
        EXPECT_EQ(r.err, "\nOutput file [/dev/full] write error\n");
    }
}

// A monitor that stops after 100 bytes leaves them in the file.
TEST(TransferRead, MonitorFallsSilent)
{
    zb::Fault f = fault("RD");
    f.data_fault = zb::DataFault::Silence;
    f.data_fault_at = 100;
    Bench b(with_fault(f));
    const std::string data = pattern(300);
    b.board.load_flash(0, std::vector<U8>(data.begin(), data.end()));
    RunResult r = b.run({"read", "size", "300", "registers"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Read flash ...");
    EXPECT_EQ(r.err, "\nRead byte timeout, offset [100][0x64]\n");
    EXPECT_EQ(b.output(), data.substr(0, 100));
    EXPECT_EQ(b.board.received(), "RD0000012C") << "the dump after it does not run";
}

// A line that closes mid-read keeps what arrived and names the lost byte.
TEST(TransferRead, LineHangsUp)
{
    zb::Fault f = fault("RD");
    f.data_fault = zb::DataFault::HangUp;
    f.data_fault_at = 100;
    Bench b(with_fault(f));
    const std::string data = pattern(300);
    b.board.load_flash(0, std::vector<U8>(data.begin(), data.end()));
    RunResult r = b.run({"read", "size", "300"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Read flash ...");
    EXPECT_EQ(r.err, "\nSerial line hung up\n");
    EXPECT_EQ(b.output(), data.substr(0, 100)) << "what arrived is kept";
}

TEST(TransferRead, SigintKeepsWhatArrived)
{
    zb::Fault f = fault("RD");
    f.data_fault = zb::DataFault::Silence;
    f.data_fault_at = 100;
    Bench b(with_fault(f));
    const std::string data = pattern(300);
    b.board.load_flash(0, std::vector<U8>(data.begin(), data.end()));
    Proc p(b.words({"read", "size", "300"}), {.cwd = b.dir.path});
    // The prompt, the number's echo and the 100 bytes that arrive read: zelk waits for the next.
    ASSERT_TRUE(
        zt::reach(b.board, {.command = 1, .number = true, .consumed = 2 + 8 + 100}, p.pid()));
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Read flash ...Received signal 2. Terminating.\n");
    EXPECT_EQ(r.err, "\nFlash read terminated.");
    EXPECT_EQ(b.output(), data.substr(0, 100));
}

// ---- Flash read at a faster speed -----------------------------------------------------------

namespace {

// stdout of a read of the flash at `speed` that succeeds.
std::string fast_read_out(int speed)
{
    return HEAD + "Set Read Speed " + std::to_string(speed) + "\n" + LINK_OK +
           "Read flash ...Ok\nRestore Speed 38400\n";
}

std::string speed_frame(int baud) { return "SP" + zb::hex8(static_cast<U32>(baud)); }

}  // namespace

// "read speed", else "write speed", runs the data at that speed inside the speed frame and its
// way back: the switch after the frame's echo, the restore once the monitor has had its own,
// nothing crossing at mismatched speeds, the line and the board back at 38400 after.
TEST(TransferFastRead, DataAtTheReadSpeed)
{
    struct Case {
        std::vector<std::string> words;
        int speed;
    } cases[] = {
        {{"write", "speed", "460800"}, 460800},
        {{"read", "speed", "115200"}, 115200},
        {{"read", "speed", "115200", "write", "speed", "460800"}, 115200},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.speed);
        Bench b;
        const std::string data = pattern(5000);
        b.board.load_flash(0, std::vector<U8>(data.begin(), data.end()));
        const termios before = zt::attrs_of(b.board.path());
        std::vector<std::string> words = {"read", "size", "5000"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        RunResult r = b.run(words);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, fast_read_out(c.speed));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(b.output(), data);
        EXPECT_EQ(b.board.received(), speed_frame(c.speed) + "RD" + zb::hex8(5000) + "SP00009600");
        using C = std::pair<std::string, int>;
        EXPECT_EQ(commands_of(b.board), (std::vector<C>{{speed_frame(c.speed), 38400},
                                                        {"RD00001388", c.speed},
                                                        {"SP00009600", c.speed}}));
        EXPECT_EQ(b.board.garbled_from_host(), 0);
        EXPECT_EQ(b.board.garbled_to_host(), 0);
        EXPECT_EQ(b.board.baud(), 38400);
        EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), before));
    }
}

// A speed the table lacks, for the read or taken from "write speed", ends the run before the
// device is opened; so does "read speed" without the read.
TEST(TransferFastRead, RefusedBeforeTheDeviceIsOpened)
{
    struct Case {
        std::vector<std::string> words;
        std::string err;
    } cases[] = {
        {{"erase", "read", "size", "10", "read", "speed", "12345"}, "Speed 12345 not supported\n"},
        {{"erase", "read", "size", "10", "write", "speed", "12345"}, "Speed 12345 not supported\n"},
        {{"erase", "read", "speed", "115200"},
         "\nOption [read speed] error:sets the speed of the flash read \"read\", which is not "
         "selected (\"speed\" sets the line speed)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        Bench b;
        RunResult r = b.run(c.words);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(b.board.received(), "");
    }
}

// A monitor that does not announce itself at the new speed: the host line goes back, the monitor
// is not sent a speed frame, no file is made.
TEST(TransferFastRead, SilentAtTheReadSpeed)
{
    zb::Config cfg;
    cfg.ready.after_speed_switch = false;
    Bench b(cfg);
    const termios before = zt::attrs_of(b.board.path());
    RunResult r = b.run({"read", "size", "300", "read", "speed", "460800"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Set Read Speed 460800\nTest link ...Fail\n");
    EXPECT_EQ(r.err,
              zt::link_failure(b.board.path(), zt::NOTHING_CAME, 460800) + zt::may_stay(460800));
    EXPECT_EQ(b.board.received(), speed_frame(460800));
    EXPECT_FALSE(zt::file_exists(b.dir.file("zelk.out")));
    EXPECT_EQ(b.board.garbled_from_host(), 0);
    EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), before));
}

// A monitor that falls silent in the data at the read speed: what arrived is kept, the way back
// is tried and fails with the frame's own messages, the line is put back as the run ends.
TEST(TransferFastRead, MonitorFallsSilentAtTheReadSpeed)
{
    zb::Fault f = fault("RD");
    f.data_fault = zb::DataFault::Silence;
    f.data_fault_at = 100;
    Bench b(with_fault(f));
    const std::string data = pattern(300);
    b.board.load_flash(0, std::vector<U8>(data.begin(), data.end()));
    const termios before = zt::attrs_of(b.board.path());
    RunResult r = b.run({"read", "size", "300", "read", "speed", "460800"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Set Read Speed 460800\n" + LINK_OK +
                         "Read flash ...\nRestore Speed 38400\nFail\n");
    EXPECT_EQ(r.err, "\nRead byte timeout, offset [100][0x64]\nData length prompt timeout\n" +
                         zt::may_stay(460800));
    EXPECT_EQ(b.output(), data.substr(0, 100));
    EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), before));
}

// A termination request in the data at the read speed: the file keeps what arrived, and the
// board is brought back to 38400 when the rest of its data takes a few seconds at most; when it
// takes longer, the run ends at once and says at which speed the board stays.
TEST(TransferFastRead, SigtermInTheData)
{
    struct Case {
        int size;
        bool board_back;
    } cases[] = {{65536, true}, {400000, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        zb::Config cfg;
        cfg.wire_speed = true;
        Bench b(cfg);
        const std::string flash = pattern(static_cast<std::size_t>(c.size));
        b.board.load_flash(0, std::vector<U8>(flash.begin(), flash.end()));
        const termios before = zt::attrs_of(b.board.path());
        zt::Proc p(b.words({"read", "size", std::to_string(c.size), "read", "speed", "460800"}),
                   {.cwd = b.dir.path});
        // The speed frame, then "RD" with its number, and the first 4 KiB of data read.
        ASSERT_TRUE(zt::reach(
            b.board,
            {.command = 2, .number = true, .consumed = 2 + 8 + 4096, .in = zt::In::Anything},
            p.pid()));
        p.signal(SIGTERM);
        RunResult r = p.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, HEAD + "Set Read Speed 460800\n" + LINK_OK +
                             "Read flash ...Received signal 15. Terminating.\n");
        // The request may cut a wait for bytes on their way.
        const std::string stays = "\nThe board still sends \\d+ bytes of the read \\(\\d+ s at "
                                  "460800 baud\\) and stays at 460800 "
                                  "baud: give \"speed 460800\" next time, or reset the board\n";
        const std::string err = std::string(c.board_back ? "" : stays) + "\nFlash read terminated.";
        EXPECT_TRUE(std::regex_match(r.err, std::regex(err))) << r.err;
        const std::string kept = b.output();
        EXPECT_GE(kept.size(), 4096u);
        EXPECT_LT(kept.size(), flash.size());
        EXPECT_EQ(kept, flash.substr(0, kept.size()));
        EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), before));
        if (c.board_back) {
            using C = std::pair<std::string, int>;
            ASSERT_TRUE(b.board.wait_for_commands(3, 10000));
            EXPECT_EQ(commands_of(b.board).back(), (C{"SP00009600", 460800}));
            EXPECT_EQ(b.board.baud(), 38400);
            EXPECT_EQ(b.board.garbled_from_host(), 0);
        } else {
            EXPECT_EQ(b.board.commands().size(), 2u) << "no speed frame behind the data";
        }
    }
}

// ---- Byte write ------------------------------------------------------------------------------

// Block size 0 (not given) and 1 both send byte by byte, each echoed; a mark per KiB.
TEST(TransferByteWrite, PerByteMode)
{
    for (std::string block_size : {"", "1"}) {
        SCOPED_TRACE(block_size);
        Bench b;
        const std::string data = b.image(pattern(4096));
        std::vector<std::string> w = {"bwrite", "hash", "input", "image.bin"};
        if (!block_size.empty())
            w.insert(w.end(), {"block", "size", block_size});
        RunResult r = b.run(w);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, HEAD + "Write flash ...###Ok\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(b.board.received(), "WR00001000" + data);
        EXPECT_EQ(b.flash(0, data.size()), data);
    }
}

// Chunks of 300: 300, 300, ... 200 for 2000 bytes; the mark comes before the chunk at 1200 only.
TEST(TransferByteWrite, ChunkModeWithMarks)
{
    Bench b;
    const std::string data = b.image(pattern(2000));
    RunResult r = b.run({"bwrite", "hash", "block", "size", "300", "input", "image.bin", "read"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, HEAD + "Write flash ...#Ok\n" + LINK_OK + "Read flash ...#Ok\n");
    EXPECT_EQ(b.output(), data);
}

// The size decides what the monitor is told and sent; a size beyond the file sends the file and
// tells the monitor the file's length, so that nothing it waits for is missing.
TEST(TransferByteWrite, SizeAgainstTheFile)
{
    struct Case {
        std::string size, block_size;
        std::size_t sent;
    } cases[] = {{"100", "64", 100}, {"1500", "0", 1000}, {"1500", "500", 1000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size + "/" + c.block_size);
        Bench b;
        const std::string data = b.image(pattern(1000));
        std::vector<std::string> w = {"bwrite", "size", c.size, "input", "image.bin"};
        if (c.block_size != "0")
            w.insert(w.end(), {"block", "size", c.block_size});
        RunResult r = b.run(w);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, HEAD + "Write flash ...Ok\n");
        EXPECT_EQ(b.board.received(),
                  "WR" + zb::hex8(static_cast<U32>(c.sent)) + data.substr(0, c.sent));
    }
}

// A corrupted echo names the differing byte's own position, in both modes.
TEST(TransferByteWrite, EchoMismatch)
{
    struct Case {
        std::string block_size;
        long at;
        std::string position;
    } cases[] = {{"0", 5, "[5][0x5]"}, {"64", 260, "[260][0x104]"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.block_size);
        zb::Fault f = fault("WR");
        f.data_fault = zb::DataFault::WrongByte;
        f.data_fault_at = c.at;
        Bench b(with_fault(f));
        const std::string data = b.image(pattern(400));
        std::vector<std::string> w = {"bwrite", "input", "image.bin", "read"};
        if (c.block_size != "0")
            w.insert(w.end(), {"block", "size", c.block_size});
        RunResult r = b.run(w);
        const U8 sent = static_cast<U8>(data[static_cast<std::size_t>(c.at)]);
        char expected[160];
        std::snprintf(expected, sizeof expected,
                      "\nRead byte [0x%02x] is not equal writed byte [0x%02x],position %s\n",
                      static_cast<U8>(~sent), sent, c.position.c_str());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, HEAD + "Write flash ...");
        EXPECT_EQ(r.err, expected);
    }
}

namespace {

// The monitor stops echoing at byte 10: nothing at all comes back after byte 9.
zb::Config echo_stops_at_10()
{
    zb::Fault f = fault("WR");
    f.data_fault = zb::DataFault::Silence;
    f.data_fault_at = 10;
    return with_fault(f);
}

}  // namespace

TEST(TransferByteWrite, EchoStops)
{
    Bench b(echo_stops_at_10());
    b.image(pattern(50));
    RunResult r = b.run({"bwrite", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Write flash ...");
    EXPECT_EQ(r.err, "\nTimeout for read writed byte\n");
}

TEST(TransferByteWrite, SigintWhileWaitingForAnEcho)
{
    Bench b(echo_stops_at_10());
    b.image(pattern(50));
    Proc p(b.words({"bwrite", "input", "image.bin"}), {.cwd = b.dir.path});
    // The prompt, the number's echo and the echoes of the first 10 bytes read: zelk waits for
    // the 11th, which never comes.
    ASSERT_TRUE(
        zt::reach(b.board, {.command = 1, .number = true, .consumed = 2 + 8 + 10}, p.pid()));
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Write flash ...Received signal 2. Terminating.\n");
    EXPECT_EQ(r.err, "\nThe monitor did not say it is ready after \"WR\" was cut short: reset the "
                     "board if the next link test fails\n\nFlash write terminated.");
    EXPECT_EQ(b.board.received().substr(2 + 8 + 11), std::string(39, '\xFF'));
}

// With both writes asked for, only the block write runs.
TEST(TransferByteWrite, BlockWriteTakesPrecedence)
{
    Bench b;
    const std::string data = b.image(pattern(600));
    RunResult r = b.run({"bwrite", "write", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out), HEAD + block_write_out(0));
    EXPECT_EQ(b.board.received(), block_frames(data, 0));
}
