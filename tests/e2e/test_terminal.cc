// The terminal and the echo test end to end. The device is a pseudo-terminal whose master plays
// the board; for the terminal a second pseudo-terminal is the console (the standard input), typed
// into through its master.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "harness.h"

using zt::Proc;
using zt::Pty;
using zt::RunResult;
using zt::TempDir;

namespace {

using namespace std::chrono_literals;
using zt::mode_of;

const std::string kSetSpeed = "Set speed=38400\n";

void send(int fd, const std::string &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads from fd until want bytes arrived or timeout_ms passed without any.
std::string read_for(int fd, size_t want, int timeout_ms)
{
    std::string got;
    char buf[4096];
    while (got.size() < want) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// A console as a user's shell leaves it: line editing, echo, signal keys, output processing.
termios make_cooked(const Pty &con)
{
    termios t = con.attrs();
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    tcsetattr(con.slave, TCSANOW, &t);
    return con.attrs();
}

void expect_console_is(const Pty &con, const termios &want)
{
    termios now = con.attrs();
    EXPECT_EQ(now.c_iflag, want.c_iflag);
    EXPECT_EQ(now.c_oflag, want.c_oflag);
    EXPECT_EQ(now.c_lflag, want.c_lflag);
    EXPECT_EQ(now.c_cflag, want.c_cflag);
}

// zelk has set the line up once it runs at 38400 baud (the pair starts at 9600); its flush of
// pending input is over by then.
bool wait_line_ready(const Pty &dev)
{
    for (int i = 0; i < 250; i++) {
        termios t = dev.attrs();
        if (cfgetospeed(&t) == B38400)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A terminal session: the board's line, a cooked console, zelk running in its own directory.
struct Session {
    TempDir dir;
    Pty dev;
    Pty con;
    termios cooked;
    termios dev_before;
    mode_t dev_mode;
    std::unique_ptr<Proc> zelk;

    explicit Session(std::vector<std::string> words, bool console_ctty = true)
    {
        cooked = make_cooked(con);
        dev_before = dev.attrs();
        dev_mode = mode_of(dev.path);
        words.insert(words.begin(), "terminal");
        words.push_back(dev.path);
        zelk = std::make_unique<Proc>(words, zt::RunOptions{.cwd = dir.path,
                                                            .stdin_fd = con.slave,
                                                            .timeout_s = 20,
                                                            .console_ctty = console_ctty});
    }

    // The console has gone raw: the terminal is in its loop and typing reaches it.
    bool wait_raw() const
    {
        for (int i = 0; i < 250; i++) {
            if ((con.attrs().c_lflag & (ICANON | ECHO)) == 0)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    void type(const std::string &bytes) const { send(con.master, bytes); }
    void board(const std::string &bytes) const { send(dev.master, bytes); }
    // What zelk has sent on the line, as the board receives it.
    std::string sent(size_t want, int timeout_ms = 2000) const
    {
        return read_for(dev.master, want, timeout_ms);
    }
    std::string protocol() const { return zt::read_file(dir.file("zelk.txt")); }
    // The console is a terminal: one line as the terminal starts.
    std::string banner() const
    {
        return "Terminal on " + dev.path +
               " at 38400 baud: Ctrl-C sends a break, Ctrl-C twice quits\n";
    }

    // Ctrl-C Ctrl-C ends the terminal; the console and the line are as they were.
    RunResult end_normally()
    {
        type("\x03\x03");
        RunResult r = zelk->finish();
        EXPECT_EQ(r.status, 0);
        expect_restored();
        return r;
    }

    void expect_restored() const
    {
        expect_console_is(con, cooked);
        termios d = dev.attrs();
        EXPECT_EQ(cfgetospeed(&d), cfgetospeed(&dev_before));
        EXPECT_EQ(d.c_lflag, dev_before.c_lflag);
        EXPECT_EQ(mode_of(dev.path), dev_mode);
    }
};

// A device word under /dev that names the pseudo-terminal through a symbolic link.
struct DevLink {
    std::string path;
    DevLink(const std::string &suffix, const std::string &target)
        : path("/dev/zelk-test-" + std::to_string(getpid()) + "-" + suffix)
    {
        unlink(path.c_str());
        if (symlink(target.c_str(), path.c_str()) != 0)
            path.clear();
    }
    ~DevLink()
    {
        if (!path.empty())
            unlink(path.c_str());
    }
    DevLink(const DevLink &) = delete;
    DevLink &operator=(const DevLink &) = delete;
};

std::vector<std::string> files_in(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    return names;
}

}  // namespace

// ---- Terminal ----------------------------------------------------------------------------------

// Received bytes go to the console unchanged (escape sequences and all) and to the protocol
// file; typed bytes go to the line and, without echo, nowhere else.
TEST(TerminalE2E, TextDisplayWithoutEcho)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    const std::string rx("Hi\r\n\x1b[1mbold\x1b[0m\x00\xff", 17);
    s.board(rx);
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + rx, 3000)) << s.zelk->out_so_far();
    s.type("ls -l\r");
    EXPECT_EQ(s.sent(6), "ls -l\r");
    RunResult r = s.end_normally();
    EXPECT_EQ(r.out, kSetSpeed + rx);
    EXPECT_EQ(r.err, s.banner() + "\n");
    EXPECT_EQ(s.protocol(), rx);
}

// Hex display of what arrives; typed bytes echoed raw and logged after what came before.
TEST(TerminalE2E, HexDisplayWithEcho)
{
    Session s({"hex", "echo"});
    ASSERT_TRUE(s.wait_raw());
    s.board("\x41\x0a");
    ASSERT_TRUE(s.zelk->wait_for_out("41 0a ", 3000)) << s.zelk->out_so_far();
    s.type("xy");
    EXPECT_EQ(s.sent(2), "xy");
    ASSERT_TRUE(s.zelk->wait_for_out("41 0a xy", 3000)) << s.zelk->out_so_far();
    s.board("\xff");
    ASSERT_TRUE(s.zelk->wait_for_out("41 0a xyff ", 3000)) << s.zelk->out_so_far();
    RunResult r = s.end_normally();
    EXPECT_EQ(r.out, kSetSpeed + "41 0a xyff ");
    EXPECT_EQ(r.err, s.banner() + "\n");
    EXPECT_EQ(s.protocol(), "A\nxy\xff");
}

// A typed letter between two Ctrl-C resets the count: the terminal goes on and the letter is
// sent; the Ctrl-C bytes themselves never reach the line.
TEST(TerminalE2E, CtrlCLetterCtrlCGoesOn)
{
    Session s({"echo"});
    ASSERT_TRUE(s.wait_raw());
    s.type("\x03"
           "a"
           "\x03");
    EXPECT_EQ(s.sent(1), "a");
    s.board("Z");
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + "aZ", 3000)) << s.zelk->out_so_far();
    s.type("b");
    EXPECT_EQ(s.sent(1), "b");
    RunResult r = s.end_normally();
    EXPECT_EQ(r.out, kSetSpeed + "aZb");
    EXPECT_EQ(r.err, s.banner() + "\n");
    EXPECT_EQ(s.sent(1, 200), "");
    EXPECT_EQ(s.protocol(), "aZb");
}

// The two Ctrl-C of the end may come in separate reads.
TEST(TerminalE2E, CtrlCCtrlCAcrossReads)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    const pid_t pid = s.zelk->pid();
    const long long before = zt::bytes_read(pid);
    s.type("\x03");
    // The first Ctrl-C read, and zelk waiting again: the second comes in a read of its own.
    ASSERT_TRUE(zt::poll_until(
        [&] { return zt::bytes_read(pid) > before && zt::waiting_for_line(pid); }, 5000ms));
    s.board("q");
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + "q", 3000));
    s.type("\x03");
    RunResult r = s.zelk->finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSetSpeed + "q");
    EXPECT_EQ(r.err, s.banner() + "\n");
    s.expect_restored();
}

// What is typed after the second Ctrl-C in the same read is neither sent, echoed nor logged.
TEST(TerminalE2E, BytesAfterSecondCtrlCAreDropped)
{
    Session s({"echo"});
    ASSERT_TRUE(s.wait_raw());
    s.type("\x03\x03zz");
    RunResult r = s.zelk->finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSetSpeed);
    EXPECT_EQ(r.err, s.banner() + "\n");
    EXPECT_EQ(s.sent(1, 200), "");
    EXPECT_EQ(s.protocol(), "");
    s.expect_restored();
}

// The termination signal ends the terminal normally, console and line put back.
TEST(TerminalE2E, SigintEndsTerminal)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    s.zelk->signal(SIGINT);
    RunResult r = s.zelk->finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSetSpeed + "Received signal 2. Terminating.\n");
    EXPECT_EQ(r.err, s.banner() + "\n");
    s.expect_restored();
}

// A fatal signal while the console is raw still gives the user's console back.
TEST(TerminalE2E, FatalSignalRestoresConsole)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    s.zelk->signal(SIGUSR1);
    RunResult r = s.zelk->finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, s.banner() + "Received unknown signal 10\n");
    s.expect_restored();
}

// The board's end of the line goes away: the terminal ends with a message instead of spinning.
TEST(TerminalE2E, LineHangUpEndsTerminal)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    close(s.dev.master);
    s.dev.master = -1;
    RunResult r = s.zelk->finish();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    // The driver cannot put the attributes back on a line that is gone, and says so.
    EXPECT_EQ(r.out, kSetSpeed + "Can not restore TTY device attribute\n");
    EXPECT_EQ(r.err, s.banner() + "\nSerial line hung up\n" + "\n");
    expect_console_is(s.con, s.cooked);
}

// A console that hangs up without being the controlling terminal (so no SIGHUP comes) reads 0
// bytes for ever: the terminal ends with a message instead of spinning, the line put back.
TEST(TerminalE2E, ConsoleHangUpEndsTerminal)
{
    Session s({}, false);
    ASSERT_TRUE(s.wait_raw());
    close(s.con.master);
    s.con.master = -1;
    RunResult r = s.zelk->finish();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSetSpeed);
    EXPECT_EQ(r.err, s.banner() + "\nConsole hung up\n" + "\n");
    termios d = s.dev.attrs();
    EXPECT_EQ(cfgetospeed(&d), cfgetospeed(&s.dev_before));
    EXPECT_EQ(d.c_lflag, s.dev_before.c_lflag);
    EXPECT_EQ(mode_of(s.dev.path), s.dev_mode);
}

// A protocol file that takes nothing ends the terminal with the reason, whether the loss shows
// at a received byte's flush or only at the close (typed bytes are logged unflushed).
TEST(TerminalE2E, LogLossEndsTerminal)
{
    const std::string lost = "\nProtocol file [/dev/full] write error: No space left on device\n";
    {
        Session s({"protocol", "/dev/full"});
        ASSERT_TRUE(s.wait_raw());
        s.board("xy");
        RunResult r = s.zelk->finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kSetSpeed + "xy") << "the chunk is still shown";
        EXPECT_EQ(r.err, s.banner() + lost + "\n");
        s.expect_restored();
    }
    {
        Session s({"echo", "protocol", "/dev/full"});
        ASSERT_TRUE(s.wait_raw());
        s.type("ab");
        EXPECT_EQ(s.sent(2), "ab");
        s.type("\x03\x03");
        RunResult r = s.zelk->finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, s.banner() + lost + "\n");
        s.expect_restored();
    }
}

// Only a console that is a terminal gets the start line and the final line feed; a pipe on the
// standard input (a script) gets zelk's messages alone.
TEST(TerminalE2E, StartLineOnlyForATerminalConsole)
{
    TempDir dir;
    Pty dev;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    RunResult r = zt::run_zelk({"terminal", dev.path},
                               {.cwd = dir.path, .stdin_fd = pipe_fds[0], .timeout_s = 20});
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSetSpeed);
    EXPECT_EQ(r.err, "\ntcgetattr stdin error: (25)\n");

    Session s({"hex"});
    ASSERT_TRUE(s.wait_raw());
    RunResult t = s.end_normally();
    EXPECT_EQ(t.err, "Terminal on " + s.dev.path +
                         " at 38400 baud: Ctrl-C sends a break, Ctrl-C twice quits\n\n");
}

// The protocol file's name follows the device word unless given; it is created or emptied
// before the terminal starts, so a console that is not a terminal leaves it empty.
TEST(TerminalE2E, ProtocolFileNamesAndNoConsole)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "device words under /dev need root";
    Pty dev;
    DevLink s0("ttyS0", dev.path), s1("ttyS1", dev.path), s10("ttyS10", dev.path);
    ASSERT_FALSE(s0.path.empty() || s1.path.empty() || s10.path.empty());
    struct Case {
        std::vector<std::string> words;
        std::string file;
    } cases[] = {
        {{s0.path}, "zelk.ttyS0"},
        {{s1.path}, "zelk.ttyS1"},
        {{s10.path}, "zelk.ttyS1"},
        {{dev.path}, "zelk.txt"},
        {{"protocol", "session.log", s0.path}, "session.log"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        zt::write_file(dir.file(c.file), "left from an earlier session");
        std::vector<std::string> words = c.words;
        words.insert(words.begin(), "terminal");
        RunResult r = zt::run_zelk(words, {.cwd = dir.path, .timeout_s = 20});
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.out, kSetSpeed) << c.file;
        EXPECT_EQ(r.err, "\ntcgetattr stdin error: (25)\n") << c.file;
        EXPECT_EQ(files_in(dir.path), std::vector<std::string>{c.file});
        EXPECT_TRUE(zt::file_exists(dir.file(c.file))) << c.file;
        EXPECT_EQ(zt::read_file(dir.file(c.file)), "") << c.file;
    }
}

TEST(TerminalE2E, ProtocolFileThatCannotBeOpened)
{
    TempDir dir;
    Pty dev;
    const termios before = dev.attrs();
    const mode_t mode_before = mode_of(dev.path);
    RunResult r = zt::run_zelk({"terminal", "protocol", "no-such-dir/t.log", dev.path},
                               {.cwd = dir.path, .timeout_s = 20});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSetSpeed);
    EXPECT_EQ(r.err, "\nProtocol file [no-such-dir/t.log] open error\n");
    termios after = dev.attrs();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(mode_of(dev.path), mode_before);
}

// ---- Echo test ---------------------------------------------------------------------------------

namespace {

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

// Sends data in pieces small enough for the line's buffers, collecting each piece's echo
// before the next, so nothing is dropped on either way.
std::string send_and_collect(int master, const std::string &data)
{
    constexpr size_t piece = 2048;
    std::string back;
    for (size_t at = 0; at < data.size(); at += piece) {
        const std::string part = data.substr(at, piece);
        send(master, part);
        back += read_for(master, part.size(), 3000);
    }
    return back;
}

}  // namespace

// The count line comes at 65536 and 131072 bytes and not before; what comes back and what is
// logged are exactly what was sent; SIGINT ends the test normally with the file complete.
TEST(TerminalEchoTest, CountsEchoesAndLogs)
{
    TempDir dir;
    Pty dev;
    const termios before = dev.attrs();
    Proc p({"echo", "test", "protocol", "echo.log", dev.path}, {.cwd = dir.path, .timeout_s = 60});
    ASSERT_TRUE(wait_line_ready(dev));

    const std::string data = pattern(131072, 7);
    EXPECT_EQ(send_and_collect(dev.master, data.substr(0, 65535)), data.substr(0, 65535));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(p.out_so_far(), kSetSpeed);
    EXPECT_EQ(send_and_collect(dev.master, data.substr(65535, 1)), data.substr(65535, 1));
    EXPECT_TRUE(p.wait_for_out("Rx=65536 bytes\n", 3000));
    EXPECT_EQ(send_and_collect(dev.master, data.substr(65536)), data.substr(65536));
    EXPECT_TRUE(p.wait_for_out("Rx=131072 bytes\n", 3000));

    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              kSetSpeed + "Rx=65536 bytes\nRx=131072 bytes\nReceived signal 2. Terminating.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(zt::read_file(dir.file("echo.log")) == data) << "the protocol file differs";
    termios after = dev.attrs();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

// Without a name the echo test logs to the same default file as the terminal.
TEST(TerminalEchoTest, DefaultProtocolFileOnSilentLine)
{
    TempDir dir;
    Pty dev;
    zt::write_file(dir.file("zelk.txt"), "old");
    Proc p({"echo", "test", dev.path}, {.cwd = dir.path, .timeout_s = 20});
    ASSERT_TRUE(wait_line_ready(dev));
    std::this_thread::sleep_for(1200ms);  // at least one idle wait
    p.signal(SIGTERM);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSetSpeed + "Received signal 15. Terminating.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files_in(dir.path), std::vector<std::string>{"zelk.txt"});
    EXPECT_EQ(zt::read_file(dir.file("zelk.txt")), "");
}

// A log that cannot take the bytes ends the test with the reason; the chunk still goes back.
TEST(TerminalEchoTest, LogLossEndsTest)
{
    TempDir dir;
    Pty dev;
    Proc p({"echo", "test", "protocol", "/dev/full", dev.path}, {.cwd = dir.path, .timeout_s = 20});
    ASSERT_TRUE(wait_line_ready(dev));
    EXPECT_EQ(send_and_collect(dev.master, "ping"), "ping");
    RunResult r = p.finish();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSetSpeed);
    EXPECT_EQ(r.err, "\nProtocol file [/dev/full] write error: No space left on device\n");
}

namespace {

// A small file system of its own, full after a few pages; unmounted when the object goes.
struct SmallTmpfs {
    TempDir dir;
    bool mounted = false;
    SmallTmpfs() { mounted = mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=16k") == 0; }
    ~SmallTmpfs()
    {
        if (mounted)
            umount2(dir.path.c_str(), MNT_DETACH);
    }
};

}  // namespace

// The log on a file system that fills up: the test ends at the first lost byte, with the
// reason, instead of going on without its log.
TEST(TerminalEchoTest, FullFileSystemEndsTest)
{
    SmallTmpfs fs;
    if (!fs.mounted)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string log = fs.dir.file("echo.log");
    Pty dev;
    TempDir cwd;
    Proc p({"echo", "test", "protocol", log, dev.path}, {.cwd = cwd.path, .timeout_s = 60});
    ASSERT_TRUE(wait_line_ready(dev));
    const std::string data = pattern(65536, 3);
    constexpr size_t piece = 2048;
    size_t echoed = 0;
    for (size_t at = 0; at < data.size(); at += piece) {
        send(dev.master, data.substr(at, piece));
        const size_t got = read_for(dev.master, piece, 1000).size();
        echoed += got;
        if (got < piece)
            break;
    }
    RunResult r = p.finish();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nProtocol file [" + log + "] write error: No space left on device\n");
    const std::string kept = zt::read_file(log);
    EXPECT_LT(kept.size(), echoed);
    EXPECT_EQ(kept, data.substr(0, kept.size())) << "what the log holds is what came in";
}

TEST(TerminalEchoTest, LineHangUpEndsTest)
{
    TempDir dir;
    Pty dev;
    Proc p({"echo", "test", dev.path}, {.cwd = dir.path, .timeout_s = 20});
    ASSERT_TRUE(wait_line_ready(dev));
    EXPECT_EQ(send_and_collect(dev.master, "ping"), "ping");
    close(dev.master);
    dev.master = -1;
    RunResult r = p.finish();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    // The driver cannot put the attributes back on a line that is gone, and says so.
    EXPECT_EQ(r.out, kSetSpeed + "Can not restore TTY device attribute\n");
    EXPECT_EQ(r.err, "\nSerial line hung up\n");
    EXPECT_EQ(zt::read_file(dir.file("zelk.txt")), "ping");
}

// The echo test's report counts what it moved on the line: every byte received and sent back.
TEST(TerminalEchoTest, ReportCountsTheBytesMoved)
{
    TempDir dir;
    Pty dev;
    Proc p({"echo", "test", "protocol", "echo.log", "report", "run.json", dev.path},
           {.cwd = dir.path, .timeout_s = 60});
    ASSERT_TRUE(wait_line_ready(dev));
    const std::string data = pattern(5000, 3);
    EXPECT_EQ(send_and_collect(dev.master, data), data);
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 0);
    const std::string report = zt::read_file(dir.file("run.json"));
    EXPECT_NE(report.find("{\"name\": \"echo test\", \"result\": \"ok\", \"bytes_sent\": 5000, "
                          "\"bytes_received\": 5000,"),
              std::string::npos)
        << report;
}
