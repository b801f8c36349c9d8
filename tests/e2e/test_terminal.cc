// The terminal and the echo test end to end. The device is a pseudo-terminal whose master plays
// the board; for the terminal a second pseudo-terminal is the console (the standard input), typed
// into through its master.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "bench.h"
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
    std::string device;  // the device word given

    explicit Session(std::vector<std::string> words, bool console_ctty = true,
                     const std::string &device_word = "")
    {
        cooked = make_cooked(con);
        dev_before = dev.attrs();
        dev_mode = mode_of(dev.path);
        words.insert(words.begin(), "terminal");
        this->device = device_word.empty() ? dev.path : device_word;
        words.push_back(this->device);
        zelk = std::make_unique<Proc>(words, zt::RunOptions{.cwd = dir.path,
                                                            .stdin_fd = con.slave,
                                                            .timeout_s = 60,
                                                            .console_ctty = console_ctty});
    }

    // The console has gone raw: the terminal is in its loop and typing reaches it. If it never
    // does, what zelk said (once it has ended, or been ended at its time limit) tells why. The
    // wait ends before zelk's limit, or as soon as zelk has ended.
    testing::AssertionResult wait_raw()
    {
        const auto raw = [&] { return (con.attrs().c_lflag & (ICANON | ECHO)) == 0; };
        if (zt::poll_until([&] { return raw() || zt::state_of(zelk->pid()) == 'Z'; }, 30s) && raw())
            return testing::AssertionSuccess();
        const RunResult r = zelk->finish();
        return testing::AssertionFailure()
               << "the console never went raw; zelk ended with status " << r.status << ", signal "
               << r.signal << (r.timed_out ? " at its time limit" : "") << "\nstdout: " << r.out
               << "\nstderr: " << r.err;
    }

    void type(const std::string &bytes) const { send(con.master, bytes); }
    void board(const std::string &bytes) const { send(dev.master, bytes); }
    // What zelk has sent on the line, as the board receives it: what is due comes within the
    // default on any load; a shorter wait looks for what must not come.
    std::string sent(size_t want, int timeout_ms = 20000) const
    {
        return read_for(dev.master, want, timeout_ms);
    }
    std::string protocol() const { return zt::read_file(dir.file("zelk.txt")); }
    // The console is a terminal: one line as the terminal starts.
    std::string banner() const
    {
        return "Terminal on " + device +
               " at 38400 baud: Ctrl-] q quits, Ctrl-] ? lists the keys\n";
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
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + rx, 20000)) << s.zelk->out_so_far();
    s.type("ls -l\r");
    EXPECT_EQ(s.sent(6), "ls -l\r");
    RunResult r = s.end_normally();
    EXPECT_EQ(r.out, kSetSpeed + rx);
    EXPECT_EQ(r.err, s.banner() + "\n");
    EXPECT_EQ(s.protocol(), rx);
}

// Hex display of what arrives; typed bytes echoed in hex too (an arrow key's escape sequence
// never moves the cursor) and logged raw after what came before.
TEST(TerminalE2E, HexDisplayWithEcho)
{
    Session s({"hex", "echo"});
    ASSERT_TRUE(s.wait_raw());
    s.board("\x41\x0a");
    ASSERT_TRUE(s.zelk->wait_for_out("41 0a ", 20000)) << s.zelk->out_so_far();
    s.type("\x1b[A");
    EXPECT_EQ(s.sent(3), "\x1b[A");
    ASSERT_TRUE(s.zelk->wait_for_out("41 0a 1b 5b 41 ", 20000)) << s.zelk->out_so_far();
    s.board("\xff");
    ASSERT_TRUE(s.zelk->wait_for_out("41 0a 1b 5b 41 ff ", 20000)) << s.zelk->out_so_far();
    RunResult r = s.end_normally();
    EXPECT_EQ(r.out, kSetSpeed + "41 0a 1b 5b 41 ff ");
    EXPECT_EQ(r.err, s.banner() + "\n");
    EXPECT_EQ(s.protocol(), "A\n\x1b[A\xff");
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
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + "aZ", 20000)) << s.zelk->out_so_far();
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
        [&] { return zt::bytes_read(pid) > before && zt::waiting_for_line(pid); }, 20s));
    s.board("q");
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + "q", 20000));
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

// Another terminating signal while the console is raw still gives the user's console back.
TEST(TerminalE2E, FatalSignalRestoresConsole)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    s.zelk->signal(SIGUSR1);
    RunResult r = s.zelk->finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, s.banner() + "Received unknown signal 10\n\n");
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

// Without a console the standard input is relayed to the line as it is (Ctrl-C and Ctrl-] are
// data), the line to the standard output and the protocol file; the run ends, status 0, once the
// input is over and the line has been silent for the idle time (2 s by default). No start line.
TEST(TerminalE2E, PipeOnStandardInput)
{
    TempDir dir;
    Pty dev;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
    Proc p({"terminal", dev.path}, {.cwd = dir.path, .stdin_fd = pipe_fds[0], .timeout_s = 20});
    close(pipe_fds[0]);
    ASSERT_TRUE(wait_line_ready(dev));
    const std::string input("help\r\x03\x1dq", 8);
    send(pipe_fds[1], input);
    close(pipe_fds[1]);
    EXPECT_EQ(read_for(dev.master, input.size(), 20000), input);
    send(dev.master, "usage: ...\r\n");
    const auto answered = std::chrono::steady_clock::now();
    RunResult r = p.finish();
    const auto idle = std::chrono::steady_clock::now() - answered;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "usage: ...\r\n");
    EXPECT_EQ(r.err, kSetSpeed);
    EXPECT_GE(idle, 2s) << "ended before the line had been silent for 2 s";
    EXPECT_EQ(zt::read_file(dir.file("zelk.txt")), "usage: ...\r\n");
}

// "idle N" sets the silence after the input's end; a line that carries only the idle monitor's
// "rr" is silent; stdout holds only the board's bytes; a termination signal gives status 1.
TEST(TerminalE2E, PipeIdleTimeAndSignal)
{
    TempDir dir;
    Pty dev;
    RunResult r =
        zt::run_zelk({"terminal", "idle", "0", dev.path}, {.cwd = dir.path, .timeout_s = 20});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kSetSpeed);

    zt::Bench b;
    zt::write_file(b.dir.file("in.txt"), "X\r");
    const int in = open(b.dir.file("in.txt").c_str(), O_RDONLY | O_CLOEXEC);
    r = zt::run_zelk(b.words({"terminal"}), {.cwd = b.dir.path, .stdin_fd = in});
    close(in);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kSetSpeed);
    EXPECT_EQ(r.out.find_first_not_of('r'), std::string::npos) << r.out;

    Proc p(b.words({"terminal", "idle", "600"}), {.cwd = b.dir.path});
    ASSERT_TRUE(p.wait_for_out("rr", 20000)) << p.out_so_far();
    p.signal(SIGTERM);
    RunResult t = p.finish();
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.err, kSetSpeed + "Received signal 15. Terminating.\n");
    EXPECT_EQ(t.out.find_first_not_of('r'), std::string::npos) << t.out;
}

// The protocol file's name follows the device word unless given; it is created or emptied
// before the terminal starts, so a run on an empty input and a silent line leaves it empty.
TEST(TerminalE2E, ProtocolFileNames)
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
        words.insert(words.begin(), {"terminal", "idle", "0"});
        RunResult r = zt::run_zelk(words, {.cwd = dir.path, .timeout_s = 20});
        EXPECT_EQ(r.status, 0) << c.file;
        EXPECT_EQ(r.out, "") << c.file;
        EXPECT_EQ(r.err, kSetSpeed) << c.file;
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
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              kSetSpeed +
                  "\nProtocol file [no-such-dir/t.log] open error: No such file or directory\n");
    termios after = dev.attrs();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(mode_of(dev.path), mode_before);
}

// Ctrl-] q leaves without sending anything (no break, no byte); Ctrl-] Ctrl-] sends one Ctrl-];
// Ctrl-] ? lists the keys on the error stream; another key after Ctrl-] is dropped.
TEST(TerminalE2E, EscapeKey)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    s.type("a\x1d\x1d"
           "b\x1dxc");
    EXPECT_EQ(s.sent(4), "a\x1d"
                         "bc");
    // The list is out once zelk waits again after reading the two keys.
    const pid_t pid = s.zelk->pid();
    const long long before = zt::bytes_read(pid);
    s.type("\x1d?");
    ASSERT_TRUE(zt::poll_until(
        [&] { return zt::bytes_read(pid) > before && zt::waiting_for_line(pid); }, 20s));
    s.type("\x1dq");
    RunResult r = s.zelk->finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSetSpeed);
    EXPECT_EQ(r.err, s.banner() + "\r\nKeys:\r\n"
                                  "  Ctrl-] q       quit, sending nothing\r\n"
                                  "  Ctrl-] Ctrl-]  send one Ctrl-]\r\n"
                                  "  Ctrl-] ?       this list\r\n"
                                  "  Ctrl-C         send a break; twice in a row quits\r\n"
                                  "\n");
    EXPECT_EQ(s.sent(1, 200), "");
    s.expect_restored();
}

namespace {

// Printable bytes in a fixed order: none is a key the terminal takes for itself.
std::string printable_pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(' ' + (i * 7 + i / 95) % 95);
    return s;
}

}  // namespace

// A paste larger than every buffer on its way (256 KiB; 64 KiB is a common paste) while the board
// at first reads nothing: the bytes wait in zelk's queue and the console's buffer, none is
// dropped, and what the board sends meanwhile is shown at once.
TEST(TerminalE2E, PasteArrivesWhole)
{
    Session s({});
    ASSERT_TRUE(s.wait_raw());
    const std::string paste = printable_pattern(256 * 1024);
    std::thread typist([&] { s.type(paste); });
    // The board starts reading once the line's buffer holds a good part of the paste and zelk
    // waits for it to take more.
    const pid_t pid = s.zelk->pid();
    EXPECT_TRUE(zt::poll_until(
        [&] {
            int queued = 0;
            ioctl(s.dev.master, FIONREAD, &queued);
            return queued >= 2048 && zt::waiting_for_line(pid);
        },
        20s));
    s.board("busy\r\n");
    EXPECT_TRUE(s.zelk->wait_for_out(kSetSpeed + "busy\r\n", 20000)) << "the display stalled";
    const std::string got = s.sent(paste.size());
    typist.join();
    EXPECT_EQ(got.size(), paste.size());
    EXPECT_TRUE(got == paste) << "the paste arrived changed";
    s.end_normally();
}

// With timestamps every line on the console and in the protocol file starts with the local time
// to the millisecond; in hex mode every row of 16 bytes does.
TEST(TerminalE2E, Timestamps)
{
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
    struct Case {
        std::vector<std::string> words;
        std::string rx;
        std::string shown, logged;  // patterns
    } cases[] = {
        {{"timestamps"},
         "one\r\ntwo\r\nth",
         stamp + "one\r\n" + stamp + "two\r\n" + stamp + "th",
         stamp + "one\r\n" + stamp + "two\r\n" + stamp + "th"},
        {{"timestamps", "hex"},
         "0123456789abcdefZ",
         stamp + "(3[0-9] ){10}(6[1-6] ){6}\r\n" + stamp + "5a ",
         stamp + "(3[0-9] ){10}(6[1-6] ){6}\n" + stamp + "5a "},
    };
    for (const Case &c : cases) {
        Session s(c.words);
        ASSERT_TRUE(s.wait_raw());
        s.board(c.rx);
        const std::regex shown(kSetSpeed + c.shown);
        ASSERT_TRUE(
            zt::poll_until([&] { return std::regex_match(s.zelk->out_so_far(), shown); }, 20s))
            << s.zelk->out_so_far();
        RunResult r = s.end_normally();
        EXPECT_TRUE(std::regex_match(r.out, shown)) << r.out;
        EXPECT_TRUE(std::regex_match(s.protocol(), std::regex(c.logged))) << s.protocol();
    }
}

// With reconnect, a line whose far end goes away is waited for under the same path (a symbolic
// link switched to a new pseudo-terminal, as a /dev/serial/by-id name follows its adapter),
// reopened with the same settings, and the session goes on.
TEST(TerminalE2E, ReconnectAfterHangUp)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "device words under /dev need root";
    Pty first;
    DevLink link("reconnect", first.path);
    ASSERT_FALSE(link.path.empty());
    Session s({"reconnect"}, true, link.path);
    ASSERT_TRUE(s.wait_raw());
    send(first.master, "a");
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + "a", 20000)) << s.zelk->out_so_far();

    // The new device takes the link's name before the old one goes.
    Pty second;
    const termios second_before = second.attrs();
    const std::string tmp = link.path + ".new";
    ASSERT_EQ(symlink(second.path.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.path.c_str()), 0);
    close(first.master);
    first.master = -1;

    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + "a" + kSetSpeed, 20000)) << s.zelk->out_so_far();
    send(second.master, "b");
    ASSERT_TRUE(s.zelk->wait_for_out(kSetSpeed + "a" + kSetSpeed + "b", 20000));
    s.type("x");
    EXPECT_EQ(read_for(second.master, 1, 20000), "x");
    termios now = second.attrs();
    EXPECT_EQ(cfgetospeed(&now), B38400);

    s.type("\x1dq");
    RunResult r = s.zelk->finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, s.banner() + "\nSerial line hung up\n" + "\rWaiting for " + link.path +
                         " to come back\r\n" + "\rReconnected to " + link.path + "\r\n\n");
    expect_console_is(s.con, s.cooked);
    termios after = second.attrs();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&second_before));
    EXPECT_EQ(after.c_lflag, second_before.c_lflag);
}

// With reconnect, a device that has not come back is waited for until the user leaves (Ctrl-]
// q, status 0); one that comes back held by another program ends the terminal, status 1.
TEST(TerminalE2E, ReconnectWaitsOrMeetsABusyDevice)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "device words under /dev need root";
    // Whether zelk holds a descriptor on the node at path.
    const auto holds = [](pid_t pid, const std::string &path) {
        std::error_code ec;
        for (const auto &e :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
            if (std::filesystem::read_symlink(e.path(), ec).string() == path)
                return true;
        return false;
    };
    {
        Pty first;
        DevLink link("reconnect-wait", first.path);
        ASSERT_FALSE(link.path.empty());
        Session s({"reconnect"}, true, link.path);
        ASSERT_TRUE(s.wait_raw());
        ASSERT_EQ(unlink(link.path.c_str()), 0);  // the adapter is gone for good
        close(first.master);
        first.master = -1;
        const pid_t pid = s.zelk->pid();
        ASSERT_TRUE(zt::poll_until([&] { return !holds(pid, first.path); }, 20s));
        s.type("\x1dq");
        RunResult r = s.zelk->finish();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kSetSpeed);
        EXPECT_EQ(r.err, s.banner() + "\nSerial line hung up\n" + "\rWaiting for " + link.path +
                             " to come back\r\n\n");
        expect_console_is(s.con, s.cooked);
    }
    {
        Pty first, second;
        DevLink link("reconnect-busy", first.path);
        ASSERT_FALSE(link.path.empty());
        Session s({"reconnect"}, true, link.path);
        ASSERT_TRUE(s.wait_raw());
        const int other = open(second.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(other, 0);
        ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
        const std::string tmp = link.path + ".new";
        ASSERT_EQ(symlink(second.path.c_str(), tmp.c_str()), 0);
        ASSERT_EQ(rename(tmp.c_str(), link.path.c_str()), 0);
        close(first.master);
        first.master = -1;
        RunResult r = s.zelk->finish();
        close(other);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kSetSpeed);
        EXPECT_NE(r.err.find("\rWaiting for " + link.path + " to come back\r\nDevice [" +
                             link.path + "] is busy: in use by process " +
                             std::to_string(getpid())),
                  std::string::npos)
            << r.err;
        expect_console_is(s.con, s.cooked);
    }
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
        back += read_for(master, part.size(), 20000);
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
    EXPECT_TRUE(p.wait_for_out("Rx=65536 bytes\n", 20000));
    EXPECT_EQ(send_and_collect(dev.master, data.substr(65536)), data.substr(65536));
    EXPECT_TRUE(p.wait_for_out("Rx=131072 bytes\n", 20000));

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
        const size_t got = read_for(dev.master, piece, 20000).size();
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

// A far end that sends 1 MiB as fast as it can while it reads the echo: every byte comes back in
// order (what the line does not take at once waits in zelk's queue), and is counted.
TEST(TerminalEchoTest, FullRateMegabyte)
{
    TempDir dir;
    Pty dev;
    Proc p({"echo", "test", "speed", "115200", "protocol", "echo.log", dev.path},
           {.cwd = dir.path, .timeout_s = 120});
    ASSERT_TRUE(zt::poll_until(
        [&] {
            termios t = dev.attrs();
            return cfgetospeed(&t) == B115200;
        },
        20s));
    const std::string data = pattern(1 << 20, 11);
    std::thread sender([&] { send(dev.master, data); });
    const std::string back = read_for(dev.master, data.size(), 20000);
    sender.join();
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "the echo differs";
    EXPECT_TRUE(p.wait_for_out("Rx=1048576 bytes\n", 20000));
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(zt::read_file(dir.file("echo.log")) == data) << "the protocol file differs";
}

// From a console the echo test ends on Ctrl-] q, status 0, the console as it was.
TEST(TerminalEchoTest, EscapeKeyEndsTest)
{
    TempDir dir;
    Pty dev, con;
    const termios cooked = make_cooked(con);
    Proc p({"echo", "test", dev.path}, {.cwd = dir.path, .stdin_fd = con.slave, .timeout_s = 20});
    ASSERT_TRUE(zt::poll_until([&] { return (con.attrs().c_lflag & ICANON) == 0; }, 20s));
    EXPECT_EQ(send_and_collect(dev.master, "ping"), "ping");
    send(con.master, "\x1dq");
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSetSpeed);
    EXPECT_EQ(r.err, "Echo test on " + dev.path + " at 38400 baud: Ctrl-] q quits\n");
    expect_console_is(con, cooked);
    EXPECT_EQ(zt::read_file(dir.file("zelk.txt")), "ping");
}

// A console zelk does not own in the foreground (a run in the background, or a terminal that is
// not its controlling one) is left alone: no start line, no change, Ctrl-C and signals as before.
TEST(TerminalEchoTest, ConsoleNotInTheForegroundIsLeftAlone)
{
    TempDir dir;
    Pty dev, con;
    const termios cooked = make_cooked(con);
    Proc p({"echo", "test", dev.path},
           {.cwd = dir.path, .stdin_fd = con.slave, .timeout_s = 20, .console_ctty = false});
    ASSERT_TRUE(wait_line_ready(dev));
    EXPECT_EQ(send_and_collect(dev.master, "ping"), "ping");
    expect_console_is(con, cooked);
    p.signal(SIGTERM);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kSetSpeed + "Received signal 15. Terminating.\n");
    EXPECT_EQ(r.err, "");
    expect_console_is(con, cooked);
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
