// `zelk manufactory` and `zelk device id` end to end against the simulated board: the echo of
// the letters within eleven bytes, then eight hex digits kept whole.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "moment.h"

namespace {

constexpr char kMc[] = "Set speed=38400\nTest link ...Ok\nRead Manufactory Code...\n";
constexpr char kId[] = "Set speed=38400\nTest link ...Ok\nRead Flash Device Id...\n";

struct IdCase {
    const char *name;
    bool device_id;    // "device id" rather than "manufactory"
    zb::Script reply;  // the monitor's whole answer, echo included
    std::string out;   // after the start message
    std::string err;
    int status;
};

void PrintTo(const IdCase &c, std::ostream *os) { *os << c.name; }

// zelk starts reading only after the 3 s pause that follows its second letter, so an answer
// held back 8 s arrives after about 5 s of waiting.
constexpr int kLateMs = 8000;

std::vector<IdCase> id_cases()
{
    using zb::go_silent;
    using zb::pause;
    using zb::send;
    return {
        {"McUpperCase", false, {send("MC000000C2")}, "\n Manufactory code = [0x000000c2]\n", "", 0},
        {"McLowerCase", false, {send("MC000000c2")}, "\n Manufactory code = [0x000000c2]\n", "", 0},
        {"McAllThirtyTwoBits",
         false,
         {send("MC12345678")},
         "\n Manufactory code = [0x12345678]\n",
         "",
         0},
        // Nine bytes before the echo leave its two letters within the eleven bytes read.
        {"IdBytesBeforeEcho",
         true,
         {send("\r\nboot>  ID0022c8AB")},
         "\nDevice Id = [0x0022c8ab]\n",
         "",
         0},
        {"McEchoBeyondElevenBytes",
         false,
         {send("\r\nboot>   MC00000001"), go_silent()},
         "",
         "\nRead Manufactory Code Timeout\n",
         1},
        {"McEchoLettersNotBackToBack",
         false,
         {send("MxC00000001"), go_silent()},
         "",
         "\nRead Manufactory Code Timeout\n",
         1},
        {"McBadCharacter",
         false,
         {send("MC0000 0C2")},
         "",
         "\nError Manufactory Code [0000 0C2]\n",
         1},
        {"IdHexPrefix", true, {send("ID0x0000C8")}, "", "\nError Device Id [0x0000C8]\n", 1},
        {"McSevenDigitsThenSilence",
         false,
         {send("MC000000C"), go_silent()},
         "",
         "\nRead Manufactory Code Timeout\n",
         1},
        {"IdSevenDigitsThenSilence",
         true,
         {send("ID000000C"), go_silent()},
         "",
         "\nRead Flash Device Id Timeout\n",
         1},
        // The manufacturer's echo may take 3 s per byte, the device id's 10 s.
        {"McLateEcho",
         false,
         {pause(kLateMs), send("MC00000001")},
         "",
         "\nRead byte timeout\n\nRead Manufactory Code Timeout\n",
         1},
        {"IdLateEcho",
         true,
         {pause(kLateMs), send("ID000000C8")},
         "\nDevice Id = [0x000000c8]\n",
         "",
         0},
        {"IdNoEcho", true, {go_silent()}, "", "\nRead byte timeout\n\nRead Device Id Timeout\n", 1},
    };
}

class InspectFlashId : public testing::TestWithParam<IdCase> {};

TEST_P(InspectFlashId, Reply)
{
    const IdCase &c = GetParam();
    const char *letters = c.device_id ? "ID" : "MC";
    zb::Config cfg;
    cfg.faults.push_back({.command = letters, .reply = c.reply});
    zt::Bench b(cfg);
    std::vector<std::string> args = c.device_id ? std::vector<std::string>{"device", "id"}
                                                : std::vector<std::string>{"manufactory"};
    zt::RunResult r = b.run(args);

    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, (c.device_id ? kId : kMc) + c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(b.board.received(), letters);
}

INSTANTIATE_TEST_SUITE_P(Inspect, InspectFlashId, testing::ValuesIn(id_cases()),
                         [](const testing::TestParamInfo<IdCase> &i) { return i.param.name; });

// Both codes in one run, from the board's own answers: manufacturer first.
TEST(InspectFlashIdBoth, ManufacturerThenDeviceId)
{
    zb::Config cfg;
    cfg.manufacturer_code = 0x000000C2;
    cfg.device_id = 0x000022A8;
    cfg.faults.push_back({.command = "ID", .lower_hex = true});
    zt::Bench b(cfg);
    zt::RunResult r = b.run({"device", "id", "manufactory"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Set speed=38400\n"
                     "Test link ...Ok\nRead Manufactory Code...\n"
                     "\n Manufactory code = [0x000000c2]\n"
                     "Test link ...Ok\nRead Flash Device Id...\n"
                     "\nDevice Id = [0x000022a8]\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.board.received(), "MCID");
}

// A termination request while the line is quiet: each wait has its own message.
TEST(InspectFlashIdSignal, TerminatedWhileWaiting)
{
    struct Case {
        bool device_id;
        zb::Script reply;
        zt::Moment at;  // when the signal goes
        std::string msg;
    } cases[] = {
        // In the pause after the letters.
        {false,
         {zb::go_silent()},
         {.command = 1, .in = zt::In::Pause},
         "\nRead manufactory code terminated.\n"},
        // The echo of the letters read, in the wait for the code.
        {true,
         {zb::send("ID"), zb::go_silent()},
         {.command = 1, .consumed = 2},
         "\nRead device ID terminaded.\n"},
    };
    for (const Case &c : cases) {
        zb::Config cfg;
        cfg.faults.push_back({.command = c.device_id ? "ID" : "MC", .reply = c.reply});
        zt::Bench b(cfg);
        std::vector<std::string> args = c.device_id ? std::vector<std::string>{"device", "id"}
                                                    : std::vector<std::string>{"manufactory"};
        zt::Proc p(b.words(args), {.cwd = b.dir.path, .timeout_s = 60});
        ASSERT_TRUE(zt::reach(b.board, c.at, p.pid()));
        p.signal(SIGINT);
        zt::RunResult r = p.finish();
        EXPECT_EQ(r.status, 1) << c.msg;
        EXPECT_EQ(r.out,
                  (c.device_id ? kId : kMc) + std::string("Received signal 2. Terminating.\n"));
        ASSERT_GE(r.err.size(), c.msg.size());
        EXPECT_EQ(r.err.substr(r.err.size() - c.msg.size()), c.msg) << r.err;
    }
}

}  // namespace
