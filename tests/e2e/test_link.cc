// The monitor link and the flash erases end to end: the real zelk against the simulated board.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "moment.h"

using zt::Bench;
using zt::Proc;
using zt::RunResult;
using zt::TempDir;
using zt::with_fault;

namespace {

const std::string HEAD = "Set speed=38400\nTest link ...";

zb::Config with_ready(zb::Ready r)
{
    zb::Config cfg;
    cfg.ready = std::move(r);
    return cfg;
}

}  // namespace

TEST(LinkE2E, ChipEraseSucceeds)
{
    Bench b;
    b.board.load_flash(0x1000, {0x12, 0x34});
    RunResult r = b.run({"erase"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Ok\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.board.received(), "CE");
    auto flash = b.board.flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](U8 v) { return v == 0xFF; }));
}

// "OK" may come before the echo of the command, and bytes around them are ignored.
TEST(LinkE2E, ChipEraseTakesOkBeforeItsEcho)
{
    Bench b(with_fault(
        {.command = "CE",
         .reply = zb::Script{zb::send("\r\nOK\r\nC"), zb::pause(500), zb::send("E\r\n")}}));
    RunResult r = b.run({"erase"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Ok\n");
}

// 31 bytes without "OK" use up the reply budget.
TEST(LinkE2E, ChipEraseWithoutOkFails)
{
    Bench b(
        with_fault({.command = "CE", .reply = zb::Script{zb::send("CE" + std::string(29, '.'))}}));
    RunResult r = b.run({"erase", "registers"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Fail\n") << "nothing runs after a failure";
}

TEST(LinkE2E, SectorEraseShowsTheMonitorsWords)
{
    Bench b(with_fault({.command = "SE",
                        .number = 3u,
                        .reply = zb::Script{zb::send("Erasing..."), zb::send("OK")}}));
    b.board.load_flash(0x30000, {0, 0});
    b.board.load_flash(0x20000, {0, 0});
    RunResult r = b.run({"erase", "sector", "0,3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        HEAD + "Ok\n\nErase flash sectors\n Sector 0 ...OKOk\n Sector 3 ...Erasing...OKOk\nOk\n");
    EXPECT_EQ(b.board.received(), "SE00000000SE00000003");
    auto flash = b.board.flash();
    EXPECT_EQ(flash[0x30000], 0xFF);
    EXPECT_EQ(flash[0x20000], 0x00) << "sector 2 was not asked for";
}

// A number that names no sector is a mistake: the run is refused before the device is opened,
// naming the numbers, and no sector of the list is erased.
TEST(LinkE2E, SectorNumbersBeyondTheChipAreRefused)
{
    for (const char *list : {"40,1", "40"}) {
        SCOPED_TRACE(list);
        Bench b;
        b.board.load_flash(0x10000, {0, 0});
        const termios attrs = zt::attrs_of(b.board.path());
        RunResult r = b.run({"erase", "sector", list});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nSector numbers above 31 do not exist: 40\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(b.board.received(), "");
        EXPECT_EQ(b.board.flash()[0x10000], 0x00);
        EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), attrs));
    }
}

TEST(LinkE2E, FailingSectorStopsTheLoop)
{
    Bench b(with_fault(
        {.command = "SE", .number = 1u, .reply = zb::Script{zb::send(std::string(31, '?'))}}));
    RunResult r = b.run({"erase", "sector", "1,2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Ok\n\nErase flash sectors\n Sector 1 ..." + std::string(31, '?') +
                         "Fail\nFail\n");
    EXPECT_EQ(b.board.received(), "SE00000001") << "sector 2 is neither announced nor erased";
}

// At most 19 bytes may come before the marker: 21 reads in all.
TEST(LinkE2E, JunkBeforeTheMarker)
{
    for (int junk : {19, 20}) {
        Bench b(with_ready({.junk = std::string(static_cast<size_t>(junk), 'x'), .offers = 1}));
        RunResult r = b.run({"erase"});
        if (junk == 19) {
            EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Ok\n");
            EXPECT_EQ(r.status, 0);
        } else {
            EXPECT_EQ(r.out, HEAD + "Fail\n");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(b.board.received(), "") << "nothing is sent without the marker";
        }
    }
}

TEST(LinkE2E, SilentBoardOrHalfAMarker)
{
    for (std::string marker : {"rr", "r"}) {
        Bench b(with_ready({.marker = marker, .offers = marker == "rr" ? 0 : 1}));
        RunResult r = b.run({"erase"});
        EXPECT_EQ(r.status, 1) << "marker " << marker << ", offered " << b.board.markers_offered();
        EXPECT_EQ(r.out, HEAD + "Fail\n");
        EXPECT_EQ(r.err, zt::link_failure(b.board.path(), marker == "rr"
                                                              ? zt::NOTHING_CAME
                                                              : "1 byte came but no ready marker: "
                                                                "reset the board"));
    }
}

// The prompt must complete within 31 bytes, and may arrive in pieces.
TEST(LinkE2E, PromptBudgetAndSplitPrompt)
{
    struct Case {
        zb::Script prompt;
        bool ok;
    } cases[] = {
        {{zb::send(std::string(29, '.') + "SE")}, true},
        {{zb::send(std::string(30, '.') + "SE")}, false},
        {{zb::send("S"), zb::taken(), zb::send("E")}, true},  // "E" once zelk has read "S"
        {{}, false},  // no prompt at all: the first silent byte ends the wait
    };
    for (const Case &c : cases) {
        Bench b(with_fault({.command = "SE", .prompt = c.prompt}));
        RunResult r = b.run({"erase", "sector", "5"});
        const std::string line = HEAD + "Ok\n\nErase flash sectors\n Sector 5 ...";
        if (c.ok) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, line + "OKOk\nOk\n");
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, line + "Fail\n\nFail\n");
            EXPECT_EQ(r.err, "Data length prompt timeout\n");
            EXPECT_EQ(b.board.received(), "SE") << "no digits without the prompt";
        }
    }
}

TEST(LinkE2E, EchoOfTheNumber)
{
    struct Case {
        zb::Echo echo;
        std::optional<zb::Script> script;
        int status;
        std::string err;
    } cases[] = {
        {zb::Echo::Lower, {}, 0, ""},
        {zb::Echo::Wrong, {}, 1, "Read data length [0000000O] not equal writed [0000000A]\n"},
        {zb::Echo::Upper, zb::Script{zb::go_silent()}, 1, "Data length read timeout\n"},
    };
    for (const Case &c : cases) {
        Bench b(with_fault({.command = "SE", .echo = c.echo, .echo_script = c.script}));
        RunResult r = b.run({"erase", "sector", "10"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.substr(r.out.size() - (c.status ? 6 : 4)),
                  c.status ? "\nFail\n" : "\nOk\n");
    }
}

// SIGINT while the erase waits: the handler's line, then the operation's own message; the line
// is put back.
TEST(LinkE2E, SigintWhileErasing)
{
    Bench b(with_fault({.command = "CE", .reply = zb::Script{zb::pause(60000)}}));
    const termios before = zt::attrs_of(b.board.path());
    const mode_t mode_before = zt::mode_of(b.board.path());
    Proc p({"erase", b.board.path()}, {.cwd = b.dir.path});
    ASSERT_TRUE(zt::reach(b.board, {.command = 1, .in = zt::In::Read}, p.pid()));
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Received signal 2. Terminating.\n");
    EXPECT_EQ(r.err, "\nFlash erase terminated.");
    EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), before));
    EXPECT_EQ(zt::mode_of(b.board.path()), mode_before);
}

TEST(LinkE2E, EveryOperationSucceedingExitsZero)
{
    Bench b;
    RunResult r = b.run({"erase", "erase", "sector", "31"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Ok\nTest link ...Ok\n\nErase flash sectors\n "
                            "Sector 31 ...OKOk\nOk\n");
}

// A second zelk on a device in use refuses before sending anything; the first goes on.
TEST(LinkE2E, SecondProcessOnTheSameDeviceIsRefused)
{
    Bench b;
    Proc first({"erase", b.board.path()}, {.cwd = b.dir.path});
    ASSERT_TRUE(first.wait_for_out("Test link ...", 20000));
    // Held where it is, the first keeps the device however long the second takes.
    ASSERT_TRUE(zt::stop(first.pid()));
    RunResult second = b.run({"erase", "sector", "1"});
    first.signal(SIGCONT);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "Device [" + b.board.path() + "] is busy: in use by process " +
                              std::to_string(first.pid()) + " (zelk)\n");
    RunResult r = first.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Ok\n");
    EXPECT_EQ(b.board.received(), "CE");
}

// An offset holds no negative number: "-1" is refused as a number, before anything is sent.
TEST(LinkE2E, NegativeOffsetIsRefused)
{
    Bench b;
    zt::write_file(b.dir.file("image.bin"), "abcd");
    RunResult r = b.run({"write", "offset", "-1", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nOption [offset] error:Invalid argument (must be number) '-1'\n");
    EXPECT_EQ(b.board.received(), "");
}
