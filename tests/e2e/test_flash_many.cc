// scripts/flash-many end to end: simulated boards, the real zelk on each, run by GNU parallel or,
// board after board, by the station (zelk-station); the reports read back as a reader reads them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "board.h"
#include "harness.h"
#include "json.h"

namespace {

struct Shell {
    int status = -1;
    std::string out;
};

Shell shell(const std::string &cmd)
{
    Shell r;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string image_bytes(std::size_t len, int seed)
{
    std::string s(len, '\0');
    for (std::size_t i = 0; i < len; i++)
        s[i] = static_cast<char>(i * 7 + seed);
    return s;
}

// flash-many run in `dir` with its options, image.bin and the devices.
Shell flash_many(const zt::TempDir &dir, const std::string &options,
                 const std::vector<const zb::Board *> &boards)
{
    std::string cmd = "cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
                      zt::zelk_binary() + " " + options;
    for (const zb::Board *b : boards)
        cmd += " " + b->path();
    return shell(cmd);
}

// One table row: number, device, result (a regular expression), seconds with one decimal.
std::string row(int n, const std::string &device, const std::string &result)
{
    return std::to_string(n) + " +" + device + " +" + result + " +[0-9]+\\.[0-9]\n";
}

const std::string HEADER = "N +DEVICE +RESULT +SECONDS\n";

// Polls `done` every 20 ms until it holds or `timeout_s` pass: the events waited on are files
// that another process writes.
bool wait_until(const std::function<bool()> &done, int timeout_s = 120)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Lines of a file that contain `text`.
int lines_with(const std::string &path, const std::string &text)
{
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(text) != std::string::npos;
    return n;
}

// A link under /dev to a board's line (zelk takes devices under /dev only, as a stable by-id
// name is), switched at once by a rename and removed when the object goes. Declared after its
// board, it goes first: no slot follows a link to a pseudo-terminal whose number another test's
// board may get next.
struct Link {
    std::string path;
    ~Link() { unlink(path.c_str()); }
    void to(const zb::Board &b) const
    {
        const std::string tmp = path + ".new";
        ASSERT_EQ(symlink(b.path().c_str(), tmp.c_str()), 0);
        ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
    }
};

// Events of one kind in the events file so far.
int events_of(const std::string &events, const std::string &kind)
{
    return lines_with(events, "\"" + kind + "\"");
}

const char *const FLASH_MANY = ZELK_SOURCE_DIR "/scripts/flash-many";

// flash-many --station on the devices, in folder `dir` with its image.bin, its logs in dir/logs.
std::vector<std::string> station_args(const std::string &zelk, const std::string &options,
                                      const std::vector<std::string> &devices)
{
    std::vector<std::string> a = {"--zelk", zelk, "--station", "--logs", "logs"};
    std::istringstream words(options);
    for (std::string w; words >> w;)
        a.push_back(w);
    a.push_back("image.bin");
    a.insert(a.end(), devices.begin(), devices.end());
    return a;
}

// A station still running when its test ends (a failed assertion) is ended as an operator ends
// it: a Ctrl-C to its process group, and once it has shown that it saw that one (two signals sent
// at once may merge into one), a second, so that its boards in progress end too.
void end_station(pid_t pid, const std::string &events, const std::function<void()> &ctrl_c)
{
    const char state = zt::state_of(pid);
    if (state == 0 || state == 'Z')
        return;
    ctrl_c();
    wait_until([&] { return events_of(events, "station_ending") > 0; }, 60);
    ctrl_c();
}

// No process is left of the test's run: none names its folder on its command line (every job's
// zelk names its image there).
std::string left_running(const std::string &dir)
{
    std::string found;
    std::error_code ec;
    for (std::filesystem::directory_iterator p("/proc", ec), end; !ec && p != end;
         p.increment(ec)) {
        std::string cmd = zt::read_file(p->path().string() + "/cmdline");
        std::replace(cmd.begin(), cmd.end(), '\0', ' ');
        if (cmd.find(dir + "/") != std::string::npos)
            found += p->path().filename().string() + ": " + cmd + "\n";
    }
    return found;
}

}  // namespace

// One board holds an earlier image, one stores a byte wrong: by default each chip is erased
// and read back, so the first two are ok and the third is not; without erase and verify (the
// old behaviour) all three are "ok" whatever their flash holds.
TEST(FlashManyE2E, VerifiedByDefault)
{
    ASSERT_EQ(shell("command -v parallel && command -v jq").status, 0) << "needs parallel, jq";
    zt::TempDir dir;
    const std::string image = image_bytes(1500, 1);
    zt::write_file(dir.file("image.bin"), image);
    auto earlier = [] {
        zb::Board *b = new zb::Board;
        b->load_flash(0, std::vector<U8>(1500, 0x0F));  // bits the write cannot set
        return b;
    };
    zb::Config bad;
    bad.faults.push_back(
        {.command = "WB", .data_fault = zb::DataFault::WrongByte, .data_fault_at = 100});
    {
        zb::Board b1, b3(bad);
        std::unique_ptr<zb::Board> b2(earlier());
        for (zb::Board *b : {&b1, b2.get(), &b3})
            ASSERT_TRUE(b->start());
        const Shell r = flash_many(dir, "--logs logs image.bin", {&b1, b2.get(), &b3});
        EXPECT_EQ(r.status, 1) << r.out;
        const std::regex table(HEADER + row(1, b1.path(), "ok") + row(2, b2->path(), "ok") +
                               // The first cause, and why the write gave up.
                               row(3, b3.path(),
                                   "write: verify: 3 bytes differ, the first at "
                                   "0x64; no retry left: 3 of 3 made") +
                               "logs and reports: " + dir.path + "/logs\n");
        EXPECT_TRUE(std::regex_match(r.out, table)) << r.out;
        for (zb::Board *b : {&b1, b2.get()}) {
            std::vector<U8> f = b->flash();
            EXPECT_EQ(std::string(f.begin(), f.begin() + 1500), image);
            // The sector the image touches is erased, not the whole chip.
            EXPECT_EQ(b->commands().at(0).letters, "SE");
            EXPECT_EQ(b->commands().at(0).number, 0u);
        }
        // The reports as jq reads them: this run's id, the image's digest.
        const Shell q = shell("cd " + dir.path +
                              " && jq -r '.run_id + \" \" + .image_sha256' logs/2.json && "
                              "sha256sum image.bin");
        const std::regex ids("[0-9TZ]+-[0-9]+-[0-9]+/2 ([0-9a-f]{64})\n\\1  image.bin\n");
        EXPECT_TRUE(std::regex_match(q.out, ids)) << q.out;
    }
    {
        zb::Board b1, b3(bad);
        std::unique_ptr<zb::Board> b2(earlier());
        for (zb::Board *b : {&b1, b2.get(), &b3})
            ASSERT_TRUE(b->start());
        const Shell r =
            flash_many(dir, "--no-erase --no-verify --logs old image.bin", {&b1, b2.get(), &b3});
        EXPECT_EQ(r.status, 0) << r.out;
        const std::regex table(HEADER + row(1, b1.path(), "ok") + row(2, b2->path(), "ok") +
                               row(3, b3.path(), "ok") + "logs and reports: " + dir.path +
                               "/old\n");
        EXPECT_TRUE(std::regex_match(r.out, table)) << r.out;
        std::vector<U8> f = b2->flash();
        EXPECT_NE(std::string(f.begin(), f.begin() + 1500), image);  // "ok", and not the image
    }
}

// A failing board's row names the operation and its message; --retry-failed runs that board
// alone; a reused logs folder whose old report says ok does not make a board killed in this
// run ok.
TEST(FlashManyE2E, ReasonsRetryAndStaleReports)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(1500, 3));
    zb::Config hangs;
    hangs.faults.push_back({.command = "WB", .occurrence = 1, .hang_up_on_command = true});
    zb::Board b1, b2(hangs);
    for (zb::Board *b : {&b1, &b2})
        ASSERT_TRUE(b->start());
    // Board 2 behind a link of the test's own, gone before the retry: its line hangs up in run1,
    // and its pseudo-terminal's number is free for another test's board, which no run may reach.
    const Link b2_link{"/dev/zelk-retry-" + std::to_string(getpid())};
    b2_link.to(b2);
    const Shell r =
        shell("cd " + dir.path + " && " + FLASH_MANY + " --zelk " + zt::zelk_binary() +
              " --no-erase --no-verify --logs run1 image.bin " + b1.path() + " " + b2_link.path);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex(HEADER + row(1, b1.path(), "ok") +
                                           row(2, b2_link.path, "write: Serial line hung up") +
                                           "logs and reports: .*\n")))
        << r.out;
    unlink(b2_link.path.c_str());

    // The retry: board 2 only, in a folder of its own, with run1's image (none named). It fails
    // again, its device gone.
    const std::size_t b1_commands = b1.commands().size();
    const Shell again =
        flash_many(dir, "--no-erase --no-verify --retry-failed run1 --logs run2", {});
    EXPECT_EQ(again.status, 1) << again.out;
    EXPECT_TRUE(std::regex_match(again.out, std::regex(HEADER + "1 +" + b2_link.path +
                                                       " +(?!ok ).+\n"
                                                       "logs and reports: .*/run2\n")))
        << again.out;
    EXPECT_EQ(b1.commands().size(), b1_commands);
    EXPECT_EQ(zt::read_file(dir.file("run2/image.path")), dir.file("image.bin") + "\n");

    // Board 1 is ok in run1; a zelk that is killed in a run reusing run1 leaves its old report.
    const std::string killer = dir.file("killed-zelk");
    zt::write_file(killer, "#!/bin/sh\nkill -9 $$\n");
    ASSERT_EQ(chmod(killer.c_str(), 0755), 0);
    const Shell killed =
        shell("cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " + killer +
              " --logs run1 image.bin " + b1.path());
    EXPECT_EQ(killed.status, 1) << killed.out;
    EXPECT_TRUE(std::regex_match(killed.out, std::regex(HEADER + "1 +" + b1.path() +
                                                        " +killed \\(signal 9\\) +-\n"
                                                        "logs and reports: .*/run1\n")))
        << killed.out;

    // Nothing left to retry after an all-ok run.
    ASSERT_EQ(mkdir(dir.file("ok").c_str(), 0755), 0);
    zt::write_file(dir.file("ok/summary.tsv"), "1\t/dev/x\tok\n");
    const Shell none =
        shell("cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
              zt::zelk_binary() + " --retry-failed ok image.bin");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "flash-many: every board of ok succeeded: nothing to retry\n");
}

// The events file: valid JSON lines; every board's start and end, zelk's own events between
// them; progress at most once a second per board.
TEST(FlashManyE2E, EventsFile)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(6000, 5));
    zb::Config slow;
    slow.wire_speed = true;
    zb::Board b1(slow), b2(slow);
    for (zb::Board *b : {&b1, &b2})
        ASSERT_TRUE(b->start());
    const Shell r =
        flash_many(dir, "--no-erase --logs logs --events ev.jsonl image.bin", {&b1, &b2});
    EXPECT_EQ(r.status, 0) << r.out;
    // Per board, the kinds of event in order (progress lines folded), and a failure line for
    // progress closer than a second to the board's one before.
    const Shell q = shell(
        "cd " + dir.path +
        " && jq -sr 'group_by(.run_id | split(\"/\")[1])[] | "
        "(.[0].run_id | split(\"/\")[1]) + \": \" + ([.[].event] | join(\" \")), "
        "([.[] | select(.event == \"progress\") | .time | sub(\"\\\\.[0-9]+Z\"; \"Z\") | "
        "fromdate] | . as $t | range(1; length) | select($t[.] - $t[. - 1] < 1) | \"TOO SOON\")' "
        "ev.jsonl | sed -E 's/( progress)+/ progress/g'");
    EXPECT_EQ(q.status, 0) << q.out;
    const std::string kinds = "board_start run_start operation_start phase_start progress "
                              "phase_end phase_start progress phase_end operation_end run_end "
                              "board_end\n";
    EXPECT_EQ(q.out, "1: " + kinds + "2: " + kinds) << q.out;
}

// Live status on a terminal (script(1) gives flash-many a pseudo-terminal): one line per board,
// redrawn in place at most ten times a second, never mixed; the last drawing shows each board's
// result, then the table follows.
TEST(FlashManyE2E, LiveStatusOnATerminal)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(4000, 7));
    zb::Config slow;
    slow.wire_speed = true;
    zb::Board b1(slow), b2(slow);
    for (zb::Board *b : {&b1, &b2})
        ASSERT_TRUE(b->start());
    const auto start = std::chrono::steady_clock::now();
    const Shell r = shell("cd " + dir.path +
                          " && script -qfec \"" ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
                          zt::zelk_binary() + " --no-erase --logs logs image.bin " + b1.path() +
                          " " + b2.path() + "\" /dev/null");
    const double sec =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string up = "\r\x1b[2A";
    const std::size_t table = r.out.find("N   DEVICE");
    ASSERT_NE(table, std::string::npos) << r.out;
    const std::string live = r.out.substr(0, table);
    // Every line drawn is a whole board line (the terminal turns "\n" into "\r\n").
    const std::regex board_line("(\r\x1b\\[2A)?\r[12] +/dev/pts/[0-9]+ +[^\r\n\x1b]*\x1b\\[K\r");
    std::istringstream lines(live);
    int drawn = 0;
    for (std::string line; std::getline(lines, line); drawn++)
        EXPECT_TRUE(std::regex_match(line, board_line)) << line;
    EXPECT_GE(drawn, 4);
    // Redraws: at most ten a second, and the first drawing, and the final one.
    int redraws = 0;
    for (std::size_t at = live.find(up); at != std::string::npos; at = live.find(up, at + 1))
        redraws++;
    EXPECT_LE(redraws, static_cast<int>(sec * 10) + 2) << sec;
    EXPECT_NE(live.find("write "), std::string::npos) << live;
    const std::regex last("\r\x1b\\[2A\r1 +" + b1.path() + " +ok\x1b\\[K\r\n\r2 +" + b2.path() +
                          " +ok\x1b\\[K\r\n");
    EXPECT_TRUE(std::regex_match(live.substr(live.rfind(up)), last)) << live;
    EXPECT_TRUE(std::regex_match(r.out.substr(table),
                                 std::regex("N +DEVICE +RESULT +SECONDS\r\n1 .* ok .*\r\n2 "
                                            ".* ok .*\r\nlogs and reports: .*\r\n")))
        << r.out.substr(table);
}

// An event of this kind for record `key` ("1-2") in the events file so far.
bool event_for(const std::string &events, const std::string &key, const std::string &kind)
{
    for (const nlohmann::json &e : zt::read_json_lines(events))
        if (e.is_object() && e.value("event", "") == kind && e.contains("run_id") &&
            e["run_id"].is_string() && e["run_id"].get<std::string>().ends_with("/" + key))
            return true;
    return false;
}

// flash-many run in a session (and process group) of its own, as a terminal's foreground job: a
// Ctrl-C is a SIGINT to its group. Ended as an operator ends it when its test stops half-way (see
// end_station), before the boards declared ahead of it go.
struct Background {
    zt::Proc p;
    std::string events;
    bool finished = false;
    Background(const std::string &cwd, const std::vector<std::string> &args)
        : p(args, {.cwd = cwd, .new_session = true, .binary = FLASH_MANY}),
          events(cwd + "/logs/events.jsonl")
    {
    }
    ~Background()
    {
        if (!finished) {
            end_station(p.pid(), events, [this] { ctrl_c(); });
            p.finish();
        }
    }
    void ctrl_c() const { kill(-p.pid(), SIGINT); }
    zt::RunResult finish()
    {
        finished = true;
        return p.finish();
    }
};

// A station with one slot, as a line runs it: a board appears (its device there, its monitor's
// marker on it), is flashed and verified, and goes (its device vanishes); the next vanishes in
// the middle of its write and is recorded with the cause; a Ctrl-C to the station's process group
// while the third is in progress lets it finish and be recorded, then ends the station. Nothing is
// ever made at the device's path while no board is there, and no process of the run is left.
TEST(FlashManyE2E, StationBoardsComeAndGo)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(1500, 9));
    const std::string logs = dir.file("logs"), events = logs + "/events.jsonl";
    zb::Config stalls;  // silent in its second block, until it goes
    stalls.faults.push_back({.command = "WB",
                             .occurrence = 1,
                             .data_fault = zb::DataFault::Silence,
                             .data_fault_at = 0});
    zb::Board b1, b2(stalls), b3;
    const Link dev{"/dev/zelk-station-" + std::to_string(getpid())};
    Background st(dir.path, station_args(zt::zelk_binary(), "--no-erase --pause 100", {dev.path}));
    int k = 0;
    for (zb::Board *b : {&b1, &b2, &b3}) {
        SCOPED_TRACE(++k);
        ASSERT_TRUE(wait_until([&] { return events_of(events, "slot_waiting") == k; }));
        struct stat sb;
        EXPECT_NE(lstat(dev.path.c_str(), &sb), 0) << "a file at the path of a device not there";
        ASSERT_TRUE(b->start());
        dev.to(*b);
        if (k == 3) {
            ASSERT_TRUE(wait_until([&] { return events_of(events, "board_start") == 3; }));
            st.ctrl_c();
        } else {
            // The board goes, its link first as udev removes it with the adapter: the first once
            // recorded, the second in the middle of its write.
            ASSERT_TRUE(k == 1 ? wait_until([&] { return events_of(events, "board_end") == 1; })
                               : b->wait_for_commands(2, 120000));
            unlink(dev.path.c_str());
            b->stop();
        }
        ASSERT_TRUE(wait_until([&] { return events_of(events, "board_end") == k; }));
    }
    const zt::RunResult r = st.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "flash-many: ending after the boards in progress (Ctrl-C again ends them)\n");
    const std::string d = dev.path, summary = zt::read_file(logs + "/summary.tsv");
    EXPECT_TRUE(std::regex_match(
        summary, std::regex("1-1\t" + d + "\tok\n1-2\t" + d + "\twrite: .+\n1-3\t" + d + "\tok\n")))
        << summary;
    const std::string sec = " +[0-9]+\\.[0-9]\n";
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex("N +DEVICE +RESULT +SECONDS\n1-1 +" + d + " +ok" + sec +
                                           "1-2 +" + d + " +write: .+" + sec + "1-3 +" + d +
                                           " +ok" + sec + "logs and reports: " + logs + "\n")))
        << r.out;
    EXPECT_EQ(events_of(events, "slot_end"), 1);
    EXPECT_EQ(left_running(dir.path), "");
}

namespace {

// A station on a terminal of its own, 80 columns wide, as an operator runs it: the
// pseudo-terminal is its controlling terminal, so a typed Ctrl-C reaches its process group, and
// what it draws is collected from the master.
struct TerminalStation {
    zt::Pty con;
    std::string events;
    pid_t pid = -1;
    std::thread reader;
    std::mutex mu;
    std::string shown;

    TerminalStation(const std::string &cwd, const std::vector<std::string> &args)
        : events(cwd + "/logs/events.jsonl")
    {
        struct termios t = con.attrs();
        t.c_lflag |= ISIG | ICANON | ECHO;
        t.c_iflag |= ICRNL;
        t.c_oflag |= OPOST | ONLCR;
        t.c_cc[VINTR] = 3;
        tcsetattr(con.slave, TCSANOW, &t);
        const struct winsize size = {24, 80, 0, 0};
        ioctl(con.master, TIOCSWINSZ, &size);
        std::vector<char *> argv = {const_cast<char *>(FLASH_MANY)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            setsid();
            ioctl(con.slave, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; fd++)
                dup2(con.slave, fd);
            if (chdir(cwd.c_str()) == 0)
                execv(FLASH_MANY, argv.data());
            _exit(127);
        }
        reader = std::thread([this] {
            char buf[4096];
            for (ssize_t n; (n = read(con.master, buf, sizeof buf)) > 0;) {
                std::lock_guard<std::mutex> lock(mu);
                shown.append(buf, static_cast<std::size_t>(n));
            }
        });
    }
    ~TerminalStation()
    {
        if (pid > 0) {
            end_station(pid, events, [this] { type("\x03"); });
            finish();
            if (pid > 0)  // still running
                kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        }
        all_shown();
    }
    // Everything drawn, once the station has ended: the reader takes what the terminal still
    // holds, and sees the end once every holder of it has gone.
    std::string all_shown()
    {
        if (con.slave >= 0) {
            close(con.slave);
            con.slave = -1;
            reader.join();
        }
        return screen();
    }
    void type(const std::string &keys) const
    {
        ASSERT_EQ(write(con.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    std::string screen()
    {
        std::lock_guard<std::mutex> lock(mu);
        return shown;
    }
    // Its exit status; -1 (the station still running) after the limit of the test's waits.
    int finish()
    {
        int st = 0;
        if (!wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }))
            return -1;
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

}  // namespace

// The station on an operator's terminal, 80 columns wide, behind a device name as long as a
// /dev/serial/by-id one: the slot's live line under the records' rows, cut to the width so that
// it never wraps; Enter says the board has gone (this one stays, so it is flashed again as the
// next); a typed Ctrl-C, then a second once the first is seen, ends the board in progress, which
// is recorded as terminated; the live line is taken away and the terminal is as it was.
TEST(FlashManyE2E, StationOnATerminal)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(20000, 4));
    zb::Config slow;
    slow.wire_speed = true;
    zb::Board board(slow);
    ASSERT_TRUE(board.start());
    const Link dev{"/dev/zelk-station-tty-" + std::to_string(getpid()) +
                   "-usb-FTDI_FT232R_USB_UART_A10KZ1XY-if00-port0"};
    dev.to(board);
    TerminalStation st(dir.path, station_args(zt::zelk_binary(),
                                              "--no-erase --no-verify "
                                              "--pause 100",
                                              {dev.path}));
    ASSERT_TRUE(wait_until([&] {
        return st.screen().find("1-1  ok; waiting for the board to go") != std::string::npos;
    })) << st.screen();
    st.type("\r");
    ASSERT_TRUE(wait_until([&] { return event_for(st.events, "1-2", "phase_start"); }))
        << st.screen();
    st.type("\x03");
    ASSERT_TRUE(wait_until([&] { return events_of(st.events, "station_ending") == 1; }));
    st.type("\x03");
    EXPECT_EQ(st.finish(), 1) << st.screen();
    EXPECT_EQ(zt::read_file(dir.file("logs/summary.tsv")),
              "1-1\t" + dev.path + "\tok\n1-2\t" + dev.path + "\twrite terminated\n");
    EXPECT_NE(st.con.attrs().c_lflag & ECHO, 0u) << "the terminal as it was: echo back on";
    const std::string screen = st.all_shown();
    // Every drawing of the live line fits 79 columns; one shows 1-2's write under way.
    const std::regex live("\r(1     [^\r\x1b]*)\x1b\\[K");
    bool writing = false;
    for (std::sregex_iterator m(screen.begin(), screen.end(), live), end; m != end; ++m) {
        EXPECT_LE((*m)[1].length(), 79u) << (*m)[1];
        writing = writing || (*m)[1].str().find("1-2  write ") != std::string::npos;
    }
    EXPECT_TRUE(writing) << screen;
    for (const char *row : {"1-1 +[^\r]+ +ok +[0-9]+\\.[0-9]\x1b\\[K\r\n",
                            "flash-many: ending after the boards in progress \\(Ctrl-C again "
                            "ends them\\)\x1b\\[K\r\n",
                            "1-2 +[^\r]+ +write terminated +[0-9]+\\.[0-9]\x1b\\[K\r\n",
                            "\x1b\\[1A\x1b\\[Jlogs and reports: [^\r]+/logs\r\n$"})
        EXPECT_TRUE(std::regex_search(screen, std::regex(std::string("\r") + row))) << screen;
    EXPECT_EQ(left_running(dir.path), "");
}

// Each event line goes to the events file in one write whatever its length: a job's line of 10
// KiB, which crosses the pipe in pieces, is read back whole among the station's own.
TEST(FlashManyE2E, StationEventLineOfTenKiB)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), "x");
    // A zelk (with the station beside it) that writes one event of 10 KiB in two writes.
    const std::string zelk = dir.file("zelk"), events = dir.file("logs/events.jsonl");
    zt::write_file(zelk, "#!/bin/bash\n"
                         "while [ $# -gt 0 ]; do [ \"$1\" = progress ] && out=$2; shift; done\n"
                         "pad=$(head -c 10240 /dev/zero | tr '\\0' x)\n"
                         "printf '{\"event\": \"big\", \"pad\": \"%s' \"${pad:0:5000}\" >>$out\n"
                         "printf '%s\"}\\n' \"${pad:5000}\" >>$out\n");
    ASSERT_EQ(chmod(zelk.c_str(), 0755), 0);
    const std::string built = zt::zelk_binary();
    ASSERT_EQ(symlink((built.substr(0, built.rfind('/')) + "/zelk-station").c_str(),
                      dir.file("zelk-station").c_str()),
              0);
    zb::Board board;
    ASSERT_TRUE(board.start());
    const Link dev{"/dev/zelk-station-big-" + std::to_string(getpid())};
    dev.to(board);
    Background st(dir.path, station_args(zelk, "", {dev.path}));
    ASSERT_TRUE(wait_until([&] { return events_of(events, "slot_board_done") == 1; }));
    st.ctrl_c();
    EXPECT_EQ(st.finish().status, 1) << "no report";
    std::size_t big = 0;
    for (const nlohmann::json &e : zt::read_json_lines(events)) {
        ASSERT_TRUE(e.is_object()) << zt::read_file(events);
        if (e.value("event", "") == "big")
            big = e["pad"].get<std::string>().size();
    }
    EXPECT_EQ(big, 10240u);
}

// A Ctrl-C in a run of boards at once ends the boards in progress, and the run still writes its
// table and summary.tsv, each board with what its report records: --retry-failed then finds them.
TEST(FlashManyE2E, BatchCtrlCWritesTheSummary)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(20000, 6));
    zb::Config slow;
    slow.wire_speed = true;
    zb::Board b1(slow), b2(slow);
    for (zb::Board *b : {&b1, &b2})
        ASSERT_TRUE(b->start());
    Background p(dir.path, {"--zelk", zt::zelk_binary(), "--no-erase", "--logs", "logs",
                            "image.bin", b1.path(), b2.path()});
    const std::string events = p.events;
    ASSERT_TRUE(wait_until([&] {
        return event_for(events, "1", "phase_start") && event_for(events, "2", "phase_start");
    }));
    p.ctrl_c();
    const zt::RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(zt::read_file(dir.file("logs/summary.tsv")),
              "1\t" + b1.path() + "\twrite terminated\n2\t" + b2.path() + "\twrite terminated\n");
    EXPECT_TRUE(std::regex_match(r.out, std::regex(HEADER + row(1, b1.path(), "write terminated") +
                                                   row(2, b2.path(), "write terminated") +
                                                   "logs and reports: .*\n")))
        << r.out;
    EXPECT_EQ(left_running(dir.path), "");
}

// Boards on several hosts: HOST:DEVICE goes through GNU parallel's --sshlogin, here with a
// stand-in for ssh that runs each host's commands in a folder of its own. The reports and logs
// come back, the events come on the jobs' output, a failing remote board fails the run.
TEST(FlashManyE2E, BoardsOnOtherHosts)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(1500, 11));
    zb::Config hangs;
    hangs.faults.push_back({.command = "WB", .occurrence = 1, .hang_up_on_command = true});
    zb::Board local, on_h1, on_h2(hangs);
    for (zb::Board *b : {&local, &on_h1, &on_h2})
        ASSERT_TRUE(b->start());
    const std::string hosts = dir.file("hosts");
    ASSERT_EQ(mkdir(hosts.c_str(), 0755), 0);
    // Run without SHELL, as from cron or a service.
    const Shell r =
        shell("cd " + dir.path + " && SSH_STANDIN_ROOT=" + hosts +
              " env -u SHELL " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " + zt::zelk_binary() +
              " --ssh " ZELK_SOURCE_DIR "/tests/e2e/ssh-standin --no-erase --logs logs"
              " image.bin " +
              local.path() + " h1:" + on_h1.path() + " h2:" + on_h2.path());
    EXPECT_EQ(r.status, 1) << r.out;
    const std::regex table(HEADER + row(1, local.path(), "ok") +
                           row(2, "h1:" + on_h1.path(), "ok") +
                           row(3, "h2:" + on_h2.path(), "write: Serial line hung up") +
                           "logs and reports: " + dir.path + "/logs\n");
    EXPECT_TRUE(std::regex_match(r.out, table)) << r.out;
    // Each remote board was written by a zelk started in a folder of the run's own on its host,
    // with the run's own names for the image and the job (another run never meets them), and
    // nothing is left there; its report came back.
    const std::string run = zt::read_json(dir.file("logs/2.json")).value("run_id", "");
    const std::string wd = "./.flash-many/" + run.substr(0, run.rfind('/'));
    const std::string calls = zt::read_file(hosts + "/calls");
    for (const char *h : {"h1\t", "h2\t"})
        EXPECT_NE(calls.find(h + ("exec mkdir -p " + wd)), std::string::npos) << calls;
    EXPECT_NE(calls.find(wd + "/flash-many-" + run.substr(0, run.rfind('/')) + ".job"),
              std::string::npos)
        << calls;
    EXPECT_EQ(shell("find " + hosts + "/h1 " + hosts + "/h2 -mindepth 1").out, "");
    const Shell q = shell("cd " + dir.path + "/logs && jq -r .device 2.json 3.json && " +
                          "jq -r 'select(.event == \"board_end\") | \"\\(.board) \\(.result)\"' "
                          "events.jsonl | sort");
    EXPECT_EQ(q.out,
              on_h1.path() + "\n" + on_h2.path() + "\n1 ok\n2 ok\n3 write: Serial line hung up\n");
    std::vector<U8> f = on_h1.flash();
    EXPECT_EQ(std::string(f.begin(), f.begin() + 1500), image_bytes(1500, 11));
}

TEST(FlashManyE2E, UsageAndMissingImage)
{
    zt::TempDir dir;
    EXPECT_EQ(shell(ZELK_SOURCE_DIR "/scripts/flash-many").status, 2);
    // Asked for, the usage goes to stdout, and that is a success.
    const Shell help = shell("(" ZELK_SOURCE_DIR "/scripts/flash-many --help 2>/dev/null)");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("flash-many: writes one image", 0), 0u) << help.out;
    const Shell r = shell("cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
                          zt::zelk_binary() + " no-such.bin /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "flash-many: cannot read image no-such.bin\n");
}
