// A write that survives a bad line: the sector of a block that went wrong (at once, or found by
// "verify") is erased and written again where that is safe, within "retries"; a step down of the
// write speed after two failed tries in a row; and a noisy line that today's write does not get
// through.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "json.h"
#include "transfer_text.h"

using zt::Bench;
using zt::pattern;
using zt::RunResult;

namespace {

constexpr U32 SECTOR = 65536;
constexpr U32 BAD_BLOCK = 0x10200;  // in sector 1
const std::string VERIFY_OK = "\nVerify flash ...Ok\n";

zb::Config garbled(U32 offset, long pos, int times)
{
    zb::Config cfg;
    cfg.faults.push_back({.command = "WB",
                          .number = offset,
                          .data_fault = zb::DataFault::WrongByte,
                          .data_fault_at = pos,
                          .times = times});
    return cfg;
}

// The check values of the block at `offset` of `data` as sent and as the board stored it with
// byte `pos` inverted.
std::string trouble(const std::string &data, U32 offset, int pos)
{
    std::vector<U8> block(data.begin() + offset, data.begin() + offset + 512);
    const U32 expected = zb::block_check_value(offset, block.data());
    block[static_cast<std::size_t>(pos)] = static_cast<U8>(~block[static_cast<std::size_t>(pos)]);
    const U32 got = zb::block_check_value(offset, block.data());
    char buf[120];
    std::snprintf(buf, sizeof buf, "Block at 0x%08X: check value 0x%08X, expected 0x%08X", offset,
                  got, expected);
    return buf;
}

std::vector<std::string> numbered(const zb::Board &board, const std::string &letters)
{
    std::vector<std::string> v;
    for (const zb::CommandRecord &c : board.commands())
        if (c.letters == letters)
            v.push_back(c.number ? zb::hex8(*c.number) : "-");
    return v;
}

}  // namespace

// The end of a block garbled once: its check value differs, sector 1 is erased and written again
// from its first block, verify passes, and the report counts the rebuild and the blocks resent.
TEST(Rebuild, GarbledBlockEndRebuildsItsSectorOnce)
{
    Bench b(garbled(BAD_BLOCK, 511, 1));
    const std::string data = b.image(pattern(3 * SECTOR - 1000));
    RunResult r = b.run({"erase", "write", "verify", "report", "run.json", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, std::string("\n")
                         .append(trouble(data, BAD_BLOCK, 511))
                         .append("; rebuilding sector 1 (retry 1 of 3)\n"));
    EXPECT_EQ(numbered(b.board, "SE"), std::vector<std::string>{"00000001"});
    EXPECT_EQ(b.flash(0, data.size()), data);
    EXPECT_NE(r.out.find(VERIFY_OK), std::string::npos) << r.out;
    // Blocks 0x10000 to 0x10200 go again: the block that failed and the one before it.
    const std::string report = zt::read_file(b.dir.file("run.json"));
    EXPECT_NE(report.find("\"sector_rebuilds\": 1, \"retries_made\": 1, \"blocks_resent\": 2, "
                          "\"speed_stepped_down_to\": null"),
              std::string::npos)
        << report;
}

// A byte early in a block garbled once: the check value does not show it, the write ends as
// always, verify finds it, sector 1 is rebuilt and read back again up to its end.
TEST(Rebuild, GarbledEarlyByteFoundByVerifyAndRebuilt)
{
    Bench b(garbled(BAD_BLOCK, 5, 1));
    const std::string data = b.image(pattern(3 * SECTOR - 1000));
    RunResult r = b.run({"erase", "write", "verify", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "\nVerify: 1 byte differs in sector 1; rebuilding sector 1 (retry 1 of 3)\n");
    EXPECT_NE(r.out.find("\nVerify flash ...\nVerify flash ...Ok\n"), std::string::npos) << r.out;
    EXPECT_EQ(numbered(b.board, "SE"), std::vector<std::string>{"00000001"});
    EXPECT_EQ(
        numbered(b.board, "RD"),
        (std::vector<std::string>{zb::hex8(static_cast<U32>(data.size())), zb::hex8(2 * SECTOR)}));
    EXPECT_EQ(b.flash(0, data.size()), data);
}

// A block garbled every time: "retries" rebuilds, then today's failure and why no more, in a
// bounded time.
TEST(Rebuild, AlwaysGarbledFailsAfterTheRetries)
{
    Bench b(garbled(BAD_BLOCK, 511, -1));
    const std::string data = b.image(pattern(2 * SECTOR));
    const auto t0 = std::chrono::steady_clock::now();
    RunResult r = b.run({"erase", "write", "verify", "retries", "2", "input", "image.bin"});
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.status, 1);
    const std::string what = trouble(data, BAD_BLOCK, 511);
    EXPECT_EQ(
        r.err, "\n" + what + "; rebuilding sector 1 (retry 1 of 2)\n\n" + what +
                   "; rebuilding sector 1 (retry 2 of 2)\n"
                   "\nReceived CRC [0x" +
                   [&] {
                       std::string s = what.substr(what.find("0x", 20) + 2, 8);
                       for (char &c : s)
                           c = static_cast<char>(std::tolower(c));
                       return s;
                   }() +
                   "] is not equal calculated [0x" +
                   [&] {
                       std::string s = what.substr(what.rfind("0x") + 2, 8);
                       for (char &c : s)
                           c = static_cast<char>(std::tolower(c));
                       return s;
                   }() +
                   "]\nno retry left: 2 of 2 made\n");
    EXPECT_EQ(numbered(b.board, "SE"), (std::vector<std::string>{"00000001", "00000001"}));
    EXPECT_EQ(numbered(b.board, "RD"), std::vector<std::string>{})
        << "no read-back after a failure";
    // The chip erase and two sector erases, 6 s of paced letters each, and the blocks.
    EXPECT_LT(took, std::chrono::seconds(60));
}

// No erase in the run and an image that does not fill its sector: today's failure, the reason,
// and nothing erased.
TEST(Rebuild, UnsafeSectorIsNotRebuilt)
{
    Bench b(garbled(0x200, 511, 1));
    const std::string data = b.image(pattern(1300));
    RunResult r = b.run({"write", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    const std::string what = trouble(data, 0x200, 511);
    EXPECT_NE(r.err.find("\nReceived CRC [0x"), std::string::npos) << r.err;
    EXPECT_TRUE(
        r.err.ends_with("]\nsector 0 holds bytes outside the image that this run did not erase\n"))
        << r.err;
    EXPECT_EQ(numbered(b.board, "SE"), std::vector<std::string>{});
    EXPECT_EQ(numbered(b.board, "CE"), std::vector<std::string>{});
}

// An image that fills its sector needs no erase of this run to be rebuilt.
TEST(Rebuild, ImageFillingItsSectorIsRebuiltWithoutAnErase)
{
    Bench b(garbled(0x200, 511, 1));
    const std::string data = b.image(pattern(SECTOR));
    RunResult r = b.run({"write", "verify", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, std::string("\n")
                         .append(trouble(data, 0x200, 511))
                         .append("; rebuilding sector 0 (retry 1 of 3)\n"));
    EXPECT_EQ(b.flash(0, data.size()), data);
}

// A rebuild's sector erase taken as a chip erase or another sector: the run stops and says so.
TEST(Rebuild, DamageStopsTheRun)
{
    for (const auto &[fault, said] :
         {std::pair{zb::Fault{.command = "SE", .taken_as = "CE"},
                    "The monitor answered a chip erase: the whole flash is erased"},
          {zb::Fault{.command = "SE", .number = 1, .number_taken_as = 3},
           "Sector 3 was erased instead of sector 1"}}) {
        zb::Config cfg = garbled(BAD_BLOCK, 511, -1);
        cfg.faults.push_back(fault);
        Bench b(cfg);
        const std::string data = b.image(pattern(2 * SECTOR));
        RunResult r = b.run({"write", "verify", "report", "run.json", "input", "image.bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.ends_with("(retry 1 of 3)\n\n" + std::string(said) + "\n")) << r.err;
        EXPECT_EQ(numbered(b.board, "RD"), std::vector<std::string>{});
        EXPECT_EQ(zt::read_json(b.dir.file("run.json"))["operations"][0]["message"],
                  trouble(data, BAD_BLOCK, 511) + "; " + said);
    }
}

// "retries 0" is today's write: today's message alone.
TEST(Rebuild, RetriesZeroIsTodaysWrite)
{
    Bench b(garbled(BAD_BLOCK, 511, 1));
    const std::string data = b.image(pattern(2 * SECTOR));
    RunResult r = b.run({"erase", "write", "retries", "0", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("\nReceived CRC [0x")) << r.err;
    EXPECT_EQ(r.err.find('\n', 1), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_EQ(numbered(b.board, "SE"), std::vector<std::string>{});
}

// Two failed tries in a row at the write speed: the rest runs a step lower, the monitor told with
// the speed frame, and the way back to the normal speed as always.
TEST(Rebuild, TwoFailuresInARowStepTheSpeedDown)
{
    Bench b(garbled(BAD_BLOCK, 511, 2));
    const std::string data = b.image(pattern(2 * SECTOR));
    RunResult r = b.run({"erase", "write", "write", "speed", "115200", "report", "run.json",
                         "verify", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\nTwo tries in a row failed at 115200 baud: the rest of the write runs "
                         "at 57600 baud\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(numbered(b.board, "SP"),
              (std::vector<std::string>{zb::hex8(115200), zb::hex8(57600), zb::hex8(38400)}));
    EXPECT_EQ(b.board.baud(), 38400);
    EXPECT_EQ(b.flash(0, data.size()), data);
    const std::string report = zt::read_file(b.dir.file("run.json"));
    EXPECT_NE(report.find("\"sector_rebuilds\": 2, "), std::string::npos) << report;
    EXPECT_NE(report.find("\"speed_stepped_down_to\": 57600"), std::string::npos) << report;
}

// A noisy line: one bit in about 140000 received bytes flipped (seeded, so every run of this
// test hits the same bytes). Of ten writes of 256 KiB with "verify", today's write (retries 0)
// gets at least 8 through wrong; with the default retries all ten end with the flash equal to
// the image. Ten runs go at once, each against its own board.
TEST(Rebuild, NoisyLineWritesGetThrough)
{
    constexpr int RUNS = 10;
    const std::string data = pattern(4 * SECTOR, 11);
    struct Run {
        std::unique_ptr<Bench> bench;
        std::future<RunResult> result;
    };
    std::vector<Run> today, now;
    auto start = [&](std::vector<Run> &runs, int seed, const char *retries) {
        zb::Config cfg;
        cfg.noise_per_byte = 0.000007;
        cfg.noise_seed = static_cast<unsigned>(seed);
        Run run{std::make_unique<Bench>(cfg), {}};
        run.bench->image(data);
        Bench *bench = run.bench.get();
        run.result = std::async(std::launch::async, [bench, retries] {
            return bench->run(
                {"erase", "write", "verify", "retries", retries, "input", "image.bin"});
        });
        runs.push_back(std::move(run));
    };
    // One batch after the other: ten runs at a time load a shared machine enough.
    for (int seed = 1; seed <= RUNS; seed++)
        start(today, seed, "0");
    int failed_today = 0, flipped = 0;
    for (Run &run : today) {
        const RunResult r = run.result.get();
        failed_today += r.status != 0;
        flipped += run.bench->board.bits_flipped() > 0;
        if (r.status == 0) {
            EXPECT_EQ(run.bench->flash(0, data.size()), data);
        }
    }
    EXPECT_GE(failed_today, 8);
    EXPECT_GE(flipped, 8);
    for (int seed = 1; seed <= RUNS; seed++)
        start(now, seed, "3");
    for (Run &run : now) {
        const RunResult r = run.result.get();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(VERIFY_OK), std::string::npos);
        EXPECT_EQ(run.bench->flash(0, data.size()), data);
    }
}
