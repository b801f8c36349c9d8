// The protocol trace of "trace FILE": every byte on the line once, in order, with its direction,
// a monotonic timestamp and the speed changes.
#include <gtest/gtest.h>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "trace_file.h"
#include "transfer_text.h"

using zt::Bench;
using zt::pattern;
using zt::RunResult;

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
    const zt::Trace t = zt::read_trace(b.dir.file("t.txt"));
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
