// `zelk registers` end to end against the simulated board: the listing is shown exactly as read,
// up to the last digit of the last register found, then each register is decoded or reported
// missing, in table order. Also the handshake failure of the three inspection commands.
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "bench.h"
#include "board.h"
#include "harness.h"

namespace {

constexpr char kHead[] = "Set speed=38400\nRead Registers ...\nTest link ...Ok\n";

constexpr std::array<const char *, 13> kNames = {
    "SYSCFG",  "EXTDBWTH", "ROMCON0",  "ROMCON1",  "ROMCON2",  "ROMCON3",   "ROMCON4",
    "ROMCON5", "DRAMCON0", "DRAMCON1", "DRAMCON2", "DRAMCON3", "REFEXTCON",
};

// The values the cases' listings carry: register i holds kValues[i].
constexpr std::array<U32, 13> kValues = {
    0x07FFFF80, 0x00003002, 0x02000060, 0x00000061, 0x00000062, 0x00000063, 0x00000064,
    0x00000065, 0x2004038E, 0x00000001, 0x00000002, 0x00000003, 0xCE3983FD,
};

using Found = std::array<std::optional<U32>, 13>;

Found all_found()
{
    Found f;
    for (size_t i = 0; i < f.size(); i++)
        f[i] = kValues[i];
    return f;
}

Found found_only(std::vector<size_t> which)
{
    Found f;
    for (size_t i : which)
        f[i] = kValues[i];
    return f;
}

std::string entry(size_t i, const std::string &sep = " ")
{
    return "\r\n" + std::string(kNames[i]) + sep + zb::hex8(kValues[i]);
}

std::string entries(size_t from, size_t to)
{
    std::string s;
    for (size_t i = from; i < to; i++)
        s += entry(i);
    return s;
}

// The decoding after the shown text: each register's decoder header with its value, or its
// "not readed" line, in table order. The field lines under each header are the decoders' own.
void expect_decoding(const std::string &tail, const Found &found)
{
    size_t pos = 0;
    for (size_t i = 0; i < kNames.size(); i++) {
        char marker[64];
        if (found[i])
            std::snprintf(marker, sizeof marker, "\n%12s %08x", kNames[i], *found[i]);
        else
            std::snprintf(marker, sizeof marker, "\n%s register is not readed.", kNames[i]);
        size_t at = tail.find(marker, pos);
        ASSERT_NE(at, std::string::npos) << kNames[i] << " in:\n" << tail;
        if (i == 0) {
            EXPECT_EQ(at, 0u) << tail;
        }
        pos = at + 1;
    }
    size_t missing = 0;
    for (const std::optional<U32> &v : found)
        missing += v ? 0 : 1;
    size_t n = 0;
    for (size_t at = tail.find(" register is not readed."); at != std::string::npos;
         at = tail.find(" register is not readed.", at + 1))
        n++;
    EXPECT_EQ(n, missing);
}

struct RegCase {
    const char *name;
    std::optional<zb::Script> reply;  // the monitor's whole answer to "RR"; none: its own
    std::string shown;                // the text zelk shows before the decoding
    std::string err;
    Found found;     // with the decoding; nothing at all when nothing is shown
    int status = 0;  // 1 for any listing that lacks a register: it is shown, and the dump fails
};

void PrintTo(const RegCase &c, std::ostream *os) { *os << c.name; }

std::string filler(size_t n) { return std::string(n, '.'); }

std::vector<RegCase> reg_cases()
{
    const std::string listing = entries(0, 13);
    const size_t fill_to_1023 = 1023 - listing.size();
    // One space, several, none; digits in either case; a ninth digit that is not part of the
    // value; DRAMCON0 before ROMCON0.
    std::string forms = std::string("\r\nSYSCFG 07fFfF80") + "\r\nEXTDBWTH   00003002" +
                        "\r\nDRAMCON0 2004038e" + "\r\nROMCON0" + "02000060" +
                        "\r\nROMCON1 000000612" + entries(4, 8) + entries(9, 13);
    std::string bad = std::string("\r\nSYSCFG\t07FFFF80") + "\r\nEXTDBWTH:00003002" +
                      "\r\nROMCON0=02000060" + "\r\nROMCON1\r\n00000061" +
                      "\r\nROMCON2 0x00000062" + "\r\nROMCON3 0000006G" + entries(6, 13) +
                      entry(0);  // a correct entry after a bad first one does not count
    std::string zero = entry(0) + std::string(1, '\0') + entries(1, 13);
    return {
        {"MonitorsOwnListing", std::nullopt,
         zb::register_listing().substr(0, zb::register_listing().size() - 2), "",
         Found{0x07FFFF80, 0x00003002, 0x02000060, 0x60, 0x60, 0x60, 0x60, 0x60, 0x2004038E, 0, 0,
               0, 0xCE3983FD}},
        // Eight bytes before the echo still leave it within the ten bytes read for it. Reading
        // stops at the last digit: the text after it is never shown.
        {"AnySpacingAndCaseStopsAtLastDigit",
         zb::Script{zb::send("\r\nboot> RR" + forms + "\r\nboot> ")}, forms, "", all_found()},
        {"BadSeparatorsAndFirstOccurrenceOnly", zb::Script{zb::send("RR" + bad), zb::go_silent()},
         bad, "\nRead byte timeout\n", found_only({6, 7, 8, 9, 10, 11, 12}), 1},
        {"ZeroByteEndsTheSearchableText", zb::Script{zb::send("RR" + zero), zb::go_silent()}, zero,
         "\nRead byte timeout\n", found_only({0}), 1},
        {"FallsSilentAfterSomeEntries",
         zb::Script{zb::send("RR" + entries(0, 5) + "\r\nROMCON5 0000"), zb::go_silent()},
         entries(0, 5) + "\r\nROMCON5 0000", "\nRead byte timeout\n", found_only({0, 1, 2, 3, 4}),
         1},
        {"Exactly1023Characters",
         zb::Script{zb::send("RR" + filler(fill_to_1023) + listing + "\r\n")},
         filler(fill_to_1023) + listing, "", all_found()},
        {"OneCharacterTooMany",
         zb::Script{zb::send("RR" + filler(fill_to_1023 + 1) + listing), zb::go_silent()}, "",
         "\nRead buffer overflow\n", Found{}, 1},
        // Ten bytes without "RR" are read as the echo's; its second letter opens the text.
        {"NoEchoWithinTenBytes", zb::Script{zb::send("\r\nboot>  RR" + listing)}, "R" + listing,
         "Read Registers Timeout", all_found()},
        {"SilentAfterCommand", zb::Script{zb::go_silent()}, "", "\nRead byte timeout\n", Found{},
         1},
    };
}

class InspectRegisters : public testing::TestWithParam<RegCase> {};

TEST_P(InspectRegisters, Listing)
{
    const RegCase &c = GetParam();
    zb::Config cfg;
    // One marker, for the link test: a second one offered as "R" goes out (zelk late to send it on
    // a loaded machine) would sit among the ten bytes read for the echo.
    cfg.ready.offers = 1;
    if (c.reply)
        cfg.faults.push_back({.command = "RR", .reply = *c.reply});
    zt::Bench b(cfg);
    zt::RunResult r = b.run({"registers"});

    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(b.board.received(), "RR");
    if (c.shown.empty() && c.status != 0) {
        EXPECT_EQ(r.out, kHead);
        return;
    }
    const std::string shown = kHead + c.shown + "\n";
    ASSERT_EQ(r.out.substr(0, shown.size()), shown);
    expect_decoding(r.out.substr(shown.size()), c.found);
}

INSTANTIATE_TEST_SUITE_P(Inspect, InspectRegisters, testing::ValuesIn(reg_cases()),
                         [](const testing::TestParamInfo<RegCase> &i) { return i.param.name; });

// A termination request ends the wait for the listing once the line stays quiet.
TEST(InspectRegistersSignal, TerminatedWhileWaiting)
{
    zb::Config cfg;
    cfg.faults.push_back({.command = "RR", .reply = zb::Script{zb::send("RR"), zb::go_silent()}});
    zt::Bench b(cfg);
    zt::Proc p(b.words({"registers"}), {.cwd = b.dir.path, .timeout_s = 60});
    ASSERT_TRUE(b.board.wait_for_commands(1, 20000));
    p.signal(SIGINT);
    zt::RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kHead) + "Received signal 2. Terminating.\n");
    const std::string msg = "\nRead registers terminated\n";
    ASSERT_GE(r.err.size(), msg.size());
    EXPECT_EQ(r.err.substr(r.err.size() - msg.size()), msg) << r.err;
}

// Without the ready marker none of the inspection commands is sent.
TEST(InspectHandshake, FailureSendsNoCommand)
{
    struct Case {
        std::vector<std::string> words;
        std::string out;
    } cases[] = {
        {{"registers"}, "Set speed=38400\nRead Registers ...\nTest link ...Fail\n"},
        {{"manufactory"}, "Set speed=38400\nTest link ...Fail\n"},
        {{"dram", "test"}, "Set speed=38400\nDram Test ...\nTest link ...Fail\n"},
    };
    for (const Case &c : cases) {
        zb::Config cfg;
        cfg.ready.offers = 0;
        zt::Bench b(cfg);
        zt::RunResult r = b.run(c.words);
        EXPECT_EQ(r.status, 1) << c.words[0];
        EXPECT_EQ(r.out, c.out) << c.words[0];
        EXPECT_EQ(r.err, zt::link_failure(b.board.path(), zt::NOTHING_CAME)) << c.words[0];
        EXPECT_EQ(b.board.received(), "") << c.words[0];
    }
}

}  // namespace
