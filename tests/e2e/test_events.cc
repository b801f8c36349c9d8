// What zelk gives programs and stations: the progress file's JSON lines, and the first link
// test's wait for a board ("wait N").
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "json.h"

using zt::Bench;
using zt::RunResult;

namespace {

// The progress file read by a JSON parser: every line one object with the common fields and its
// time; printed back as one summary line per event ("event operation phase result").
std::string summarize_events(const std::string &path)
{
    std::string out;
    double last = -1;
    for (const nlohmann::json &e : zt::read_json_lines(path)) {
        for (const char *k : {"device", "run_id", "label", "event", "time"})
            if (!e.is_object() || !e.contains(k))
                return out + "no " + k + " in " + e.dump() + "\n";
        const double t = zt::utc_seconds(e["time"]);
        if (t < 0)
            return out + "bad time in " + e.dump() + "\n";
        auto word = [&](const char *k) {
            return e[k].is_string() ? e[k].get<std::string>() : e[k].dump();
        };
        if (e["event"] == "progress") {
            if (!(0 <= e["done"] && e["done"] <= e["total"] && e["rate"] >= 0))
                out += "BAD PROGRESS " + e.dump() + "\n";
            if (last >= 0 && t - last < 0.99)
                out += "TOO SOON " + std::to_string(t - last) + "\n";
            last = t;
            out += "progress " + word("operation") + " " + word("phase") + "\n";
            continue;
        }
        std::string line = word("event");
        for (const char *k : {"operation", "phase", "result", "exit_status"})
            if (e.contains(k))
                line.append(" ").append(word(k));
        out += line + "\n";
    }
    return out;
}

// Consecutive progress lines of the same phase folded into one "progress ... xN".
std::string folded(const std::string &summary)
{
    std::istringstream in(summary);
    std::string out, prev;
    int count = 0;
    auto flush = [&] {
        if (count > 0)
            out += prev + (prev.rfind("progress", 0) == 0 ? " (repeated)" : "") + "\n";
        count = 0;
    };
    for (std::string line; std::getline(in, line);) {
        if (line == prev && line.rfind("progress", 0) == 0) {
            ++count;
            continue;
        }
        flush();
        prev = line;
        count = 1;
        if (line.rfind("progress", 0) != 0) {
            out += line + "\n";
            count = 0;
        }
    }
    flush();
    return out;
}

}  // namespace

// A write with its read-back at wire speed: the run, its operations, both phases with progress
// at most once a second, and the end; the human texts are the same as without the file.
TEST(EventsE2E, ProgressFileOfAWriteAndVerify)
{
    zb::Config cfg;
    cfg.wire_speed = true;
    Bench b(cfg);
    std::string image(12000, '\0');
    for (std::size_t i = 0; i < image.size(); i++)
        image[i] = static_cast<char>(i * 13 + 5);
    b.image(image);
    RunResult r = b.run({"erase", "write", "input", "image.bin", "verify", "write", "speed",
                         "115200", "run", "id", "r9", "progress", "ev.jsonl"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string summary = summarize_events(b.dir.file("ev.jsonl"));
    EXPECT_EQ(summary.find("TOO SOON"), std::string::npos) << summary;
    EXPECT_EQ(folded(summary), "run_start\n"
                               "operation_start erase\n"
                               "operation_end erase ok\n"
                               "operation_start write\n"
                               "phase_start write write\n"
                               "progress write write (repeated)\n"
                               "phase_end write write\n"
                               "phase_start write verify\n"
                               "progress write verify (repeated)\n"
                               "phase_end write verify\n"
                               "operation_end write ok\n"
                               "run_end 0\n")
        << summary;
    const std::string text = zt::read_file(b.dir.file("ev.jsonl"));
    EXPECT_NE(text.find("\"run_id\": \"r9\""), std::string::npos);
    EXPECT_NE(text.find("\"phase\": \"write\", \"done\": 12000, \"total\": 12000}"),
              std::string::npos)
        << text;
    EXPECT_EQ(r.err, "");  // nothing of it on the human streams
}

// A failed operation ends with its result and message; the file is appended to, never emptied.
// A label and run id too long for a line once escaped are cut, with a mark, in the events and
// the report alike: no line is lost.
TEST(EventsE2E, FailedOperationAndAppending)
{
    Bench b(zt::with_fault({.command = "MC", .reply = zb::Script{zb::send("MC0000 001")}}));
    zt::write_file(b.dir.file("ev.jsonl"), "");
    const std::string controls(200, '\x01');
    RunResult r1 = b.run({"manufactory", "progress", "ev.jsonl"});
    RunResult r2 = b.run({"manufactory", "progress", "ev.jsonl", "label", controls, "run", "id",
                          controls, "report", "r.json"});
    const std::string label = zt::read_json(b.dir.file("r.json"))["label"];
    EXPECT_EQ(label.substr(label.size() - 6), "\x01[...]");
    EXPECT_EQ(zt::read_json_lines(b.dir.file("ev.jsonl")).back()["run_id"], label);
    EXPECT_EQ(r1.status, 1);
    EXPECT_EQ(r2.status, 1);
    const std::string one = "run_start\n"
                            "operation_start manufactory\n"
                            "operation_end manufactory failed\n"
                            "run_end 1\n";
    EXPECT_EQ(summarize_events(b.dir.file("ev.jsonl")), one + one);
    EXPECT_NE(zt::read_file(b.dir.file("ev.jsonl"))
                  .find("\"message\": \"Error Manufactory Code [0000 001]\""),
              std::string::npos);
}

// A progress file that cannot be opened ends the run before the board is touched.
TEST(EventsE2E, UnwritableProgressFileFailsFirst)
{
    Bench b;
    RunResult r = b.run({"erase", "progress", "/nonexistent/ev.jsonl"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Progress file [/nonexistent/ev.jsonl] open error: No such file or directory\n");
    EXPECT_EQ(b.board.received(), "");
}

// "wait N": the first link test takes whatever comes for up to N seconds. A monitor that sends
// more noise before its marker than the usual test reads (a board being powered) fails
// without it and is taken with it, with the same texts as a normal run.
TEST(EventsE2E, WaitTakesTheMarkerAfterNoise)
{
    zb::Config cfg;
    cfg.ready.junk = std::string(40, 'x');
    {
        Bench b(cfg);
        RunResult r = b.run({"manufactory"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Fail\n");
    }
    Bench b(cfg);
    RunResult r = b.run({"manufactory", "wait", "30"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Ok\nRead Manufactory Code...\n\n Manufactory "
                     "code = [0x00000001]\n");
}

// A board that never answers: the wait ends after its seconds with the usual failure.
TEST(EventsE2E, WaitEndsAfterItsSeconds)
{
    zb::Config cfg;
    cfg.ready.offers = 0;
    Bench b(cfg);
    const auto start = std::chrono::steady_clock::now();
    RunResult r = b.run({"manufactory", "wait", "2"});
    const double sec =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Fail\n");
    EXPECT_GE(sec, 2.0);
    EXPECT_LT(sec, 30.0);
}
