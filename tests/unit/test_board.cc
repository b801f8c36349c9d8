// The simulated board, driven by a raw client on the slave side of its pseudo-terminal (the place
// zelk takes). The letters of each command go out unpaced here to keep the tests fast.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "board.h"
#include "process_state.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Bytes that are due arrive within this, however loaded the machine: only a failing test waits it
// out. Checks that nothing arrives use short windows of their own.
constexpr int DUE_MS = 10000;

long ms_since(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The host end of the line, set up as zelk sets up its device: raw, 8N1, input flushed.
struct Client {
    int fd = -1;
    bool closed = false;  // the line was hung up
    std::string path;

    explicit Client(const std::string &path_, speed_t speed = B38400) : path(path_)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << path;
        set_speed(speed);
    }
    explicit Client(zb::Board &board) : Client(started(board)) {}  // starts it, opens its line
    static std::string started(zb::Board &board)
    {
        EXPECT_TRUE(board.start());
        return board.path();
    }
    ~Client()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void set_speed(speed_t speed)
    {
        termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfmakeraw(&t);
        cfsetospeed(&t, speed);
        cfsetispeed(&t, speed);
        ASSERT_EQ(tcsetattr(fd, TCSAFLUSH, &t), 0);
    }
    void put(const std::string &bytes) const
    {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    int queued() const
    {
        // The poll pushes what the board wrote through the pseudo-terminal's hand-over first, so
        // the count holds every byte sent however late the kernel's worker runs.
        pollfd p = {fd, POLLIN, 0};
        ::poll(&p, 1, 0);
        int n = 0;
        ioctl(fd, FIONREAD, &n);
        return n;
    }
    // Up to n bytes, or fewer when nothing more arrives within timeout_ms of the last one.
    std::string get(std::size_t n, int timeout_ms = DUE_MS)
    {
        std::string got;
        while (got.size() < n && !closed) {
            pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) <= 0) {
                // A reply that was due and did not come: say who else holds the line.
                if (timeout_ms == DUE_MS)
                    std::fprintf(stderr, "no reply on %s within %d ms; other holders: %s\n",
                                 path.c_str(), DUE_MS, zt::other_holders(path).c_str());
                break;
            }
            char buf[4096];
            ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0)
                closed = true;
            else
                got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }
    std::string get_for(int ms)
    {
        std::string got;
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end && !closed)
            got += get(4096, 10);
        return got;
    }
    // Waits for a ready marker that arrives while the host waits, so a command sent now is not
    // crossed by the next one: markers come a period apart, counted from the offer. A marker that
    // was already waiting may have been offered nearly a period ago.
    bool await_marker(int timeout_ms = DUE_MS)
    {
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < end && !closed) {
            get(4096, 0);  // what was already there
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (get(2, static_cast<int>(std::max<long>(left.count(), 0))) == "rr" && queued() == 0)
                return true;
        }
        return false;
    }
    // A command with a number, as zelk sends it: letters, prompt, the 8 digits, their echo.
    // Returns prompt and echo as received.
    std::string numbered(const std::string &letters, U32 n)
    {
        EXPECT_TRUE(await_marker());
        put(letters);
        std::string prompt = get(2);
        put(zb::hex8(n));
        return prompt + get(8);
    }
};

std::vector<U8> pattern_block(int seed)
{
    std::vector<U8> block(zb::MON_BLOCK_BYTES);
    for (int i = 0; i < zb::MON_BLOCK_BYTES; i++)
        block[i] = static_cast<U8>(i * 7 + seed);
    return block;
}

std::string text(const std::vector<U8> &v) { return std::string(v.begin(), v.end()); }

zb::Config quiet()
{
    zb::Config cfg;
    cfg.dram_phase_ms = 100;
    // Markers far apart: a host that a loaded machine keeps waiting for a while after a fresh
    // marker still sends its command before the next one.
    cfg.ready.period_ms = 600;
    return cfg;
}

// ---- Ready marker -------------------------------------------------------------------------------

TEST(BoardReady, MarkersRepeatWhileIdleButNeverPileUp)
{
    zb::Board board(quiet());
    Client host(board);

    // Three markers one after another, each offered once the one before was read.
    std::string got = host.get(6);
    EXPECT_EQ(got, "rrrrrr");

    // A host that does not read finds one marker waiting, not one per period: five more moments
    // a marker was due pass with no other offered.
    ASSERT_TRUE(zt::poll_until([&] { return host.queued() == 2; }, 10s));
    const int offered = board.markers_offered();
    const int chances = board.marker_chances();
    ASSERT_TRUE(zt::poll_until([&] { return board.marker_chances() >= chances + 5; }, 10s));
    EXPECT_EQ(board.markers_offered(), offered);
    EXPECT_EQ(host.queued(), 2);
    EXPECT_EQ(host.get(2), "rr");
    // Markers stop as soon as a command starts: the first letter alone holds them back.
    host.put("M");
    ASSERT_TRUE(zt::poll_until([&] { return board.received() == "M"; }, 10s));
    // A marker offered before the board took the letter may still be on the line.
    const int before_the_letter = board.markers_offered();
    got = host.get_for(1000);
    EXPECT_EQ(got.find_first_not_of('r'), std::string::npos) << got;
    EXPECT_LE(got.size(), 2u) << got;
    EXPECT_EQ(board.markers_offered(), before_the_letter);
    host.put("C");
    EXPECT_EQ(host.get(10), "MC00000001");
}

TEST(BoardReady, HandshakeFaults)
{
    struct Case {
        const char *name;
        zb::Ready ready;
        std::string expect;  // the first bytes the host sees
        bool then_quiet;     // and nothing after them
    };
    zb::Ready junk19, junk20, silent, single_r;
    junk19.junk = std::string(19, '?');
    junk20.junk = std::string(20, '?');
    silent.offers = 0;
    single_r.marker = "r";
    single_r.offers = 1;
    const Case cases[] = {
        {"19 junk bytes", junk19, std::string(19, '?') + "rr", false},
        {"20 junk bytes", junk20, std::string(20, '?') + "rr", false},
        {"silent", silent, "", true},
        {"single r", single_r, "r", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zb::Config cfg = quiet();
        cfg.ready = c.ready;
        zb::Board board(cfg);
        ASSERT_TRUE(board.start());
        // Offers due before the host opens the line do not count.
        ASSERT_TRUE(zt::poll_until([&] { return board.marker_chances() >= 2; }, 10s));
        Client host(board.path());
        // A marker the host's flush wiped before it was read was never offered: it comes again.
        if (!c.expect.empty()) {
            ASSERT_TRUE(zt::poll_until(
                [&] { return host.queued() >= static_cast<int>(c.expect.size()); }, 10s));
            host.set_speed(B38400);
        }
        EXPECT_EQ(host.get(c.expect.size()), c.expect);
        if (c.then_quiet) {
            EXPECT_EQ(host.get_for(1000), "");
        }
    }
}

// ---- Commands -----------------------------------------------------------------------------------

TEST(BoardCommands, IdentificationAndRegisterListing)
{
    zb::Config cfg = quiet();
    cfg.manufacturer_code = 0xC2;
    zb::Board board(cfg);
    Client host(board);

    ASSERT_TRUE(host.await_marker());
    host.put("MC");
    EXPECT_EQ(host.get(10), "MC000000C2");
    ASSERT_TRUE(host.await_marker());
    host.put("ID");
    EXPECT_EQ(host.get(10), "ID000000C8");

    // Letters paced as zelk paces them still make one command.
    ASSERT_TRUE(host.await_marker());
    host.put("I");
    std::this_thread::sleep_for(1s);
    host.put("D");
    EXPECT_EQ(host.get(10), "ID000000C8");

    // Each register: its name, spaces, exactly 8 hex digits.
    ASSERT_TRUE(host.await_marker());
    host.put("RR");
    std::string listing = host.get(2 + zb::register_listing().size());
    EXPECT_EQ(listing.substr(0, 2), "RR");
    for (const char *name :
         {"SYSCFG", "EXTDBWTH", "ROMCON0", "ROMCON1", "ROMCON2", "ROMCON3", "ROMCON4", "ROMCON5",
          "DRAMCON0", "DRAMCON1", "DRAMCON2", "DRAMCON3", "REFEXTCON"}) {
        std::string key = std::string("\n") + name + " ";
        std::size_t at = listing.find(key);
        ASSERT_NE(at, std::string::npos) << name;
        std::size_t digits = listing.find_first_not_of(' ', at + key.size());
        EXPECT_EQ(listing.find_first_not_of("0123456789ABCDEF", digits), digits + 8) << name;
        EXPECT_EQ(listing.compare(digits + 8, 2, "\r\n"), 0) << name;
    }

    auto cmds = board.commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[3].letters, "RR");
    EXPECT_EQ(cmds[3].baud, 38400);
    EXPECT_FALSE(cmds[3].number);
}

TEST(BoardCommands, DramTestsReportTimedPhasesAndEndInOK)
{
    zb::Board board(quiet());
    Client host(board);
    for (const char *letters : {"DT", "DB", "DH", "DW"}) {
        SCOPED_TRACE(letters);
        ASSERT_TRUE(host.await_marker());
        auto t0 = Clock::now();
        host.put(letters);
        std::string report;
        // Bounded: a board that went back to offering markers would otherwise feed this loop
        // for ever.
        const auto end = t0 + std::chrono::milliseconds(DUE_MS);
        while (report.size() < 2 || report.compare(report.size() - 2, 2, "OK") != 0) {
            std::string more = host.get(1);
            ASSERT_FALSE(more.empty()) << report;
            ASSERT_LT(Clock::now(), end) << "no OK; the board sent: " << report;
            report += more;
        }
        EXPECT_GE(ms_since(t0), 200);  // two phases of 100 ms
        EXPECT_NE(report.find("Wait"), std::string::npos);
    }
}

// The board's check value against the protocol's own known answers, not against zelk's code.
TEST(BoardProtocol, CheckValueKnownAnswers)
{
    const U8 digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(zb::check_value_feed(zb::CHECK_VALUE_START, digits, 9), 0x8353AF19u);

    std::vector<U8> block(zb::MON_BLOCK_BYTES, 0xFF);
    EXPECT_EQ(zb::block_check_value(0, block.data()), 0xFFFFF01Fu);
    for (int n = 0; n < zb::MON_BLOCK_BYTES; n++)
        block[n] = static_cast<U8>(n);
    EXPECT_EQ(zb::block_check_value(0, block.data()), 0xBCADD11Fu);
    EXPECT_EQ(zb::block_check_value(0x1FFE00, block.data()), 0xBCADD11Fu);
    block[508] = block[509] = block[510] = block[511] = 0;
    EXPECT_EQ(zb::block_check_value(0x400, block.data()), 0u);
    // Only the last word counts: D ^ D<<5 ^ D<<12.
    const U32 d = 0xDEADBEEF;
    block[508] = 0xDE, block[509] = 0xAD, block[510] = 0xBE, block[511] = 0xEF;
    EXPECT_EQ(zb::block_check_value(0x10400, block.data()), d ^ (d << 5) ^ (d << 12));
}

// Literal frames as they cross the wire: letters, 8 upper-case digits, the check value.
TEST(BoardProtocol, LiteralFrames)
{
    zb::Board board(quiet());
    Client host(board);

    std::string block(512, '\0');
    for (int n = 0; n < 512; n++)
        block[n] = static_cast<char>(n);
    ASSERT_TRUE(host.await_marker());
    host.put("WB");
    EXPECT_EQ(host.get(2), "WB") << "the prompt is the command's letters";
    host.put("00000200");
    EXPECT_EQ(host.get(8), "00000200") << "the number is echoed";
    host.put(block);
    EXPECT_EQ(host.get(8), "BCADD11F");

    EXPECT_EQ(host.numbered("WB", 0x400), "WB00000400");
    host.put(std::string(512, '\xFF'));
    EXPECT_EQ(host.get(8), "FFFFF01F");
    EXPECT_EQ(board.received().substr(0, 10), "WB00000200");
}

TEST(BoardCommands, BlockWriteAnswersItsCrcAndReadsBack)
{
    zb::Board board(quiet());
    Client host(board);

    std::vector<U8> block = pattern_block(3);
    EXPECT_EQ(host.numbered("WB", 0x200), "WB00000200");
    host.put(text(block));
    EXPECT_EQ(host.get(8), zb::hex8(zb::block_check_value(0x200, block.data())));

    EXPECT_EQ(host.numbered("RD", 0x404), "RD00000404");
    std::string data = host.get(0x404);
    ASSERT_EQ(data.size(), 0x404u);
    EXPECT_EQ(data.substr(0, 0x200), std::string(0x200, '\xFF'));
    EXPECT_EQ(data.substr(0x200, 0x200), text(block));
    EXPECT_EQ(data.substr(0x400), std::string(4, '\xFF'));
    EXPECT_EQ(host.get(1), "r") << "nothing but markers after the data";

    auto cmds = board.commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].letters, "WB");
    EXPECT_EQ(cmds[0].number, 0x200u);
    EXPECT_EQ(cmds[1].number, 0x404u);
    std::string sent = board.received();
    EXPECT_EQ(sent.substr(0, 10), "WB00000200");
    EXPECT_EQ(sent.substr(10, 512), text(block));
    EXPECT_EQ(sent.substr(522), "RD00000404");
}

TEST(BoardCommands, ByteWriteEchoesEachByteAndProgramsFromZero)
{
    zb::Board board(quiet());
    Client host(board);

    EXPECT_EQ(host.numbered("WR", 5), "WR00000005");
    std::string data("\x00\x41\x0F\xFErr", 5);  // a stray "rr" is data here, not a marker
    for (char ch : data) {
        host.put(std::string(1, ch));
        EXPECT_EQ(host.get(1), std::string(1, ch));
    }
    std::vector<U8> flash = board.flash();
    EXPECT_EQ(std::string(flash.begin(), flash.begin() + 6), data + "\xFF");
}

TEST(BoardCommands, ErasesAndNorProgrammingOnlyClearsBits)
{
    zb::Board board(quiet());
    board.load_flash(0, std::vector<U8>(3 * zb::FLASH_SECTOR_BYTES, 0x00));
    Client host(board);

    // Sector 1 back to 0xFF, its neighbours untouched.
    EXPECT_EQ(host.numbered("SE", 1), "SE00000001");
    EXPECT_EQ(host.get(2), "OK");
    std::vector<U8> flash = board.flash();
    EXPECT_EQ(flash[zb::FLASH_SECTOR_BYTES - 1], 0x00);
    EXPECT_EQ(flash[zb::FLASH_SECTOR_BYTES], 0xFF);
    EXPECT_EQ(flash[2 * zb::FLASH_SECTOR_BYTES - 1], 0xFF);
    EXPECT_EQ(flash[2 * zb::FLASH_SECTOR_BYTES], 0x00);

    // Two writes over the same bytes without an erase: new = old & data.
    std::vector<U8> a(zb::MON_BLOCK_BYTES, 0xF0), b(zb::MON_BLOCK_BYTES, 0x3C);
    for (const auto *blk : {&a, &b}) {
        host.numbered("WB", zb::FLASH_SECTOR_BYTES);
        host.put(text(*blk));
        EXPECT_EQ(host.get(8).size(), 8u);
    }
    EXPECT_EQ(board.flash()[zb::FLASH_SECTOR_BYTES], 0x30);

    ASSERT_TRUE(host.await_marker());
    host.put("CE");
    EXPECT_EQ(host.get(4), "CEOK");
    EXPECT_EQ(board.flash(), std::vector<U8>(zb::FLASH_BYTES, 0xFF));
}

TEST(BoardCommands, UnknownPairsAndBadNumbersReturnToIdle)
{
    zb::Board board(quiet());
    Client host(board);
    ASSERT_TRUE(host.await_marker());
    host.put("XQCZ");  // no command starts with X or Q; "CZ" is no command
    EXPECT_TRUE(host.await_marker());
    host.put("SE");
    EXPECT_EQ(host.get(2), "SE");
    host.put("0000000G");
    EXPECT_EQ(host.get(8), "0000000G");
    EXPECT_TRUE(host.await_marker());  // no erase, no "OK": back to idle
    auto cmds = board.commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_FALSE(cmds[0].number);
}

TEST(BoardCommands, FlashFileOutlivesTheBoard)
{
    char path[] = "/tmp/zelk-board-flash-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    zb::Config cfg = quiet();
    cfg.flash_file = path;
    std::vector<U8> block = pattern_block(9);
    {
        zb::Board board(cfg);
        Client host(board);
        host.numbered("WB", 0x1000);
        host.put(text(block));
        EXPECT_EQ(host.get(8).size(), 8u);
    }
    zb::Board again(cfg);
    ASSERT_TRUE(again.start());
    std::vector<U8> flash = again.flash();
    EXPECT_EQ(flash.size(), zb::FLASH_BYTES);
    EXPECT_EQ(std::vector<U8>(flash.begin() + 0x1000, flash.begin() + 0x1200), block);
    EXPECT_EQ(flash[0xFFF], 0xFF);
    unlink(path);
}

// ---- Line speed ---------------------------------------------------------------------------------

TEST(BoardSpeed, SwitchFollowsTheEchoAndMismatchGarblesBothWays)
{
    zb::Board board(quiet());
    Client host(board);

    EXPECT_EQ(host.numbered("SP", 115200), "SP0001C200");
    // The board switches once its echo is out, on its own thread: wait for it, with a deadline.
    EXPECT_TRUE(zt::poll_until([&] { return board.baud() == 115200; }, 10s)) << board.baud();
    // However long the host takes to follow, no marker crosses at mismatched speeds meanwhile.
    const int chances = board.marker_chances();
    ASSERT_TRUE(zt::poll_until([&] { return board.marker_chances() >= chances + 5; }, 20s));
    EXPECT_EQ(board.garbled_to_host(), 0);
    host.set_speed(B115200);
    ASSERT_TRUE(host.await_marker());
    host.put("MC");
    EXPECT_EQ(host.get(10), "MC00000001");
    EXPECT_EQ(board.commands().back().baud, 115200);
    EXPECT_EQ(board.garbled_to_host(), 0);
    EXPECT_EQ(board.garbled_from_host(), 0);

    // The host falls back to 38400 on its own: what crosses now arrives as something else (a
    // marker sent before the change may still arrive whole).
    host.set_speed(B38400);
    std::string got;
    EXPECT_TRUE(zt::poll_until(
        [&] {
            got += host.get(4096, 10);
            return got.find_first_not_of('r') != std::string::npos;
        },
        10s))
        << got;
    EXPECT_GT(board.garbled_to_host(), 0);
    host.put("MC");
    // The board's thread takes the two bytes in its own time: wait for them, with a deadline.
    EXPECT_TRUE(zt::poll_until([&] { return board.garbled_from_host() >= 2; }, 10s));
    EXPECT_EQ(board.garbled_from_host(), 2);
    EXPECT_EQ(board.commands().size(), 2u);
    EXPECT_EQ(board.received().substr(board.received().size() - 2), "MC");
}

TEST(BoardSpeed, NoMarkerAfterTheSwitchWhenSoConfigured)
{
    zb::Config cfg = quiet();
    cfg.ready.after_speed_switch = false;
    zb::Board board(cfg);
    Client host(board);
    host.numbered("SP", 57600);
    host.set_speed(B57600);
    EXPECT_EQ(host.get_for(1000), "");
    EXPECT_EQ(board.baud(), 57600);
}

// ---- Fault injection ----------------------------------------------------------------------------

TEST(BoardFaults, NumberEchoAndPrompt)
{
    struct Case {
        const char *name;
        zb::Fault fault;
        std::string prompt;  // before the host sends the digits of sector 0x1A
        std::string rest;    // echo and reply after them
    };
    const Case cases[] = {
        {"normal", {}, "SE", "0000001AOK"},
        {"lower case", {.command = "SE", .echo = zb::Echo::Lower}, "SE", "0000001aOK"},
        {"wrong digit", {.command = "SE", .echo = zb::Echo::Wrong}, "SE", "0000001OOK"},
        {"missing", {.command = "SE", .echo = zb::Echo::Missing}, "SE", "OK"},
        {"junk before prompt",
         {.command = "SE", .prompt = zb::Script{zb::send("\r\n>SE")}},
         "\r\n>SE",
         "0000001AOK"},
        {"no prompt", {.command = "SE", .prompt = zb::Script{}}, "", "0000001AOK"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zb::Config cfg = quiet();
        cfg.faults = {c.fault};
        zb::Board board(cfg);
        Client host(board);
        ASSERT_TRUE(host.await_marker());
        host.put("SE");
        EXPECT_EQ(host.get(c.prompt.size()), c.prompt);
        host.put(zb::hex8(0x1A));
        EXPECT_EQ(host.get(c.rest.size()), c.rest);
        EXPECT_EQ(board.commands().at(0).number, 0x1Au);
    }
}

TEST(BoardFaults, SplitBurstsKeepTheirPauses)
{
    zb::Config cfg = quiet();
    cfg.faults = {
        {.command = "WB", .prompt = zb::Script{zb::send("W"), zb::pause(300), zb::send("B")}}};
    zb::Board board(cfg);
    Client host(board);
    ASSERT_TRUE(host.await_marker());
    // Timed from the command, which the board must have before its pause begins: a host that
    // reads the "W" late cannot make the pause look shorter.
    auto t0 = Clock::now();
    host.put("WB");
    EXPECT_EQ(host.get(1), "W");
    EXPECT_EQ(host.get(1), "B");
    EXPECT_GE(ms_since(t0), 300);
}

TEST(BoardFaults, BlockCrcFaultsHitOnlyTheirBlock)
{
    const std::vector<U8> block = pattern_block(1);
    const std::string crc = zb::hex8(zb::block_check_value(0x200, block.data()));
    std::string lower = crc;
    for (char &ch : lower)
        ch = static_cast<char>(std::tolower(ch));
    struct Case {
        const char *name;
        zb::Fault fault;
        std::string expect;  // the second block's reply
    };
    const Case cases[] = {
        {"bad value",
         {.command = "WB", .occurrence = 1, .reply = zb::Script{zb::send("DEADBEEF")}},
         "DEADBEEF"},
        {"non-hex",
         {.command = "WB", .number = 0x200u, .reply = zb::Script{zb::send("12 45678")}},
         "12 45678"},
        {"lower case", {.command = "WB", .occurrence = 1, .lower_hex = true}, lower},
        {"silence", {.command = "WB", .occurrence = 1, .reply = zb::Script{zb::go_silent()}}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zb::Config cfg = quiet();
        cfg.faults = {c.fault};
        zb::Board board(cfg);
        Client host(board);
        host.numbered("WB", 0);
        host.put(text(block));
        EXPECT_EQ(host.get(8), zb::hex8(zb::block_check_value(0, block.data())));
        host.numbered("WB", 0x200);
        host.put(text(block));
        EXPECT_EQ(host.get(c.expect.size()), c.expect);
        if (c.expect.empty()) {
            EXPECT_EQ(host.get(1, 1000), "") << "silence";
        }
    }
}

TEST(BoardFaults, DataPhaseFaults)
{
    // RD: the data stops after 100 bytes and the board stays silent.
    {
        zb::Config cfg = quiet();
        cfg.faults = {
            {.command = "RD", .data_fault = zb::DataFault::Silence, .data_fault_at = 100}};
        zb::Board board(cfg);
        Client host(board);
        host.numbered("RD", 300);
        EXPECT_EQ(host.get(100), std::string(100, '\xFF'));
        EXPECT_EQ(host.get(1, 1000), "");
    }
    // WR: byte 2 comes back wrong; with silence instead, nothing comes back from byte 2 on.
    for (zb::DataFault kind : {zb::DataFault::WrongByte, zb::DataFault::Silence}) {
        zb::Config cfg = quiet();
        cfg.faults = {{.command = "WR", .data_fault = kind, .data_fault_at = 2}};
        zb::Board board(cfg);
        Client host(board);
        host.numbered("WR", 4);
        const std::string expect = kind == zb::DataFault::WrongByte ? "AB\xBC"
                                                                      "D"
                                                                    : "AB";
        std::string echo;
        for (char ch : std::string("ABCD")) {
            host.put(std::string(1, ch));
            echo += host.get(1, echo.size() < expect.size() ? DUE_MS : 300);
        }
        EXPECT_EQ(echo, expect);
    }
}

TEST(BoardFaults, ScriptedReplies)
{
    struct Case {
        const char *name;
        zb::Fault fault;
        std::string expect;
        long min_ms;  // the scripted pauses
    };
    std::string listing = std::string("RR\r\nSYSCFG\t07FFFF80\0EXTDBWTH 0x00003002", 38);
    const Case cases[] = {
        {"MC junk and delayed echo",
         {.command = "MC", .reply = zb::Script{zb::pause(300), zb::send("\r\n>MC12345678")}},
         "\r\n>MC12345678",
         300},
        {"MC lower-case code",
         {.command = "MC", .reply = zb::Script{zb::send("MC000000c2")}},
         "MC000000c2",
         0},
        {"ID seven digits then silence",
         {.command = "ID", .reply = zb::Script{zb::send("ID000000C"), zb::go_silent()}},
         "ID000000C",
         0},
        {"CE OK before CE", {.command = "CE", .reply = zb::Script{zb::send("OKCE")}}, "OKCE", 0},
        {"CE never OK",
         {.command = "CE", .reply = zb::Script{zb::send("CE"), zb::go_silent()}},
         "CE",
         0},
        {"DT scripted wait",
         {.command = "DT",
          .reply = zb::Script{zb::send("Testing Wait"), zb::pause(400), zb::send(".OK")}},
         "Testing Wait.OK",
         400},
        {"RR odd listing",
         {.command = "RR", .reply = zb::Script{zb::send(listing), zb::go_silent()}},
         listing,
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zb::Config cfg = quiet();
        cfg.faults = {c.fault};
        zb::Board board(cfg);
        Client host(board);
        ASSERT_TRUE(host.await_marker());
        auto t0 = Clock::now();
        host.put(c.fault.command);
        EXPECT_EQ(host.get(c.expect.size()), c.expect);
        EXPECT_GE(ms_since(t0), c.min_ms);
        if (c.fault.reply->back().kind == zb::Step::Kind::Silence) {
            EXPECT_EQ(host.get(1, 1000), "");
        }
    }
}

TEST(BoardFaults, SectorFaultMatchesItsNumber)
{
    zb::Config cfg = quiet();
    cfg.faults = {{.command = "SE", .number = 3u, .reply = zb::Script{zb::go_silent()}},
                  {.command = "SE", .reply = zb::Script{zb::send("Erasing..."), zb::send("OK")}}};
    zb::Board board(cfg);
    Client host(board);
    host.numbered("SE", 2);
    EXPECT_EQ(host.get(12), "Erasing...OK");
    host.numbered("SE", 3);
    EXPECT_EQ(host.get(1, 1000), "");
}

// ---- Hang-up ------------------------------------------------------------------------------------

TEST(BoardHangUp, LineClosesWhereTheFaultSays)
{
    {
        zb::Config cfg = quiet();
        cfg.faults = {{.command = "CE", .hang_up_on_command = true}};
        zb::Board board(cfg);
        Client host(board);
        ASSERT_TRUE(host.await_marker());
        host.put("CE");
        EXPECT_EQ(host.get(10, 1000), "");
        EXPECT_TRUE(host.closed);
        EXPECT_TRUE(board.hung_up());
        EXPECT_EQ(board.commands().size(), 1u);
    }
    {
        zb::Config cfg = quiet();
        cfg.faults = {{.command = "RD", .data_fault = zb::DataFault::HangUp, .data_fault_at = 700}};
        zb::Board board(cfg);
        Client host(board);
        host.numbered("RD", 1000);
        EXPECT_EQ(host.get(1000).size(), 700u);
        EXPECT_TRUE(host.closed);
    }
}

}  // namespace

// ---- Faults of the command line: a block garbled once or always, noise, hang-up, silence -------

namespace {

// Writes `block` at `offset` and returns the check value the board answers ("" when none).
std::string write_block_at(Client &host, U32 offset, const std::vector<U8> &block)
{
    EXPECT_TRUE(host.await_marker());
    host.put("WB");
    // The prompt, after any marker offered before the letters were read.
    std::string got;
    while (!got.ends_with("WB")) {
        const std::string more = host.get(1);
        if (more.empty())
            return "";
        got += more;
    }
    host.put(zb::hex8(offset));
    EXPECT_EQ(host.get(8), zb::hex8(offset));
    host.put(std::string(block.begin(), block.end()));
    return host.get(8);
}

zb::Fault garble(U32 offset, long pos, int times)
{
    return {.command = "WB",
            .number = offset,
            .data_fault = zb::DataFault::WrongByte,
            .data_fault_at = pos,
            .times = times};
}

}  // namespace

TEST(BoardFaults, GarbledBlockOnceThenWrittenAsSent)
{
    const std::vector<U8> block = pattern_block(5);
    const std::string good = zb::hex8(zb::block_check_value(0x400, block.data()));
    zb::Config cfg = quiet();
    cfg.faults = {garble(0x400, 511, 1)};
    zb::Board board(cfg);
    Client host(board);
    EXPECT_EQ(write_block_at(host, 0x200, block),
              zb::hex8(zb::block_check_value(0x200, block.data())));
    EXPECT_NE(write_block_at(host, 0x400, block), good);  // the last byte: the value shows it
    EXPECT_EQ(board.flash().at(0x400 + 511), static_cast<U8>(~block[511]));
    EXPECT_EQ(write_block_at(host, 0x400, block), good);  // once: the second time goes through
}

TEST(BoardFaults, GarbledBlockAlwaysAndEarlyByteHidesFromTheValue)
{
    const std::vector<U8> block = pattern_block(6);
    const std::string good = zb::hex8(zb::block_check_value(0x600, block.data()));
    zb::Config cfg = quiet();
    cfg.faults = {garble(0x600, 3, -1)};
    zb::Board board(cfg);
    Client host(board);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(write_block_at(host, 0x600, block), good);  // the value covers the end only
        EXPECT_EQ(board.flash().at(0x600 + 3), static_cast<U8>(~block[3]));
    }
}

TEST(BoardFaults, SeededNoiseHitsTheSameBytesEachTime)
{
    std::vector<std::string> seen;
    for (int run = 0; run < 2; run++) {
        zb::Config cfg = quiet();
        cfg.noise_per_byte = 0.01;
        cfg.noise_seed = 42;
        zb::Board board(cfg);
        Client host(board);
        ASSERT_TRUE(host.await_marker());
        // 0x00 data: a flipped bit shows in the flash as one byte not 0x00.
        host.put("WB");
        host.put(zb::hex8(0) + std::string(512, '\0'));
        // The prompt (after any marker offered meanwhile), the echo and the check value: the
        // block is in the flash once its check value has come.
        std::string got;
        while (got.find("WB") == std::string::npos || got.size() < got.find("WB") + 18) {
            const std::string more = host.get(1);
            ASSERT_FALSE(more.empty()) << got;
            got += more;
        }
        const std::vector<U8> flash = board.flash();
        seen.push_back(std::string(flash.begin(), flash.begin() + 512));
        EXPECT_GT(board.bits_flipped(), 0);
        EXPECT_EQ(board.received().substr(0, 2), "WB") << "the record keeps the bytes as sent";
    }
    EXPECT_EQ(seen[0], seen[1]);
}

TEST(BoardFaults, HangUpAfterBytesAndSilentAfterCommands)
{
    {
        zb::Config cfg = quiet();
        cfg.hang_up_after_bytes = 4;
        zb::Board board(cfg);
        Client host(board);
        ASSERT_TRUE(host.await_marker());
        host.put("SE00");
        host.get(64);
        EXPECT_TRUE(board.hung_up());
    }
    {
        zb::Config cfg = quiet();
        cfg.silent_after_commands = 1;
        zb::Board board(cfg);
        Client host(board);
        ASSERT_TRUE(host.await_marker());
        host.put("MC");
        // The answer, after any marker offered before the letters were read.
        std::string got;
        while (got.find("MC00000001") == std::string::npos) {
            const std::string more = host.get(1);
            ASSERT_FALSE(more.empty()) << got;
            got += more;
        }
        host.put("MC");
        EXPECT_EQ(host.get(1, 1000), "") << "no reply, no marker";
        EXPECT_EQ(board.commands().size(), 1u);
    }
}
