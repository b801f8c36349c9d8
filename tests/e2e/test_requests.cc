// Termination requests at random moments, and zelk as a session leader: a request ends the run
// at once whatever zelk is doing, nothing but 0xFF completing the frame it cut goes out after it,
// and the board's line never becomes zelk's controlling terminal.
//
// The moment of each signal is random; the verdict is not a matter of time. zelk is stopped
// (SIGSTOP) at the random moment; while it is stopped the count of bytes it has put on the line
// is exact (those the board took and those still queued for it), and the signal is sent then,
// before it runs on (SIGCONT). A loaded machine may delay the board's reading and zelk's taking
// of the signal by any time, but it cannot change that count: every byte received later is a
// byte sent after the request. The issue's bound of 20 ms after the signal is thus held with a
// margin of 0 bytes, checked on the byte count instead of the board's receive timestamps.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "bench.h"
#include "harness.h"
#include "moment.h"

using zt::Bench;
using zt::Proc;
using zt::RunResult;

namespace {

using ms = std::chrono::milliseconds;

// The controlling terminal's device number in /proc/PID/stat (field 7); 0 when it has none.
long controlling_tty(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(f, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0, tty_nr = -1;
    rest >> state >> ppid >> pgrp >> session >> tty_nr;
    return tty_nr;
}

// ---- zelk as a session leader -----------------------------------------------------------------

// Started as a service or with setsid, zelk leads a session with no controlling terminal. The
// board's line must not become it: a hang-up of the board is then a hung-up line, not SIGHUP.
TEST(SessionLeader, TheLineIsNotItsControllingTerminal)
{
    Bench b(zt::with_fault({.command = "MC", .hang_up_on_command = true}));
    Proc p(b.words({"manufactory"}), {.cwd = b.dir.path, .new_session = true});
    // In the pause after the first letter: the device is open and set up.
    ASSERT_TRUE(zt::reach(b.board, {.command = 0, .received = 1, .in = zt::In::Pause}, p.pid()));
    EXPECT_EQ(controlling_tty(p.pid()), 0) << "the board's line became the controlling terminal";
    RunResult r = p.finish();
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nSerial line hung up\n");
}

// ---- Requests at random moments ---------------------------------------------------------------

struct Operation {
    std::string name;
    std::vector<std::string> words;
    zb::Config board;
    std::size_t image_bytes;  // the input file's size; 0: none
    int window_ms;            // the signal comes this long at most after zelk starts, well before
                              // the operation could end
};

zb::Config board_with(void (*set)(zb::Config &))
{
    zb::Config c;
    set(c);
    return c;
}

// Each operation lasts seconds longer than its window: its pauses and the board's timed work (an
// erase, the DRAM phases, a transfer at wire speed) alone take that long. A late moment, after a
// zelk that ended well, is drawn again.
const std::vector<Operation> &operations()
{
    static const std::vector<Operation> ops = {
        // Link test, "C" and "E" with 3 s after each; the erase begins with the "E" and lasts
        // 6 s: over 9 s.
        {"ChipErase", {"erase"}, board_with([](zb::Config &c) { c.erase_ms = 6000; }), 0, 7000},
        // Two sectors of over 6 s each.
        {"SectorErase", {"erase", "sector", "3,4"}, {}, 0, 9000},
        // 80 blocks of 512 bytes at 38400 baud on the wire: over 10 s.
        {"BlockWrite",
         {"write", "input", "image.bin"},
         board_with([](zb::Config &c) { c.wire_speed = true; }),
         40960,
         7000},
        // "W" and "R" with 3 s after each, the count, then 12 000 bytes each echoed at 38400
        // baud on the wire: over 12 s.
        {"ByteWrite",
         {"bwrite", "input", "image.bin"},
         board_with([](zb::Config &c) { c.wire_speed = true; }),
         12000,
         9000},
        // 6 s of letters, then two phases of 3 s.
        {"DramTest",
         {"dram", "test"},
         board_with([](zb::Config &c) { c.dram_phase_ms = 3000; }),
         0,
         9000},
        // "R" and "D" with 3 s after each, the count, then 40 000 bytes at 38400 baud on the wire:
        // over 16 s.
        {"Read",
         {"read", "size", "40000"},
         board_with([](zb::Config &c) { c.wire_speed = true; }),
         0,
         12000},
    };
    return ops;
}

constexpr int SIGNALS_PER_OPERATION = 34;  // 204 over the six operations
constexpr int RUNS_AT_ONCE = 6;            // boards and zelks side by side in one test

std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 37 + 11) % 253 + 1);
    return s;
}

// What one run under a random request showed.
struct Outcome {
    bool signalled = false;
    bool ended_first = false;  // zelk did the whole operation, and well, before the moment
    std::string problem;       // empty when the run ended as it must
};

Outcome one_run(const Operation &op, int sig, std::mt19937 &rng)
{
    Outcome o;
    Bench b(op.board);
    if (op.image_bytes)
        b.image(pattern(op.image_bytes));
    const auto start = std::chrono::steady_clock::now();
    Proc p(b.words(op.words), {.cwd = b.dir.path, .timeout_s = 120});
    std::this_thread::sleep_for(ms(std::uniform_int_distribution<int>(0, op.window_ms)(rng)));
    std::size_t sent = 0;
    std::chrono::steady_clock::time_point at;
    // The random moment is kept when zelk is stopped in one of its waits (almost always: it
    // spends nearly all its time there); else it goes on for a few milliseconds and is stopped
    // again.
    for (int attempt = 0; attempt < 1000 && !o.signalled; attempt++) {
        if (!zt::stop(p.pid())) {
            RunResult r = p.finish();
            o.ended_first = r.status == 0 && r.signal == 0 && !r.timed_out;
            o.problem = "zelk ended before the signal, " +
                        std::to_string((std::chrono::steady_clock::now() - start) / ms(1)) +
                        " ms after its start, at attempt " + std::to_string(attempt) + ", status " +
                        std::to_string(r.status) + ": " + r.out + r.err;
            return o;
        }
        if (zt::in_a_wait(p.pid())) {
            sent = b.board.sent_by_host();
            at = std::chrono::steady_clock::now();
            p.signal(sig);
            o.signalled = true;
        }
        p.signal(SIGCONT);
        at = std::chrono::steady_clock::now();
        if (!o.signalled)
            std::this_thread::sleep_for(ms(std::uniform_int_distribution<int>(1, 5)(rng)));
    }
    // The request ends the wait it finds at once, and the run with it. A wait that went on would
    // end by itself (a pause runs out, a reply arrives) and send nothing more: what shows it is
    // zelk seen in a wait once it has taken the signal, however late a loaded machine lets it.
    bool waited_on = false;
    zt::poll_until(
        [&] {
            const char state = zt::state_of(p.pid());
            if (state == 'Z' || state == 0)
                return true;
            waited_on = !zt::pending(p.pid(), sig) && zt::in_a_wait(p.pid());
            return waited_on;
        },
        std::chrono::seconds(60));
    RunResult r = p.finish();
    if (!o.signalled) {
        o.problem = "zelk was never found in a wait";
        return o;
    }
    std::ostringstream why;
    if (r.timed_out || r.signal != 0 || r.status != 1)
        why << "status " << r.status << " signal " << r.signal << "; ";
    if (r.err.find("TYY read error") != std::string::npos)
        why << "a read error reported; ";
    const std::string line = "Received signal " + std::to_string(sig) + ". Terminating.\n";
    if (r.out.find(line) == std::string::npos)
        why << "no \"" << line.substr(0, line.size() - 1) << "\" on stdout; ";
    const std::string received = b.board.received_all();
    // The way back waits on purpose: a cut frame completed with 0xFF is followed by a wait for
    // the monitor's marker, the rest of a read is taken. Only a run that had none is judged by
    // its waits. (zelk's message tells of a 0xFF its end flushed before the pty handed it over.)
    const bool way_back = received.find('\xFF', sent) != std::string::npos || op.name == "Read" ||
                          r.err.find("\" was cut short") != std::string::npos;
    if (waited_on && !way_back)
        why << "in a wait after it had taken the signal; ";
    if (received.find_first_not_of('\xFF', sent) != std::string::npos) {
        const auto times = b.board.received_times();
        const auto late = (times.back() - at) / ms(1);
        why << received.size() - sent << " bytes went out after the signal (the last " << late
            << " ms after it): \"" << received.substr(sent, 40) << "\"; ";
    }
    if (!why.str().empty())
        o.problem = why.str() + "stderr: " + r.err;
    return o;
}

void PrintTo(const Operation &o, std::ostream *os) { *os << o.name; }

class RandomRequests : public testing::TestWithParam<Operation> {};

TEST_P(RandomRequests, NothingGoesOutAfterTheSignal)
{
    const Operation &op = GetParam();
    std::mutex mu;
    int signalled = 0;
    std::vector<std::string> problems;
    std::vector<std::thread> workers;
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    for (int w = 0; w < RUNS_AT_ONCE; w++) {
        workers.emplace_back([&, w] {
            std::mt19937 rng(seed + static_cast<unsigned>(w));
            for (int i = w; i < SIGNALS_PER_OPERATION; i += RUNS_AT_ONCE) {
                const int sig = i % 2 ? SIGTERM : SIGINT;
                Outcome o = one_run(op, sig, rng);
                for (int draw = 1; o.ended_first && draw < 4; draw++)
                    o = one_run(op, sig, rng);
                std::lock_guard<std::mutex> lock(mu);
                signalled += o.signalled ? 1 : 0;
                if (!o.problem.empty())
                    problems.push_back("run " + std::to_string(i) + " (signal " +
                                       std::to_string(sig) + "): " + o.problem);
            }
        });
    }
    for (std::thread &t : workers)
        t.join();
    EXPECT_EQ(signalled, SIGNALS_PER_OPERATION) << "seed " << seed;
    for (const std::string &p : problems)
        ADD_FAILURE() << p << " (seed " << seed << ")";
}

INSTANTIATE_TEST_SUITE_P(Requests, RandomRequests, testing::ValuesIn(operations()),
                         [](const testing::TestParamInfo<Operation> &i) { return i.param.name; });

}  // namespace
