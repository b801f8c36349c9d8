#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "pty_line.h"

namespace zt {

const char *zelk_binary() { return ZELK_BINARY; }
const char *zelk_restore_fails_binary() { return ZELK_RESTORE_FAILS_BINARY; }
const char *zelk_board_binary() { return ZELK_BOARD_BINARY; }

TempDir::TempDir()
{
    char tmpl[] = "/tmp/zelk-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path, ec);
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

struct termios attrs_of(const std::string &path)
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        tcgetattr(fd, &t);
        close(fd);
    }
    return t;
}

bool same_line_attrs(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b) &&
           cfgetispeed(&a) == cfgetispeed(&b) && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME];
}

Pty::Pty()
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    cfmakeraw(&t);
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
    // The test keeps both ends; zelk must inherit neither.
    if (!zb::open_pty(master, slave, path, &t))
        throw std::runtime_error("openpty failed");
    // As a serial node usually is: the owner and the dialout group may write.
    fchmod(slave, 0620);
}

Pty::~Pty()
{
    if (master >= 0)
        close(master);
    if (slave >= 0)
        close(slave);
}

struct termios Pty::attrs() const
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    tcgetattr(slave, &t);
    return t;
}

static void drain(int fd, std::string *dst, std::mutex *mu)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(*mu);
        dst->append(buf, static_cast<size_t>(n));
    }
    close(fd);
}

Proc::Proc(const std::vector<std::string> &args, const RunOptions &opt)
    : timeout_s_(opt.timeout_s), mu_(new std::mutex)
{
    int outp[2], errp[2];
    if (pipe2(outp, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (opt.stderr_tty) {
        // Raw, so the bytes read on the master are the bytes zelk wrote.
        struct termios t;
        std::memset(&t, 0, sizeof t);
        cfmakeraw(&t);
        std::string name;
        if (!zb::open_pty(errp[0], errp[1], name, &t))
            throw std::runtime_error("openpty failed");
    } else if (pipe2(errp, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> words;
    words.push_back(opt.binary ? opt.binary : zelk_binary());
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Child: a clean signal state, the chosen stdin, the pipes as stdout and stderr.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s = 1; s < NSIG; s++)
            ::signal(s, SIG_DFL);
        int in = opt.stdin_fd >= 0 ? opt.stdin_fd : open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(outp[1], 1);
        dup2(errp[1], 2);
        if (opt.stdin_fd >= 0) {
            // As for a user at a shell: the console is the controlling terminal, so the serial
            // device zelk opens never becomes it.
            setsid();
            if (opt.console_ctty)
                ioctl(0, TIOCSCTTY, 0);
        } else if (opt.new_session) {
            setsid();
        }
        for (int fd : opt.closed)
            close(fd);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(127);
        if (opt.gid >= 0 &&
            (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(opt.gid)) != 0))
            _exit(126);
        if (opt.uid >= 0 && setuid(static_cast<uid_t>(opt.uid)) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outp[1]);
    close(errp[1]);
    outfd_ = outp[0];
    errfd_ = errp[0];
    out_thread_ = std::thread(drain, outfd_, &out_, mu_);
    err_thread_ = std::thread(drain, errfd_, &err_, mu_);
}

Proc::~Proc()
{
    if (!finished_) {
        kill(pid_, SIGKILL);
        const RunResult &r = finish();
        // A test cut short by a failed assertion still shows what zelk had said by then.
        if (testing::Test::HasFailure())
            std::cerr << "zelk, at the end of the test; its stdout:\n"
                      << r.out << "\n-- its stderr:\n"
                      << r.err << '\n';
    }
    delete mu_;
}

void Proc::signal(int sig) const { kill(pid_, sig); }

std::string Proc::out_so_far()
{
    std::lock_guard<std::mutex> lock(*mu_);
    return out_;
}

bool Proc::wait_for_out(const std::string &text, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (out_so_far().find(text) != std::string::npos)
            return true;
        usleep(20000);
    }
    return false;
}

RunResult Proc::finish()
{
    if (finished_)
        return result_;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s_);
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_)
            break;
        if (std::chrono::steady_clock::now() >= end) {
            result_.timed_out = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            break;
        }
        usleep(10000);
    }
    out_thread_.join();
    err_thread_.join();
    finished_ = true;
    if (WIFEXITED(st))
        result_.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        result_.signal = WTERMSIG(st);
    result_.out = out_;
    result_.err = err_;
    return result_;
}

RunResult run_zelk(const std::vector<std::string> &args, const RunOptions &opt)
{
    Proc p(args, opt);
    return p.finish();
}

}  // namespace zt
