// Resuming an interrupted block write from its run report: the report records how far the write
// came, "resume" starts at the first sector not known complete, and refuses a report of another
// image, of a write that completed, or one that is no zelk report.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "transfer_text.h"

using zt::Bench;
using zt::pattern;
using zt::RunResult;

namespace {

constexpr int SECTOR = 65536;
constexpr int BLOCKS = 512;  // of a 256 KiB image

long first_incomplete(const std::string &report)
{
    std::smatch m;
    if (!std::regex_search(report, m,
                           std::regex(R"("first_incomplete_sector_offset": (\d+|null))")))
        return -2;
    return m[1] == "null" ? -1 : std::stol(m[1]);
}

zb::Config wire()
{
    zb::Config cfg;
    cfg.wire_speed = true;  // 256 KiB take seconds at 460800: time to interrupt the write
    return cfg;
}

}  // namespace

// Interrupted by SIGTERM at about 60%, then resumed from its report: no block below the first
// incomplete sector goes to the board again, at most one sector's blocks more than remained, and
// verify passes.
TEST(Resume, InterruptedWriteResumesFromItsReport)
{
    Bench b(wire());
    const std::string data = b.image(pattern(4 * SECTOR, 3));
    {
        zt::Proc first(b.words({"erase", "write", "write", "speed", "460800", "report", "run.json",
                                "input", "image.bin"}),
                       {.cwd = b.dir.path});
        // CE, SP, then the blocks: stop at about 60% of them.
        ASSERT_TRUE(b.board.wait_for_commands(2 + BLOCKS * 6 / 10, 120000));
        first.signal(SIGTERM);
        const RunResult r = first.finish();
        EXPECT_EQ(r.status, 1);
        // The step the request ends says so: the block's wait or its offset exchange.
        EXPECT_NE(r.err.find(" terminated"), std::string::npos) << r.err;
    }
    const std::string report = zt::read_file(b.dir.file("run.json"));
    const long from = first_incomplete(report);
    ASSERT_GE(from, SECTOR) << report;
    ASSERT_LT(from, 4 * SECTOR) << report;
    std::size_t confirmed = 0;
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(report, m, std::regex(R"("blocks_sent": (\d+))")));
        confirmed = std::stoul(m[1]);
    }
    const std::size_t before = b.board.commands().size();

    RunResult r = b.run({"write", "write", "speed", "460800", "resume", "run.json", "verify",
                         "report", "run2.json", "input", "image.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nVerify flash ...Ok\n"), std::string::npos) << r.out;
    const std::vector<zb::CommandRecord> commands = b.board.commands();
    std::size_t blocks = 0;
    for (std::size_t i = before; i < commands.size(); i++) {
        if (commands[i].letters == "WB") {
            blocks++;
            ASSERT_TRUE(commands[i].number);
            EXPECT_GE(*commands[i].number, static_cast<U32>(from));
        }
        if (commands[i].letters == "SE") {
            EXPECT_EQ(commands[i].number, static_cast<U32>(from / SECTOR));
        }
    }
    EXPECT_LE(blocks, BLOCKS - confirmed + SECTOR / 512);
    EXPECT_EQ(b.flash(0, data.size()), data);
    EXPECT_EQ(first_incomplete(zt::read_file(b.dir.file("run2.json"))), -1);
}

// The refusals, all before anything is sent.
TEST(Resume, RefusesAnotherImageACompletedWriteAndNoReport)
{
    Bench b;
    b.image(pattern(1300));
    RunResult done = b.run({"write", "report", "run.json", "input", "image.bin"});
    ASSERT_EQ(done.status, 0) << done.err;
    const std::size_t sent = b.board.received().size();

    RunResult r = b.run({"write", "resume", "run.json", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nResume: the write [run.json] records completed: nothing to resume\n");

    const std::string report = zt::read_file(b.dir.file("run.json"));
    zt::write_file(b.dir.file("cut.json"),
                   std::regex_replace(report,
                                      std::regex(R"("first_incomplete_sector_offset": null)"),
                                      "\"first_incomplete_sector_offset\": 0"));
    b.image(pattern(1300, 9));
    r = b.run({"write", "resume", "cut.json", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\nResume: [cut.json] records another image (SHA-256 "), std::string::npos)
        << r.err;

    zt::write_file(b.dir.file("other.json"), "{\"version\": \"1\"}\n");
    r = b.run({"write", "resume", "other.json", "input", "image.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nResume: [other.json] is not a zelk run report\n");

    r = b.run({"read", "resume", "run.json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("only the block write \"write\" can be resumed"), std::string::npos)
        << r.err;
    // What the interrupted run wrote is kept: no erase goes with a resume.
    for (const std::vector<std::string> &erase :
         {std::vector<std::string>{"erase"}, {"erase", "needed"}, {"erase", "sector", "3"}}) {
        std::vector<std::string> words = erase;
        words.insert(words.end(), {"write", "resume", "run.json", "input", "image.bin"});
        r = b.run(words);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("no erase with it"), std::string::npos) << r.err;
    }
    EXPECT_EQ(b.board.received().size(), sent) << "nothing sent for a refused resume";
}
