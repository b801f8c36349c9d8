// The four DRAM tests end to end against the simulated board: every byte of the report shown as
// it comes, each "Wait" phase timed up to the byte after it, the end at "OK" or "Ok".
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>
#include <vector>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "process_state.h"
#include "trace_file.h"

namespace {

constexpr char kHead[] = "Set speed=38400\nDram Test ...\nTest link ...Ok\n";

// The output with every "(S sec U us)" replaced by "(T)", and the intervals in microseconds.
struct Timed {
    std::string text;
    std::vector<long> us;
};

Timed split_times(const std::string &out)
{
    static const std::regex phase(R"(\((\d+) sec (\d{1,6}) us\))");
    Timed t;
    std::string rest = out;
    std::smatch m;
    while (std::regex_search(rest, m, phase)) {
        t.text += m.prefix().str() + "(T)";
        t.us.push_back(std::stol(m[1]) * 1000000 + std::stol(m[2]));
        rest = m.suffix().str();
    }
    t.text += rest;
    return t;
}

// Each phase shown is the time between zelk's reads of its "Wait" and of the byte after it, as
// its trace stamped them (to within what a loaded machine may put between the stamp and the
// timing, which are taken one after the other).
void expect_timed_by_arrivals(const Timed &t, const zt::Trace &trace)
{
    std::vector<long long> gaps;
    const std::string &in = trace.received;
    for (auto at = in.find("Wait"); at != std::string::npos && at + 4 < in.size();
         at = in.find("Wait", at + 1))
        gaps.push_back(trace.received_at[at + 4] - trace.received_at[at + 3]);
    ASSERT_EQ(t.us.size(), gaps.size());
    for (std::size_t i = 0; i < gaps.size(); i++)
        EXPECT_NEAR(t.us[i], gaps[i], 100000) << "phase " << i;
}

// Runs zelk with `w`. With `inside_pause` (a board that reports at once), zelk is looked at once
// the board has both letters and zelk waits: reading through the pause after them, it waits for
// the line, or sleeps out the rest with the report's first bytes already shown; a zelk that
// sleeps first is asleep with none shown. A line the machine holds back only delays the look.
zt::RunResult run_dram(zt::Bench &b, const std::vector<std::string> &w, bool inside_pause)
{
    if (!inside_pause)
        return b.run(w);
    zt::Proc p(b.words(w), {.cwd = b.dir.path});
    const pid_t pid = p.pid();
    zt::poll_until([&] { return b.board.received().starts_with("DT") && zt::in_a_wait(pid); },
                   std::chrono::milliseconds(20000));
    if (zt::stop(pid)) {
        EXPECT_TRUE(zt::waiting_for_line(pid) || p.wait_for_out(std::string(kHead) + "\r\n", 10000))
            << "zelk slept through the pause after the letters";
        p.signal(SIGCONT);
    }
    return p.finish();
}

}  // namespace

// The board's own reports: two timed phases each, 300 ms long. They pass inside the pause after
// the command letters, which zelk spends reading, so each is timed as it ran.
TEST(InspectDramAll, FourTestsInChainOrder)
{
    zt::Bench b;
    zt::RunResult r = run_dram(b,
                               {"dram", "word", "test", "dram", "test", "dram", "byte", "test",
                                "dram", "half", "word", "test", "trace", "t.txt"},
                               true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.board.received(), "DTDBDHDW");
    std::string expected = "Set speed=38400\n";
    for (const char *kind : {"general", "byte", "half word", "word"})
        expected += std::string("Dram Test ...\nTest link ...Ok\n\r\nDRAM ") + kind +
                    " test 0x01000000-0x01FFFFFF\r\nWrite Wait(T)\r\nVerify Wait(T)\r\nOK\nOK\n";
    Timed t = split_times(r.out);
    // The idle board offers its marker again once zelk has read one; on a loaded machine one can
    // cross the first letter of the next test, and the test shows what the monitor sent.
    t.text =
        std::regex_replace(t.text, std::regex("Test link \\.\\.\\.Ok\nrr"), "Test link ...Ok\n");
    EXPECT_EQ(t.text, expected);
    EXPECT_EQ(t.us.size(), 8u);
    expect_timed_by_arrivals(t, zt::read_trace(b.dir.file("t.txt")));
}

namespace {

struct DramCase {
    const char *name;
    zb::Script reply;   // the monitor's whole report
    std::string shown;  // after the handshake, with intervals as "(T)"
    bool inside_pause;  // each "Wait" comes within the pause after the letters
};

void PrintTo(const DramCase &c, std::ostream *os) { *os << c.name; }

// A report that starts after the 3 s pause that follows the second letter.
constexpr int kStartMs = 4000;

std::vector<DramCase> dram_cases()
{
    using zb::go_silent;
    using zb::pause;
    using zb::send;
    return {
        {"TimedPhase",
         {pause(kStartMs), send("\r\nWrite Wait"), pause(2500), send(".OK")},
         "\r\nWrite Wait(T).OK\nOK\n",
         false},
        // Only the last two bytes count: ok and oK go by, Ok ends; nothing after it is read.
        {"OkEnds", {send("\r\nok oK Ok tail"), go_silent()}, "\r\nok oK Ok\nOK\n", true},
        {"BookEnds", {send("\r\nBOOK tail"), go_silent()}, "\r\nBOOK\nOK\n", true},
        // The first letter of the second marker ends the first phase.
        {"TwoWaitsInARow",
         {pause(kStartMs), send("WaitWait"), pause(1500), send("OK")},
         "Wait(T)Wait(T)OK\nOK\n",
         false},
        // A phase of a second that begins and ends inside the pause after the letters is timed
        // from the arrival of its Wait to that of the next byte, not from the pause's end.
        {"PhaseInsideThePause",
         {send("\r\nWrite Wait"), pause(1000), send("\r\nOK")},
         "\r\nWrite Wait(T)\r\nOK\nOK\n",
         true},
        // A Wait with no byte after it within one read is still timed by the byte that comes.
        {"QuietLongerThanOneRead",
         {pause(kStartMs), send("Wait"), pause(31000), send("OK")},
         "Wait(T)OK\nOK\n",
         false},
    };
}

class InspectDram : public testing::TestWithParam<DramCase> {};

TEST_P(InspectDram, Report)
{
    const DramCase &c = GetParam();
    zb::Config cfg;
    cfg.faults.push_back({.command = "DT", .reply = c.reply});
    zt::Bench b(cfg);
    zt::RunResult r = run_dram(b, {"dram", "test", "trace", "t.txt"}, c.inside_pause);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.board.received(), "DT");
    Timed t = split_times(r.out);
    EXPECT_EQ(t.text, kHead + c.shown);
    expect_timed_by_arrivals(t, zt::read_trace(b.dir.file("t.txt")));
}

INSTANTIATE_TEST_SUITE_P(Inspect, InspectDram, testing::ValuesIn(dram_cases()),
                         [](const testing::TestParamInfo<DramCase> &i) { return i.param.name; });

// A silent monitor keeps the test waiting until a termination request.
TEST(InspectDramSignal, SilentMonitorUntilTerminated)
{
    zb::Config cfg;
    cfg.faults.push_back({.command = "DH", .reply = zb::Script{zb::send("Wait"), zb::go_silent()}});
    zt::Bench b(cfg);
    zt::Proc p(b.words({"dram", "half", "word", "test"}), {.cwd = b.dir.path, .timeout_s = 60});
    ASSERT_TRUE(b.board.wait_for_commands(1, 20000));
    ASSERT_TRUE(p.wait_for_out("Wait", 10000));
    p.signal(SIGINT);
    zt::RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kHead) + "WaitReceived signal 2. Terminating.\n");
    const std::string msg = "\nDRAM test terminated.\n";
    ASSERT_GE(r.err.size(), msg.size());
    EXPECT_EQ(r.err.substr(r.err.size() - msg.size()), msg) << r.err;
}

// "dram timeout" seconds with no byte, or with bytes but no phase and no end, end the test.
TEST(InspectDramTimeout, NoProgressEndsTheTest)
{
    zb::Script chatter;
    for (int i = 0; i < 40; i++) {
        chatter.push_back(zb::send("."));
        chatter.push_back(zb::pause(100));
    }
    struct Case {
        const char *name;
        zb::Script reply;
        std::string shown;  // the start of what is shown after the handshake
    } cases[] = {
        {"silent after a phase", {zb::send("Write Wait"), zb::go_silent()}, "Write Wait"},
        {"silent from the start", {zb::go_silent()}, ""},
        {"bytes but no phase", chatter, "...."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zb::Config cfg;
        cfg.faults.push_back({.command = "DT", .reply = c.reply});
        zt::Bench b(cfg);
        zt::RunResult r = b.run({"dram", "test", "dram", "timeout", "2"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nDRAM test: no byte from the monitor for 2 s\n");
        const std::string head = std::string(kHead) + c.shown;
        EXPECT_EQ(r.out.substr(0, head.size()), head);
        EXPECT_EQ(r.out.find("\nOK\n"), std::string::npos) << r.out;
    }
}

// A line that hangs up in the middle of the report ends the test instead of waiting for ever.
TEST(InspectDramSignal, HangUpEndsTheTest)
{
    zb::Config cfg;
    cfg.faults.push_back(
        {.command = "DT",
         .reply = zb::Script{zb::send("Write Wait"), zb::pause(4000), zb::hang_up()}});
    zt::Bench b(cfg);
    zt::RunResult r = b.run({"dram", "test"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, std::string(kHead).size() + 10), std::string(kHead) + "Write Wait");
    const std::string msg = "\nSerial line hung up\n";
    ASSERT_GE(r.err.size(), msg.size());
    EXPECT_EQ(r.err.substr(r.err.size() - msg.size()), msg) << r.err;
}

}  // namespace
