// zelk in hostile surroundings, end to end: closed standard streams, device words that name no
// serial line, a device held exclusively, permission failures as another user meets them,
// options and input files that never end, an output file that is the input file, and symbolic
// links planted in a shared directory.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "bench.h"
#include "harness.h"
#include "json.h"

using zt::Bench;
using zt::Proc;
using zt::Pty;
using zt::RunResult;
using zt::TempDir;

namespace {

const std::string HEAD = "Set speed=38400\nTest link ...";
constexpr int OTHER_UID = 65534;  // a user without privileges: root passes every check below
constexpr int OTHER_GID = 65534;

std::string group_name(gid_t gid)
{
    const struct group *g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

std::string user_name(uid_t uid)
{
    const struct passwd *p = getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}

// Whether a forked child can become another user (root only, and not in every container).
bool can_become_other_user()
{
    if (geteuid() != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgid(OTHER_GID) == 0 && setuid(OTHER_UID) == 0 ? 0 : 1);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

// Opens path read-write as the other user, as a terminal program would; 0 on success, else
// the errno of the failed open.
int open_as_other_user(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(OTHER_GID) != 0 || setuid(OTHER_UID) != 0)
            _exit(255);
        int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
        _exit(fd >= 0 ? 0 : errno);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

// ---- Closed standard streams -------------------------------------------------------------------

// A closed standard descriptor is never taken by the device: what zelk prints goes nowhere
// instead of onto the line, and the board receives nothing but the protocol.
TEST(StandardStreamsE2E, ClosedStdoutSendsOnlyProtocol)
{
    Bench b;
    RunResult r = zt::run_zelk(b.words({"registers"}), {.cwd = b.dir.path, .closed = {1}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.board.received(), "RR");
}

TEST(StandardStreamsE2E, ClosedStderrSendsOnlyProtocol)
{
    // The code's error message comes after the device is open.
    Bench b(zt::with_fault({.command = "MC", .reply = zb::Script{zb::send("MC0000 001")}}));
    RunResult r = zt::run_zelk(b.words({"manufactory"}), {.cwd = b.dir.path, .closed = {2}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(b.board.received(), "MC");
}

// Without a standard input the terminal reads /dev/null: the line never becomes the console,
// nothing is sent, and the run ends once the board has been silent for the idle time.
TEST(StandardStreamsE2E, ClosedStdinNeverMakesTheLineTheConsole)
{
    zb::Config cfg;
    cfg.ready.offers = 2;
    Bench b(cfg);
    RunResult r =
        zt::run_zelk(b.words({"terminal"}), {.cwd = b.dir.path, .timeout_s = 20, .closed = {0}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "rrrr");
    EXPECT_EQ(r.err, "Set speed=38400\n");
    EXPECT_EQ(b.board.received(), "");
}

TEST(StandardStreamsE2E, AllClosedSendsOnlyProtocol)
{
    Bench b;
    RunResult r = zt::run_zelk(b.words({"registers"}), {.cwd = b.dir.path, .closed = {0, 1, 2}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(b.board.received(), "RR");
}

// ---- Only a serial line is a device ------------------------------------------------------------

// A pseudo-terminal master, a regular file and /dev/null are refused before anything touches
// them: no line set-up, no mode change, nothing written.
TEST(DeviceCheckE2E, OnlyASerialLineIsUsed)
{
    TempDir dir;
    // A regular file the device word can name: under /dev/shm where there is one.
    const std::string shm = "/dev/shm/zelk-test-" + std::to_string(getpid());
    const std::string regular =
        std::filesystem::is_directory("/dev/shm") ? shm : "/dev/.." + dir.file("plain");
    zt::write_file(regular, "plain");
    ASSERT_EQ(chmod(regular.c_str(), 0666), 0);
    for (const std::string &path : {std::string("/dev/ptmx"), regular, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        const mode_t before = zt::mode_of(path);
        RunResult r = zt::run_zelk({"erase", path}, {.cwd = dir.path, .timeout_s = 20});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Device [" + path + "] is not a serial line\n");
        EXPECT_EQ(zt::mode_of(path), before);
    }
    EXPECT_EQ(zt::read_file(regular), "plain");
    unlink(shm.c_str());
}

// ---- The device held exclusively ---------------------------------------------------------------

// While zelk runs no other user can open the device; once it has ended, by the termination
// signal or by a fatal one (the emergency restorer), the device opens again.
TEST(ExclusiveE2E, OtherUserCannotOpenTheDeviceDuringARun)
{
    if (!can_become_other_user())
        GTEST_SKIP() << "needs root and a second user";
    Pty pty;
    // The other user owns the node, so only the exclusive mode can keep it out.
    ASSERT_EQ(chown(pty.path.c_str(), OTHER_UID, OTHER_GID), 0);
    ASSERT_EQ(open_as_other_user(pty.path), 0);
    TempDir dir;
    for (int sig : {SIGINT, SIGUSR1}) {
        SCOPED_TRACE(sig);
        // The handshake waits a minute for the silent line ("wait 60"): the run lasts.
        Proc p({"erase", "wait", "60", pty.path}, {.cwd = dir.path});
        ASSERT_TRUE(p.wait_for_out("Test link ...", 20000));
        EXPECT_EQ(open_as_other_user(pty.path), EBUSY);
        p.signal(sig);
        RunResult r = p.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(open_as_other_user(pty.path), 0);
    }
}

// ---- Errors that say what to do ----------------------------------------------------------------

// A user outside the device's group is told the reason and how to join the group; for a node
// that only its owner may open there is no group to join.
TEST(PermissionE2E, DeviceOpenRefusedNamesTheGroup)
{
    if (!can_become_other_user())
        GTEST_SKIP() << "needs root and a second user";
    Pty pty;
    const struct group *dialout = getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 0;
    ASSERT_EQ(chown(pty.path.c_str(), 0, gid), 0);
    const std::string head = "Device open error [" + pty.path + "]: Permission denied\n";
    struct Case {
        mode_t mode;
        std::string hint;
    } cases[] = {
        {0660, "Only members of group " + group_name(gid) + " may open " + pty.path +
                   ": join it with 'sudo usermod -aG " + group_name(gid) + " " +
                   user_name(OTHER_UID) + "', then log in again.\n"},
        {0600, "Only its owner " + user_name(0) + " may open " + pty.path + ".\n"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        ASSERT_EQ(chmod(pty.path.c_str(), c.mode), 0);
        RunResult r =
            zt::run_zelk({"erase", pty.path},
                         {.cwd = dir.path, .timeout_s = 20, .uid = OTHER_UID, .gid = OTHER_GID});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, head + c.hint);
        EXPECT_EQ(zt::mode_of(pty.path), c.mode);
    }
}

// A member of the device's group who is not its owner may use the line but cannot protect the
// node: told once, with the reason, and the run goes on.
TEST(PermissionE2E, GroupMemberIsToldTheNodeStaysWritable)
{
    if (!can_become_other_user())
        GTEST_SKIP() << "needs root and a second user";
    Pty pty;
    ASSERT_EQ(chown(pty.path.c_str(), 0, OTHER_GID), 0);
    ASSERT_EQ(chmod(pty.path.c_str(), 0660), 0);
    TempDir dir;
    Proc p({"erase", pty.path}, {.cwd = dir.path, .uid = OTHER_UID, .gid = OTHER_GID});
    ASSERT_TRUE(p.wait_for_out(HEAD, 20000));
    EXPECT_EQ(zt::mode_of(pty.path), 0660u);
    p.signal(SIGINT);
    RunResult r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("fchmod " + pty.path + " error: Operation not permitted\nDevice [" +
                              pty.path + "] stays writable by group " + group_name(OTHER_GID) +
                              " during the run\n",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(zt::mode_of(pty.path), 0660u);
}

// What ./zelk.cfg applied is named on stderr before the device is opened; stdout is as ever.
TEST(OptionsFileE2E, AppliedOptionsAreReported)
{
    TempDir dir;
    zt::write_file(dir.file("zelk.cfg"), "erase # a stray one\ninput imgae.bin\nbogus\n");
    RunResult r = zt::run_zelk({"write", "/dev/pts"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nLogview:File [./zelk.cfg] parse error. Line [3] at word 'bogus'\n"
                     "Options from ./zelk.cfg: erase, input imgae.bin\n"
                     "\nInput file [imgae.bin] open error: No such file or directory\n");
}

// ---- Files that never end ----------------------------------------------------------------------

// A FIFO or a device as ./zelk.cfg is reported and skipped, and the run goes on.
TEST(FilesE2E, OptionsFileThatIsNoRegularFile)
{
    Bench b;
    ASSERT_EQ(mkfifo(b.dir.file("zelk.cfg").c_str(), 0600), 0);
    RunResult r = zt::run_zelk(b.words({"erase"}), {.cwd = b.dir.path, .timeout_s = 60});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nLogview:File [./zelk.cfg] is not a regular file: not read\n");
    EXPECT_EQ(r.out, HEAD + "Ok\nErase flash ...Ok\n");

    unlink(b.dir.file("zelk.cfg").c_str());
    ASSERT_EQ(symlink("/dev/zero", b.dir.file("zelk.cfg").c_str()), 0);
    RunResult z = zt::run_zelk({"--version"}, {.cwd = b.dir.path, .timeout_s = 20});
    EXPECT_FALSE(z.timed_out);
    EXPECT_EQ(z.status, 0);
    EXPECT_EQ(z.err, "\nLogview:File [./zelk.cfg] is not a regular file: not read\n"
                     "Version ZELK 0.1.0\n");
}

// A FIFO as the input file is refused before the device is opened.
TEST(FilesE2E, InputFileThatIsAFifo)
{
    Bench b;
    ASSERT_EQ(mkfifo(b.dir.file("image.bin").c_str(), 0600), 0);
    for (const char *op : {"write", "bwrite"}) {
        SCOPED_TRACE(op);
        RunResult r =
            zt::run_zelk(b.words({op, "input", "image.bin"}), {.cwd = b.dir.path, .timeout_s = 30});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "\nInput file [image.bin] is not a regular file\n");
    }
    EXPECT_EQ(b.board.received(), "");
}

// ---- Output files ------------------------------------------------------------------------------

// Writing a file and reading the flash back into the same file (by its name, another name or
// a hard link) is refused before the device is opened: a failed read would truncate it.
TEST(FilesE2E, OutputThatIsTheInputIsRefused)
{
    Bench b;
    const std::string data = b.image(std::string(700, 'z'));
    ASSERT_EQ(link(b.dir.file("image.bin").c_str(), b.dir.file("hard.bin").c_str()), 0);
    for (const char *out : {"image.bin", "./image.bin", "hard.bin"}) {
        SCOPED_TRACE(out);
        RunResult r = b.run({"write", "input", "image.bin", "read", "output", out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("Output file [") + out + "] is the input file [image.bin]\n");
    }
    EXPECT_EQ(b.board.received(), "");
    EXPECT_EQ(zt::read_file(b.dir.file("image.bin")), data);
}

// In a world-writable sticky directory a link of another user is not followed, for the flash
// read's output and for the protocol file; a link of the user's own is.
TEST(FilesE2E, SymlinkOfAnotherUserInAStickyDirectory)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's link needs root";
    Bench b;
    b.board.load_flash(0, {'f', 'l', 'a', 's', 'h'});
    const std::string shared = b.dir.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string victim = b.dir.file("victim");
    zt::write_file(victim, "mine");
    const std::string planted = shared + "/zelk.out";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), OTHER_UID, OTHER_GID), 0);
    const std::string refused = "\nFile [" + planted +
                                "] is a symbolic link of another user in a shared sticky "
                                "directory: not followed\n";

    RunResult r = b.run({"read", "size", "5", "output", planted});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refused);
    EXPECT_EQ(zt::read_file(victim), "mine");

    Pty dev;
    RunResult e = zt::run_zelk({"echo", "test", "protocol", planted, dev.path},
                               {.cwd = b.dir.path, .timeout_s = 20});
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.err, refused);
    EXPECT_EQ(zt::read_file(victim), "mine");
    EXPECT_EQ(b.board.received(), "");

    // The user's own link is followed, by the report's rename too: the link stays.
    ASSERT_EQ(lchown(planted.c_str(), 0, 0), 0);
    RunResult own = b.run({"read", "size", "5", "output", planted});
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(zt::read_file(victim), "flash");
    own = b.run({"manufactory", "report", planted});
    EXPECT_EQ(own.status, 0) << own.err;
    struct stat st;
    ASSERT_EQ(lstat(planted.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(zt::read_json(victim)["exit_status"], 0);
}

// An output or protocol file that is a FIFO: with nobody reading it, refused at once instead of
// blocking; with a reader, it gets the bytes; another user's FIFO in a world-writable sticky
// directory is never used.
TEST(FilesE2E, OutputToAFifo)
{
    Bench b;
    b.board.load_flash(0, {'f', 'l', 'a', 's', 'h'});
    const std::string fifo = b.dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RunResult r = b.run({"read", "size", "5", "output", fifo});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nFile [" + fifo + "] is a FIFO with no reader: not opened\n");
    EXPECT_EQ(r.out, "");

    // A reader, waiting in its open for a writer: it receives the flash.
    std::string got;
    std::atomic<pid_t> reader_tid{0};
    std::thread reader([&] {
        reader_tid = gettid();
        const int fd = open(fifo.c_str(), O_RDONLY);
        char buf[64];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<std::size_t>(n));
        close(fd);
    });
    ASSERT_TRUE(
        zt::poll_until([&] { return reader_tid && zt::blocked_in(reader_tid) == SYS_openat; },
                       std::chrono::milliseconds(10000)));
    Proc p(b.words({"read", "size", "5", "output", fifo}), {.cwd = b.dir.path});
    RunResult ok = p.finish();
    reader.join();
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(got, "flash");

    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's FIFO needs root";
    const std::string shared = b.dir.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string planted = shared + "/zelk.out";
    ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
    ASSERT_EQ(chown(planted.c_str(), OTHER_UID, OTHER_GID), 0);
    const int held = open(planted.c_str(), O_RDONLY | O_NONBLOCK);  // a reader is there
    ASSERT_GE(held, 0);
    RunResult e = b.run({"read", "size", "5", "output", planted});
    close(held);
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.err, "\nFile [" + planted +
                         "] is a FIFO of another user in a shared sticky directory: not used\n");
}

// Every file the run writes, and the resume report it reads, against what it must never be:
// another file of the run, the device, a terminal, a FIFO nobody reads, another user's link in a
// sticky directory, /dev/full. Each is refused before the device is opened (the board hears
// nothing), or the write that fails ends the run with status 1.
TEST(FilesE2E, EveryFileOfTheRunIsChecked)
{
    Bench b;
    b.image("image");
    Pty terminal;
    const std::string fifo = b.dir.file("fifo"), link = b.dir.file("shared/link");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(mkdir(b.dir.file("shared").c_str(), 01777), 0);
        ASSERT_EQ(chmod(b.dir.file("shared").c_str(), 01777), 0);
        ASSERT_EQ(symlink(b.dir.file("victim").c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), OTHER_UID, OTHER_GID), 0);
    }
    const std::string full = "[/dev/full] write error: No space left on device\n";
    const struct {
        std::vector<std::string> words;
        std::string file;        // how its messages name it
        bool regular_only;       // replaced whole, or read
        std::string full_error;  // on /dev/full: "" = refused as no regular file
    } roles[] = {
        {{"output"}, "Output file", false, "\nOutput file [/dev/full] write error\n"},
        {{"report"}, "\nReport file", true, ""},
        {{"trace"}, "\nTrace file", false, "\nTrace file " + full},
        {{"progress"}, "\nProgress file", false, "\nProgress file " + full},
        {{"echo", "test", "protocol"}, "\nProtocol file", false, "-"},  // TerminalEchoTest
        {{"resume"}, "\nResume file", true, ""},
    };
    const struct {
        std::string path, what;  // the refusal after "[path] ", or (starting with "\n") all of it
        bool regular;
    } targets[] = {
        {"image.bin", "is the input file [image.bin]", true},
        {"o.bin", "is the output file [o.bin]", true},
        {b.board.path(), "is the device [" + b.board.path() + "]", true},
        {terminal.path, "is a device, not a file", false},
        {fifo, "\nFile [" + fifo + "] is a FIFO with no reader: not opened\n", false},
        {root ? link : "",
         "\nFile [" + link +
             "] is a symbolic link of another user in a shared "
             "sticky directory: not followed\n",
         true},
        {"/dev/full", "", false},
    };
    for (const auto &role : roles) {
        for (const auto &t : targets) {
            const bool full_cell = t.path == "/dev/full" && !role.full_error.empty();
            if (t.path.empty() || (t.path == "o.bin" && role.words[0] == "output") ||
                (full_cell && role.full_error == "-"))
                continue;
            SCOPED_TRACE(role.file + " " + t.path);
            std::vector<std::string> words = {"write", "input", "image.bin", "read",
                                              "size",  "5",     "output",    "o.bin"};
            words.insert(words.end(), role.words.begin(), role.words.end());
            words.push_back(t.path);
            const std::size_t heard = b.board.received().size();
            const RunResult r = b.run(words);
            EXPECT_EQ(r.status, 1);
            std::string want = role.file + " [" + t.path + "] " + t.what + "\n";
            if (full_cell)
                want = role.full_error;
            else if (role.regular_only && !t.regular)
                want = role.file + " [" + t.path + "] is not a regular file\n";
            else if (t.what[0] == '\n')
                want = t.what;
            EXPECT_EQ(r.err, want);
            if (!full_cell || role.words[0] == "progress") {
                EXPECT_EQ(b.board.received().size(), heard) << "refused before the device";
            }
        }
    }
    EXPECT_EQ(zt::read_file(b.dir.file("image.bin")), "image");
}

// An options file that is there but cannot be read is not skipped in silence.
TEST(FilesE2E, UnreadableOptionsFileIsReported)
{
    if (!can_become_other_user())
        GTEST_SKIP() << "needs root and another user";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    zt::write_file(dir.file("zelk.cfg"), "speed 9600\n");
    ASSERT_EQ(chmod(dir.file("zelk.cfg").c_str(), 0600), 0);
    RunResult r =
        zt::run_zelk({"--version"}, {.cwd = dir.path, .uid = OTHER_UID, .gid = OTHER_GID});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "\nLogview:File [./zelk.cfg] open error: Permission denied\nVersion ZELK 0.1.0\n");
}
