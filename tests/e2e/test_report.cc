// The run report end to end: its content after a success, after a failure in each operation and
// after a signal; that it leaves stdout and stderr as they are; that a reader never finds half a
// report. The JSON is read by a parser, as any consumer reads it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "json.h"
#include "moment.h"

using zt::Bench;
using zt::Proc;
using zt::RunResult;

namespace {

const std::set<std::string> RUN_KEYS = {"version",    "device", "device_by_id", "host",
                                        "label",      "run_id", "image_sha256", "manufacturer_code",
                                        "device_id",  "start",  "end",          "seconds",
                                        "operations", "signal", "exit_status"};
const std::set<std::string> OPERATION_KEYS = {"bytes_received", "bytes_sent", "message",
                                              "name",           "result",     "seconds"};

std::set<std::string> keys_of(const nlohmann::json &object)
{
    std::set<std::string> keys;
    for (const auto &item : object.items())
        keys.insert(item.key());
    return keys;
}

// The report as any consumer reads it, by a JSON parser, its shape checked: the run's keys and
// no other, its times in UTC to a fraction of a second with the end not before the start, the
// operation's keys in each operation (and an image in a write's alone).
testing::AssertionResult read_report(const std::string &path, nlohmann::json &r)
{
    r = zt::read_json(path);
    if (!r.is_object())
        return testing::AssertionFailure() << "no JSON object: " << zt::read_file(path);
    if (keys_of(r) != RUN_KEYS)
        return testing::AssertionFailure() << "keys of " << r.dump();
    const double start = zt::utc_seconds(r["start"]), end = zt::utc_seconds(r["end"]);
    if (start < 0 || end < start)
        return testing::AssertionFailure() << "start and end: " << r["start"] << r["end"];
    for (nlohmann::json op : r["operations"]) {
        if (op.contains("image") && op["name"] != "write")
            return testing::AssertionFailure() << "an image in " << op.dump();
        op.erase("image");
        if (keys_of(op) != OPERATION_KEYS)
            return testing::AssertionFailure() << "keys of " << op.dump();
    }
    return testing::AssertionSuccess();
}

// The last line with text in it, blanks at its ends dropped.
std::string last_line(const std::string &s)
{
    std::size_t end = s.find_last_not_of(" \t\r\n");
    if (end == std::string::npos)
        return "";
    std::size_t start = s.find_last_of("\r\n", end);
    start = start == std::string::npos ? 0 : start + 1;
    start = s.find_first_not_of(" \t", start);
    return s.substr(start, end + 1 - start);
}

// No report file of a run is left under its temporary name.
void expect_no_temporary(const zt::TempDir &dir)
{
    const std::string cmd = "ls -a '" + dir.path + "' | grep -c '\\.tmp$'";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[16] = "";
    ASSERT_NE(std::fgets(buf, sizeof buf, p), nullptr);
    pclose(p);
    EXPECT_STREQ(buf, "0\n");
}

}  // namespace

TEST(ReportE2E, SuccessListsEveryOperationWithItsBytes)
{
    Bench b;
    b.board.load_flash(0, std::vector<U8>(2048, 0x5A));
    RunResult r = b.run({"manufactory", "read", "size", "2048", "report", "run.json"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    nlohmann::json f;
    ASSERT_TRUE(read_report(b.dir.file("run.json"), f));
    EXPECT_EQ(f["version"], "0.1.0");
    EXPECT_EQ(f["device"], b.board.path());
    EXPECT_EQ(f["exit_status"], 0);
    EXPECT_TRUE(f["signal"].is_null());
    nlohmann::json &ops = f["operations"];
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0]["name"], "manufactory");
    EXPECT_EQ(ops[0]["result"], "ok");
    EXPECT_TRUE(ops[0]["message"].is_null());
    EXPECT_EQ(ops[0]["bytes_sent"], 2);  // the two letters
    EXPECT_EQ(ops[1]["name"], "read");
    EXPECT_EQ(ops[1]["result"], "ok");
    EXPECT_EQ(ops[1]["bytes_sent"], 10);  // letters and the 8-digit count
    // The data, the count's echo and the prompt after at least one ready marker.
    EXPECT_GE(ops[1]["bytes_received"], 2048 + 8 + 2 + 2);
    EXPECT_GE(ops[0]["seconds"], 6.0);  // two paced letters
    EXPECT_GE(f["seconds"], ops[0]["seconds"].get<double>() + ops[1]["seconds"].get<double>());
    expect_no_temporary(b.dir);
}

// What makes a record traceable: the host, the flash ids read, the image's digest, the label
// and the run id, the device's stable name (none on a pseudo-terminal); text in any language
// kept as it is.
TEST(ReportE2E, TraceableRecord)
{
    Bench b;
    zt::write_file(b.dir.file("image.bin"), "abc");
    RunResult r = b.run({"manufactory", "device", "id", "write", "input", "image.bin", "label",
                         "SN-0042 devé", "run", "id", "r1/3", "report", "run.json"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    nlohmann::json f;
    ASSERT_TRUE(read_report(b.dir.file("run.json"), f));
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    EXPECT_EQ(f["host"], host);
    EXPECT_EQ(f["label"], "SN-0042 devé");
    EXPECT_NE(zt::read_file(b.dir.file("run.json")).find("\"label\": \"SN-0042 devé\""),
              std::string::npos);
    EXPECT_EQ(f["run_id"], "r1/3");
    EXPECT_EQ(f["image_sha256"],
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(f["manufacturer_code"], "0x00000001");
    EXPECT_EQ(f["device_id"], "0x000000c8");
    EXPECT_TRUE(f["device_by_id"].is_null());
}

// Without those options, and without a write, the fields are there and null.
TEST(ReportE2E, TraceFieldsNullWhenNotGiven)
{
    Bench b;
    RunResult r = b.run({"registers", "report", "run.json"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    nlohmann::json f;
    ASSERT_TRUE(read_report(b.dir.file("run.json"), f));
    for (const char *k : {"label", "run_id", "image_sha256", "manufacturer_code", "device_id"})
        EXPECT_TRUE(f[k].is_null()) << k;
}

// A report changes nothing else the run shows: the same failure with and without one.
TEST(ReportE2E, StdoutAndStderrAsWithoutReport)
{
    zb::Fault bad{.command = "MC", .reply = zb::Script{zb::send("MC0000 001")}};
    RunResult with_report, without;
    {
        Bench b(zt::with_fault(bad));
        with_report = b.run({"manufactory", "report", "r.json"});
    }
    {
        Bench b(zt::with_fault(bad));
        without = b.run({"manufactory"});
    }
    EXPECT_EQ(with_report.status, 1);
    EXPECT_EQ(with_report.status, without.status);
    EXPECT_EQ(with_report.out, without.out);
    EXPECT_EQ(with_report.err, without.err);
}

namespace {

struct FailCell {
    std::string name;
    std::vector<std::string> words;  // the failing operation, with one more before or after it
    zb::Fault fault;
    int failing;          // index of the failing operation in the report
    std::string message;  // its message in the report
    std::string cause;    // what went wrong first: the message's start
};

void PrintTo(const FailCell &c, std::ostream *os) { *os << c.name; }

zb::Fault hang_up_on(const std::string &cmd)
{
    return {.command = cmd, .hang_up_on_command = true};
}

zb::Fault reply_is(const std::string &cmd, zb::Script s)
{
    return {.command = cmd, .reply = std::move(s)};
}

const char HUNG_UP[] = "Serial line hung up";

std::vector<FailCell> fail_cells()
{
    return {
        {"Manufactory",
         {"manufactory", "registers"},
         reply_is("MC", {zb::send("MC0000 001")}),
         0,
         "Error Manufactory Code [0000 001]"},
        {"DeviceId",
         {"device", "id", "registers"},
         reply_is("ID", {zb::send("ID000000G8")}),
         0,
         "Error Device Id [000000G8]"},
        {"Erase", {"erase", "registers"}, hang_up_on("CE"), 0, HUNG_UP},
        {"EraseSector", {"erase", "sector", "3", "registers"}, hang_up_on("SE"), 0, HUNG_UP},
        {"DramTest", {"dram", "test", "registers"}, hang_up_on("DT"), 0, HUNG_UP},
        {"BlockWrite",
         {"write", "input", "image.bin", "registers"},
         reply_is("WB", {zb::send("00000000")}),
         0,
         "",
         "Block at 0x00000000: check value 0x00000000, expected 0xF0F0F778"},
        {"Verify",
         {"write", "verify", "input", "image.bin", "registers"},
         {.command = "WB", .data_fault = zb::DataFault::WrongByte, .data_fault_at = 5},
         0,
         "sector 0 holds bytes outside the image that this run did not erase",
         "verify: 2 bytes differ, the first at 0x5"},
        {"ByteWrite",
         {"bwrite", "input", "image.bin", "registers"},
         {.command = "WR", .data_fault = zb::DataFault::WrongByte, .data_fault_at = 10},
         0,
         ""},
        {"Read",
         {"read", "size", "4096", "registers"},
         {.command = "RD", .data_fault = zb::DataFault::HangUp, .data_fault_at = 1000},
         0,
         HUNG_UP},
        {"Registers", {"manufactory", "registers"}, hang_up_on("RR"), 1, HUNG_UP},
    };
}

class ReportFailure : public testing::TestWithParam<FailCell> {};

}  // namespace

// The failing operation is "failed" with the last line it printed on stderr, those before it
// "ok", those after it "not run"; the exit status is the run's.
TEST_P(ReportFailure, Cell)
{
    const FailCell &c = GetParam();
    Bench b(zt::with_fault(c.fault));
    b.image(std::string(600, 'x'));
    std::vector<std::string> words = c.words;
    words.insert(words.end(), {"report", "run.json"});
    RunResult r = b.run(words);
    ASSERT_EQ(r.status, 1) << r.out << r.err;
    nlohmann::json f;
    ASSERT_TRUE(read_report(b.dir.file("run.json"), f));
    EXPECT_EQ(f["exit_status"], 1);
    nlohmann::json &ops = f["operations"];
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[c.failing]["result"], "failed");
    const std::string shown = last_line(r.err.empty() ? r.out : r.err);
    EXPECT_EQ(ops[c.failing]["message"], c.cause.empty() ? shown : c.cause + "; " + shown) << r.err;
    if (!c.message.empty()) {
        EXPECT_EQ(shown, c.message);
    }
    if (c.failing == 1) {
        EXPECT_EQ(ops[0]["result"], "ok");
        EXPECT_TRUE(ops[0]["message"].is_null());
    } else {
        EXPECT_EQ(ops[1]["result"], "not run");
        EXPECT_EQ(ops[1]["seconds"], 0.0);
        EXPECT_EQ(ops[1]["bytes_received"], 0);
    }
    expect_no_temporary(b.dir);
}

INSTANTIATE_TEST_SUITE_P(ReportE2E, ReportFailure, testing::ValuesIn(fail_cells()),
                         [](const testing::TestParamInfo<FailCell> &i) { return i.param.name; });

// A chip erase that says "Fail" on stdout alone: that stands in as the message.
TEST(ReportE2E, FailureShownOnStdoutIsTheMessage)
{
    Bench b(zt::with_fault(reply_is("CE", {zb::send(std::string(31, '~'))})));
    RunResult r = b.run({"erase", "report", "run.json"});
    ASSERT_EQ(r.status, 1);
    nlohmann::json f;
    ASSERT_TRUE(read_report(b.dir.file("run.json"), f));
    EXPECT_EQ(f["operations"][0]["result"], "failed");
    EXPECT_EQ(f["operations"][0]["message"], "Erase flash ...Fail");
}

// Ends before any operation: options that select none, and a device that does not open.
TEST(ReportE2E, RunEndingBeforeTheOperations)
{
    zt::TempDir dir;
    RunResult r = zt::run_zelk({"report", "run.json"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    nlohmann::json f;
    ASSERT_TRUE(read_report(dir.file("run.json"), f));
    EXPECT_EQ(f["operations"].size(), 0u);
    EXPECT_EQ(f["exit_status"], 1);

    r = zt::run_zelk({"erase", "report", "run.json", "/dev/pts"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(read_report(dir.file("run.json"), f));
    EXPECT_EQ(f["operations"][0]["name"], "erase");
    EXPECT_EQ(f["operations"][0]["result"], "not run");
    EXPECT_EQ(f["device"], "/dev/pts");
}

// A report that cannot be written is said so, and the run fails: the user asked for the record.
TEST(ReportE2E, UnwritableReportIsReported)
{
    zt::TempDir dir;
    RunResult r = zt::run_zelk({"report", "/nonexistent/run.json", "--version"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find("\nReport file [/nonexistent/run.json] open error: No such file or directory\n"),
        std::string::npos)
        << r.err;
}

namespace {

struct SignalCell {
    std::string name;
    int sig;
    std::string message;
};

void PrintTo(const SignalCell &c, std::ostream *os) { *os << c.name; }

class ReportSignal : public testing::TestWithParam<SignalCell> {};

}  // namespace

// A read the board stops in the middle of: a termination signal, and a fatal one, end it.
TEST_P(ReportSignal, Cell)
{
    const SignalCell &c = GetParam();
    Bench b(zt::with_fault(
        {.command = "RD", .data_fault = zb::DataFault::Silence, .data_fault_at = 100}));
    Proc p(b.words({"read", "size", "4096", "registers", "report", "run.json"}),
           {.cwd = b.dir.path});
    // The prompt, the echo and the 100 bytes the board sends have been read; zelk waits for more.
    ASSERT_TRUE(
        zt::reach(b.board, {.command = 1, .number = true, .consumed = 2 + 8 + 100}, p.pid()));
    p.signal(c.sig);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    nlohmann::json f;
    ASSERT_TRUE(read_report(b.dir.file("run.json"), f));
    EXPECT_EQ(f["signal"], c.sig);
    EXPECT_EQ(f["exit_status"], 1);
    nlohmann::json &ops = f["operations"];
    EXPECT_EQ(ops[0]["result"], "terminated");
    EXPECT_EQ(ops[0]["message"], c.message) << r.err;
    EXPECT_GE(ops[0]["bytes_received"], 100);
    EXPECT_EQ(ops[1]["result"], "not run");
    expect_no_temporary(b.dir);
}

INSTANTIATE_TEST_SUITE_P(ReportE2E, ReportSignal,
                         testing::Values(SignalCell{"Sigterm", SIGTERM, "Flash read terminated."},
                                         SignalCell{"Sigint", SIGINT, "Flash read terminated."},
                                         SignalCell{"Sigusr1", SIGUSR1,
                                                    "Received unknown signal 10"}),
                         [](const testing::TestParamInfo<SignalCell> &i) { return i.param.name; });

// The temporary file has a name nobody can guess and is created new: a link that another user
// planted where the name was once predictable (REPORT.PID.tmp) is left alone, and so is its
// target; the report appears whole and no temporary file stays behind.
TEST(ReportE2E, TemporaryFileIsNewAndUnguessable)
{
    zt::Pty pty;  // a far end that never answers: the handshake fails after its waits
    zt::TempDir dir;
    const std::string report = dir.file("run.json");
    const std::string victim = dir.file("victim");
    zt::write_file(victim, "keep\n");
    Proc p({"manufactory", "report", report, pty.path}, {.cwd = dir.path});
    const std::string planted = report + "." + std::to_string(p.pid()) + ".tmp";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(zt::read_file(victim), "keep\n");
    nlohmann::json f;
    ASSERT_TRUE(read_report(report, f));
    EXPECT_EQ(f["exit_status"], 1);
    ASSERT_EQ(unlink(planted.c_str()), 0);
    expect_no_temporary(dir);
}

// A report over a file the run uses, over the device, or over what is not a regular file is
// refused before the device is opened: the board hears nothing and the file stays as it was.
TEST(ReportE2E, ReportOverAnotherFileIsRefused)
{
    Bench b;
    b.image("image");
    const std::string dir = b.dir.file("folder");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    zt::write_file(b.dir.file("out.bin"), "old");
    struct Case {
        std::vector<std::string> words;
        std::string err;
    };
    const Case cases[] = {
        {{"write", "input", "image.bin", "report", "image.bin"},
         "\nReport file [image.bin] is the input file [image.bin]\n"},
        {{"bwrite", "input", "image.bin", "report", "./image.bin"},
         "\nReport file [./image.bin] is the input file [image.bin]\n"},
        {{"read", "size", "4", "output", "out.bin", "report", "out.bin"},
         "\nReport file [out.bin] is the output file [out.bin]\n"},
        {{"read", "size", "4", "output", "new.bin", "report", "new.bin"},
         "\nReport file [new.bin] is the output file [new.bin]\n"},
        {{"manufactory", "report", "/dev/null"},
         "\nReport file [/dev/null] is not a regular file\n"},
        {{"manufactory", "report", dir}, "\nReport file [" + dir + "] is not a regular file\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        RunResult r = b.run(c.words);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    // The device, named by its path.
    RunResult r = b.run({"manufactory", "report", b.board.path()});
    EXPECT_EQ(r.err,
              "\nReport file [" + b.board.path() + "] is the device [" + b.board.path() + "]\n");
    EXPECT_EQ(b.board.received(), "");
    EXPECT_EQ(zt::read_file(b.dir.file("image.bin")), "image");
    EXPECT_EQ(zt::read_file(b.dir.file("out.bin")), "old");
    EXPECT_FALSE(zt::file_exists(b.dir.file("new.bin")));
    EXPECT_TRUE(zt::file_exists("/dev/null"));
}
