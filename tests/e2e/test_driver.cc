// The driver end to end: command check, device open, line set-up and its restoration on every
// way the run ends, signals and exit statuses. The far end here is a silent pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "bench.h"
#include "harness.h"

using zt::Proc;
using zt::Pty;
using zt::RunResult;
using zt::TempDir;

namespace {

using zt::mode_of;
using namespace std::chrono_literals;

void expect_same_attrs(const termios &a, const termios &b)
{
    EXPECT_TRUE(zt::same_line_attrs(a, b));
}

// What is due comes within this on any load. A run that a signal is to end waits a minute for a
// board that never answers ("wait 60"), so the signal always finds it in that wait.
constexpr int DUE_MS = 20000;

}  // namespace

// No command: the usage listing that -h prints (its text is checked by the unit tests), and a
// failure.
TEST(DriverE2E, NoCommandPrintsUsageAndFails)
{
    TempDir dir;
    const RunResult help = zt::run_zelk({"-h"}, {.cwd = dir.path});
    EXPECT_EQ(help.out.rfind("ZELK 0.1.0 ", 0), 0u) << help.out;
    for (auto args :
         {std::vector<std::string>{}, std::vector<std::string>{"speed", "9600", "size", "10"}}) {
        RunResult r = zt::run_zelk(args, {.cwd = dir.path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Command undefined\n");
        EXPECT_EQ(r.out, help.out);
    }
}

TEST(DriverE2E, VersionAndHelpExitZero)
{
    TempDir dir;
    RunResult v = zt::run_zelk({"--version", "no-such-word"}, {.cwd = dir.path});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.err, "Version ZELK 0.1.0\n");
    RunResult h = zt::run_zelk({"-h"}, {.cwd = dir.path});
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("Option name         Option description"), std::string::npos);
}

TEST(DriverE2E, DeviceThatCannotBeOpened)
{
    TempDir dir;
    RunResult r = zt::run_zelk({"erase", "/dev/pts"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Device open error [/dev/pts]: Is a directory\n");
    EXPECT_EQ(r.out, "");
}

TEST(DriverE2E, UnknownWordIsRefusedBeforeTheDevice)
{
    TempDir dir;
    RunResult r = zt::run_zelk({"erase", "no-such-device-word"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("\nLogview:Unknown option 'no-such-device-word'\n", 0), 0u) << r.err;
}

// The line is raw at the requested speed and the node protected while the run lasts; SIGINT
// ends the handshake and everything is put back as found.
TEST(DriverE2E, LineSetUpDuringRunAndRestoredAfterSigint)
{
    TempDir dir;
    Pty pty;
    const termios before = pty.attrs();
    const mode_t mode_before = mode_of(pty.path);
    ASSERT_NE(mode_before & 022, 0u) << "the test needs a group- or other-writable node";

    Proc p({"erase", "speed", "115200", "wait", "60", pty.path}, {.cwd = dir.path});
    ASSERT_TRUE(p.wait_for_out("Test link ...", DUE_MS));
    ASSERT_TRUE(zt::poll_until([&] { return zt::waiting_for_line(p.pid()); }, 20s));
    termios during = pty.attrs();
    EXPECT_EQ(cfgetospeed(&during), speed_t{B115200});
    EXPECT_EQ(cfgetispeed(&during), speed_t{B115200});
    EXPECT_EQ(during.c_lflag, 0u);
    EXPECT_EQ(during.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(during.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(during.c_oflag & OPOST, 0u);
    EXPECT_EQ(mode_of(pty.path), mode_before & ~mode_t{022});

    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=115200\nTest link ...Received signal 2. Terminating.\n");
    EXPECT_EQ(r.err, "\nTest Link terminated.\n");
    expect_same_attrs(pty.attrs(), before);
    EXPECT_EQ(mode_of(pty.path), mode_before);
}

TEST(DriverE2E, SigtermEndsLikeSigint)
{
    TempDir dir;
    Pty pty;
    Proc p({"erase", "wait", "60", pty.path}, {.cwd = dir.path});
    ASSERT_TRUE(p.wait_for_out("Test link ...", DUE_MS));
    p.signal(SIGTERM);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Received signal 15. Terminating.\n"), std::string::npos);
    EXPECT_NE(r.err.find("\nTest Link terminated.\n"), std::string::npos);
}

// Any other terminating signal ends the run as a request, still putting the line and node back.
TEST(DriverE2E, FatalSignalRestoresTheLine)
{
    TempDir dir;
    Pty pty;
    const termios before = pty.attrs();
    const mode_t mode_before = mode_of(pty.path);
    for (int sig : {SIGUSR1, SIGHUP}) {
        Proc p({"erase", "wait", "60", pty.path}, {.cwd = dir.path});
        ASSERT_TRUE(p.wait_for_out("Test link ...", DUE_MS));
        p.signal(sig);
        RunResult r = p.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "Received unknown signal " + std::to_string(sig) + "\n\nTest Link terminated.\n");
        expect_same_attrs(pty.attrs(), before);
        EXPECT_EQ(mode_of(pty.path), mode_before);
    }
}

// A resized window, a finished child, urgent data or a resumed job change nothing: the
// handshake runs to its own end (here a silent line: "Fail" after five one-second waits).
TEST(DriverE2E, BenignSignalsAreIgnored)
{
    TempDir dir;
    Pty pty;
    Proc p({"erase", pty.path}, {.cwd = dir.path});
    ASSERT_TRUE(p.wait_for_out("Test link ...", DUE_MS));
    for (int sig : {SIGWINCH, SIGCHLD, SIGURG, SIGCONT})
        p.signal(sig);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Fail\n");
    EXPECT_EQ(r.err, zt::link_failure(pty.path, zt::NOTHING_CAME));
}

// A speed the line supports is set; 0 asks for none and runs at the line's (a fresh pty's 9600).
TEST(DriverE2E, SpeedChoices)
{
    const std::string cut = "Test link ...Received signal 2. Terminating.\n";
    const std::string ended = "\nTest Link terminated.\n";
    struct Case {
        std::string speed, out, err;
    } cases[] = {
        {"460800", "Set speed=460800\n" + cut, ended},
        {"0", "Used speed=9600\n" + cut, ended},
    };
    for (const Case &c : cases) {
        TempDir dir;
        Pty pty;
        Proc p({"erase", "speed", c.speed, "wait", "60", pty.path}, {.cwd = dir.path});
        ASSERT_TRUE(p.wait_for_out("Test link ...", DUE_MS)) << c.speed;
        ASSERT_TRUE(zt::poll_until([&] { return zt::waiting_for_line(p.pid()); }, 20s));
        p.signal(SIGINT);
        RunResult r = p.finish();
        EXPECT_EQ(r.status, 1) << c.speed;
        EXPECT_EQ(r.out, c.out) << c.speed;
        EXPECT_EQ(r.err, c.err) << c.speed;
    }
}

// A command in ./zelk.cfg counts like one on the command line.
TEST(DriverE2E, CommandFromOptionsFile)
{
    TempDir dir;
    Pty pty;
    zt::write_file(dir.file("zelk.cfg"), "erase # whole chip\nspeed 19200\n");
    RunResult r = zt::run_zelk({pty.path}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=19200\nTest link ...Fail\n");
}

// The line cannot be put back at the end of a run whose operations all succeeded: the user is
// told, and the run fails.
TEST(DriverE2E, AFailedRestoreFailsTheRun)
{
    zt::Bench b;
    RunResult r = zt::run_zelk(b.words({"manufactory"}),
                               {.cwd = b.dir.path, .binary = zt::zelk_restore_fails_binary()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Set speed=38400\nTest link ...Ok\nRead Manufactory Code...\n\n Manufactory "
                     "code = [0x00000001]\nCan not restore TTY device attribute\n");
    EXPECT_EQ(r.err, "\nRestore of " + b.board.path() + " failed: Input/output error\n");
}
