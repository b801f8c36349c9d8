// The protocol trace of "trace FILE": every byte on the line once, in order, with its direction,
// a monotonic timestamp and the speed changes.
#include <gtest/gtest.h>

#include <sstream>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "transfer_text.h"

using zt::Bench;
using zt::pattern;
using zt::RunResult;

namespace {

struct Trace {
    std::string sent, received;
    std::vector<int> speeds;
    bool ordered = true;  // timestamps never go back
    bool short_lines = true;
};

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

Trace parse(const std::string &text)
{
    Trace t;
    std::istringstream in(text);
    std::string line;
    long long last = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        long long us = 0;
        std::string kind;
        words >> us >> kind;
        t.ordered = t.ordered && us >= last;
        last = us;
        if (kind == "speed") {
            int baud = 0;
            words >> baud;
            t.speeds.push_back(baud);
            continue;
        }
        std::string &to = kind == ">" ? t.sent : t.received;
        EXPECT_TRUE(kind == ">" || kind == "<") << line;
        int count = 0;
        for (std::string h; words >> h && h[0] != '|';) {
            EXPECT_EQ(h.size(), 2u) << line;
            to += static_cast<char>(hex_value(h[0]) * 16 + hex_value(h[1]));
            count++;
        }
        t.short_lines = t.short_lines && count >= 1 && count <= 16;
    }
    return t;
}

}  // namespace

// A fast write with a block that goes wrong once and its sector rebuilt, and its read-back: the
// trace holds every byte the board received, in order, the failing block's among them, what came
// back, and the speeds.
TEST(Trace, EveryByteOfARunOnceInOrder)
{
    zb::Config cfg;
    cfg.faults.push_back({.command = "WB",
                          .number = 0x200,
                          .data_fault = zb::DataFault::WrongByte,
                          .data_fault_at = 511,
                          .times = 1});
    Bench b(cfg);
    const std::string data = b.image(pattern(3000));
    RunResult r = b.run({"erase", "write", "write", "speed", "115200", "verify", "trace", "t.txt",
                         "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    const Trace t = parse(zt::read_file(b.dir.file("t.txt")));
    EXPECT_EQ(t.sent, b.board.received());
    EXPECT_TRUE(t.ordered);
    EXPECT_TRUE(t.short_lines);
    EXPECT_EQ(t.speeds, (std::vector<int>{38400, 115200, 38400}));
    // The failing block went out twice: before and in the rebuild.
    const std::string block = data.substr(0x200, 512);
    const std::size_t first = t.sent.find(block);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(t.sent.find(block, first + 1), std::string::npos);
    // The read-back came in whole: the image's bytes follow the "RD" prompt and echo.
    EXPECT_NE(t.received.find("RD" + zb::hex8(3000) + data), std::string::npos);
}

// A trace that cannot be created ends the run before the device is touched.
TEST(Trace, FileThatCannotBeCreatedRefusesTheRun)
{
    Bench b;
    b.image(pattern(100));
    RunResult r = b.run({"write", "trace", "no/such/dir/t.txt", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Trace file [no/such/dir/t.txt] open error"), std::string::npos) << r.err;
    EXPECT_EQ(b.board.received(), "");
}
