// scripts/flash-many end to end: simulated boards, the real zelk on each, run by GNU parallel;
// the reports read back with jq as the script reads them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "board.h"
#include "harness.h"

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

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// A command started in the background in folder `cwd`, its output into a file; the shell is
// replaced by the command (exec), so the pid is the command's.
pid_t spawn(const std::string &cwd, const std::string &cmd, const std::string &out)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        execl("/bin/bash", "bash", "-c", ("cd '" + cwd + "' && exec " + cmd).c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// The exit status of `pid`, waited for up to `timeout_s`; -1 when it did not end (killed then).
int wait_exit(pid_t pid, int timeout_s)
{
    int st = 0;
    const bool ended = wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_s);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A station still running when its test ends (a failed assertion) is ended: two requests, so
// that its boards in progress end too.
void end_station(pid_t pid)
{
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGTERM);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

struct StationReaper {
    pid_t pid;
    ~StationReaper() { end_station(pid); }
};

// A /dev link of a test's own, removed when the test ends.
struct Unlink {
    std::string path;
    ~Unlink() { unlink(path.c_str()); }
};

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
    const Shell r = flash_many(dir, "--no-erase --no-verify --logs run1 image.bin", {&b1, &b2});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(std::regex_match(r.out, std::regex(HEADER + row(1, b1.path(), "ok") +
                                                   row(2, b2.path(), "write: Serial line hung up") +
                                                   "logs and reports: .*\n")))
        << r.out;

    // The retry: board 2 only, in a folder of its own, with run1's image (none named). It fails
    // again, in one of several ways as its line is found hung up, reopened or gone.
    const std::size_t b1_commands = b1.commands().size();
    const Shell again =
        flash_many(dir, "--no-erase --no-verify --retry-failed run1 --logs run2", {});
    EXPECT_EQ(again.status, 1) << again.out;
    EXPECT_TRUE(std::regex_match(again.out, std::regex(HEADER + "1 +" + b2.path() +
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

// A station with one slot: five boards appear one after another on the same path (a symlink
// switched between the boards' pseudo-terminals), each is flashed and verified and gets its
// numbered record; the third fails and the station goes on; Ctrl-C while the fifth is in
// progress lets it finish, then ends the station.
TEST(FlashManyE2E, StationBoardAfterBoard)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(1500, 9));
    // zelk takes devices under /dev only, as a stable name in /dev/serial/by-id is.
    const std::string dev = "/dev/zelk-station-" + std::to_string(getpid());
    const std::string logs = dir.file("logs");
    const std::string events = logs + "/events.jsonl";
    const pid_t station =
        spawn(dir.path,
              ZELK_SOURCE_DIR "/scripts/flash-many --zelk " + std::string(zt::zelk_binary()) +
                  " --station --no-erase --logs logs image.bin " + dev,
              dir.file("station.out"));
    ASSERT_GT(station, 0);
    // A test that fails half-way leaves no station behind: its slots end with it.
    const StationReaper reaper{station};
    zb::Config hangs;
    hangs.faults.push_back({.command = "WB", .occurrence = 1, .hang_up_on_command = true});
    for (int k = 1; k <= 5; k++) {
        SCOPED_TRACE(k);
        // The slot waits for its next board before this one is there.
        ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"slot_waiting\"") >= k; }));
        zb::Board board(k == 3 ? hangs : zb::Config{});
        ASSERT_TRUE(board.start());
        const std::string link = dev + ".new";
        ASSERT_EQ(symlink(board.path().c_str(), link.c_str()), 0);
        ASSERT_EQ(rename(link.c_str(), dev.c_str()), 0);
        const std::string record = logs + "/1-" + std::to_string(k) + ".json";
        if (k == 5) {
            ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"board_start\"") == 5; }));
            kill(station, SIGINT);
        }
        ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"board_end\"") == k; }));
        EXPECT_TRUE(exists(record));
        // The board goes: its link first, as udev removes it with the adapter. A link left to a
        // freed pseudo-terminal could lead the slot to another test's board with that number.
        unlink(dev.c_str());
        board.stop();
    }
    EXPECT_EQ(wait_exit(station, 60), 1);
    std::string out = zt::read_file(dir.file("station.out"));
    // Said on stderr when the Ctrl-C came, among the rows.
    const std::string ending =
        "flash-many: ending after the boards in progress (Ctrl-C again ends them)\n";
    const std::size_t at = out.find(ending);
    ASSERT_NE(at, std::string::npos) << out;
    out.erase(at, ending.size());
    const std::regex table(HEADER + "(1-[1245] +" + dev + " +ok +[0-9]+\\.[0-9]\n|" + "1-3 +" +
                           dev + " +write: Serial line hung up +[0-9]+\\.[0-9]\n){5}" +
                           "logs and reports: " + logs + "\n");
    EXPECT_TRUE(std::regex_match(out, table)) << out;
    EXPECT_EQ(zt::read_file(logs + "/summary.tsv"),
              "1-1\t" + dev + "\tok\n1-2\t" + dev + "\tok\n1-3\t" + dev +
                  "\twrite: Serial line hung up\n1-4\t" + dev + "\tok\n1-5\t" + dev + "\tok\n");
}

// A board goes without the device vanishing or Enter when its monitor stops repeating the ready
// marker for 2 s (a board that offers three markers each time its line is opened, so the station
// takes it as gone and then as the next board). A second Ctrl-C ends the board in progress,
// recorded as terminated.
TEST(FlashManyE2E, StationBoardGoneBySilenceAndASecondCtrlCEndsTheJob)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(20000, 5));
    const std::string dev = "/dev/zelk-station-gone-" + std::to_string(getpid());
    const std::string logs = dir.file("logs");
    const std::string events = logs + "/events.jsonl";
    const Unlink unlink_dev{dev};
    auto link_to = [&](const zb::Board &b) {
        const std::string tmp = dev + ".new";
        ASSERT_EQ(symlink(b.path().c_str(), tmp.c_str()), 0);
        ASSERT_EQ(rename(tmp.c_str(), dev.c_str()), 0);
    };
    const pid_t station =
        spawn(dir.path,
              ZELK_SOURCE_DIR "/scripts/flash-many --zelk " + std::string(zt::zelk_binary()) +
                  " --station --no-erase --no-verify --logs logs image.bin " + dev,
              dir.file("station.out"));
    ASSERT_GT(station, 0);
    const StationReaper reaper{station};
    zb::Config three;
    three.ready.offers = 3;
    three.wire_speed = true;
    zb::Board b(three);
    ASSERT_TRUE(b.start());
    link_to(b);
    // 1-1 is written; its markers stop, and after 2 s the same board is the next one, 1-2.
    ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"slot_board_done\"") == 1; }));
    ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"slot_waiting\"") == 2; }));
    // zelk on 1-2 has begun its write.
    ASSERT_TRUE(wait_until([&] {
        std::ifstream in(events);
        for (std::string line; std::getline(in, line);)
            if (line.find("/1-2\"") != std::string::npos &&
                line.find("\"operation_start\"") != std::string::npos)
                return true;
        return false;
    })) << zt::read_file(events);
    kill(station, SIGINT);
    ASSERT_TRUE(wait_until([&] {
        return zt::read_file(dir.file("station.out")).find("Ctrl-C again") != std::string::npos;
    }));
    kill(station, SIGINT);
    EXPECT_EQ(wait_exit(station, 60), 1);
    EXPECT_EQ(zt::read_file(logs + "/summary.tsv"),
              "1-1\t" + dev + "\tok\n1-2\t" + dev + "\twrite terminated\n")
        << zt::read_file(logs + "/1-1.log") << zt::read_file(logs + "/1-1.json");
    EXPECT_EQ(lines_with(events, "\"board_end\""), 2);
    // Board b was taken as gone after 2 s without a marker: the time from its record's end to the
    // slot's wait for the next (the events' times are UTC, "...T21:05:22.121093Z").
    std::vector<double> at;
    std::ifstream in(events);
    for (std::string line; std::getline(in, line);) {
        const std::size_t t = line.find('T');
        if (t == std::string::npos)
            continue;
        if (line.find("\"slot_board_done\"") != std::string::npos ||
            line.find("\"slot_waiting\"") != std::string::npos)
            at.push_back(std::stoi(line.substr(t + 1, 2)) * 3600 +
                         std::stoi(line.substr(t + 4, 2)) * 60 + std::stod(line.substr(t + 7, 9)));
    }
    // waiting 1, done 1, waiting 2
    ASSERT_GE(at.size(), 3u);
    EXPECT_GE(at[2] - at[1], 1.9);
}

namespace {

// A station run on a terminal of its own, as an operator runs it: the pseudo-terminal is its
// controlling terminal, so a typed Ctrl-C reaches every process of its group, and what it draws
// is collected from the master.
struct TerminalStation {
    zt::Pty con;
    pid_t pid = -1;
    std::thread reader;
    std::mutex mu;
    std::string shown;

    TerminalStation(const std::string &cwd, const std::string &cmd)
    {
        struct termios t = con.attrs();
        t.c_lflag |= ISIG | ICANON | ECHO;
        t.c_iflag |= ICRNL;
        t.c_oflag |= OPOST | ONLCR;
        t.c_cc[VINTR] = 3;
        tcsetattr(con.slave, TCSANOW, &t);
        pid = fork();
        if (pid == 0) {
            setsid();
            ioctl(con.slave, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; fd++)
                dup2(con.slave, fd);
            execl("/bin/bash", "bash", "-c", ("cd '" + cwd + "' && exec " + cmd).c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        reader = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = read(con.master, buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> lock(mu);
                shown.append(buf, static_cast<std::size_t>(n));
            }
        });
    }
    ~TerminalStation()
    {
        end_station(pid);
        close(con.slave);  // the reader sees the end once every holder has gone
        con.slave = -1;
        reader.join();
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
};

}  // namespace

// The station on its terminal: live lines per slot under the records' rows; Enter says the board
// has gone (this one stays, so it is flashed again as the next); a typed Ctrl-C lets the board in
// progress finish and be recorded, then ends the station and takes the live lines away.
TEST(FlashManyE2E, StationOnATerminal)
{
    zt::TempDir dir;
    zt::write_file(dir.file("image.bin"), image_bytes(1500, 4));
    const std::string dev = "/dev/zelk-station-tty-" + std::to_string(getpid());
    const std::string logs = dir.file("logs");
    const std::string events = logs + "/events.jsonl";
    zb::Board board;
    ASSERT_TRUE(board.start());
    ASSERT_EQ(symlink(board.path().c_str(), dev.c_str()), 0);
    const Unlink unlink_dev{dev};
    TerminalStation st(dir.path, ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
                                     std::string(zt::zelk_binary()) +
                                     " --station --no-erase --logs logs image.bin " + dev);
    ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"board_end\"") == 1; }));
    // Enter counts once the slot shows that it waits for the board to go.
    ASSERT_TRUE(wait_until([&] {
        return st.screen().find("1-1  ok; waiting for the board to go") != std::string::npos;
    })) << st.screen();
    st.type("\r");
    ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"board_start\"") == 2; }))
        << st.screen();
    st.type("\x03");
    ASSERT_TRUE(wait_until([&] { return lines_with(events, "\"board_end\"") == 2; }))
        << st.screen();
    EXPECT_EQ(wait_exit(st.pid, 60), 0) << st.screen();
    st.pid = -1;
    EXPECT_EQ(zt::read_file(logs + "/summary.tsv"), "1-1\t" + dev + "\tok\n1-2\t" + dev + "\tok\n");
    const std::string screen = st.screen();
    // Lines drawn whole: a slot's live line, a record's row, the message of the Ctrl-C.
    EXPECT_TRUE(std::regex_search(screen, std::regex("\r1 +" + dev + " +waiting for a board\x1b")))
        << screen;
    EXPECT_TRUE(std::regex_search(screen, std::regex("\r1 +" + dev + " +1-2  write +[0-9]+%")))
        << screen;
    for (int k : {1, 2})
        EXPECT_TRUE(std::regex_search(screen, std::regex("\r1-" + std::to_string(k) + " +" + dev +
                                                         " +ok +[0-9]+\\.[0-9]\x1b\\[K\r\n")))
            << screen;
    EXPECT_NE(screen.find("\rflash-many: ending after the boards in progress (Ctrl-C again ends "
                          "them)\x1b[K\r\n"),
              std::string::npos)
        << screen;
    // The end: the live line taken away, the table and where the logs are.
    EXPECT_TRUE(std::regex_search(
        screen, std::regex("\r\x1b\\[1A\x1b\\[Jlogs and reports: " + logs + "\r\n$")))
        << screen;
    // The terminal as it was: echo back on.
    EXPECT_NE(st.con.attrs().c_lflag & ECHO, 0u);
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
    // Each remote board was written by a zelk started in its host's folder, which is left
    // clean; its report came back.
    const std::string calls = zt::read_file(hosts + "/calls");
    EXPECT_NE(calls.find("h1\t"), std::string::npos) << calls;
    EXPECT_NE(calls.find("h2\t"), std::string::npos) << calls;
    EXPECT_EQ(shell("find " + hosts + "/h1 " + hosts + "/h2 -type f").out, "");
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
    const Shell r = shell("cd " + dir.path + " && " ZELK_SOURCE_DIR "/scripts/flash-many --zelk " +
                          zt::zelk_binary() + " no-such.bin /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "flash-many: cannot read image no-such.bin\n");
}
