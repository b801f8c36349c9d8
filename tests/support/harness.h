// Helpers for end-to-end tests: temporary directories, pseudo-terminals, and running the real
// zelk binary as a subprocess with stdout and stderr captured apart.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process_state.h"

namespace zt {

// A fresh directory under /tmp, removed with everything in it when the object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
mode_t mode_of(const std::string &path);           // permission bits of a node
struct termios attrs_of(const std::string &path);  // a terminal's attributes, opened by path
// Line attributes equal in every field zelk changes (flags, speeds, VMIN, VTIME).
bool same_line_attrs(const struct termios &a, const struct termios &b);

// A pseudo-terminal pair. The slave's path is a /dev/pts/N word that zelk accepts as device.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty();  // opens the pair; the slave stays open so the line never reads as hung up
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    struct termios attrs() const;  // the slave's attributes, as the far end sees them
};

struct RunResult {
    int status = -1;  // exit status, or -1 when ended by a signal
    int signal = 0;   // the signal that ended it, 0 if it exited
    bool timed_out = false;
    std::string out, err;
};

struct RunOptions {
    std::string cwd;           // working directory (default: the test's current directory)
    int stdin_fd = -1;         // descriptor for the child's stdin; -1 gives /dev/null
    int timeout_s = 240;       // the child is killed after this many seconds
    std::vector<int> closed;   // standard descriptors the child starts without
    bool console_ctty = true;  // with stdin_fd: the console becomes the controlling terminal
    int uid = -1;              // when set, the child runs as this user (and gid)
    int gid = -1;
    bool stderr_tty =
        false;  // stderr is a raw pseudo-terminal (captured as sent) instead of a pipe
    // Without stdin_fd: the child leads a session of its own with no controlling terminal, as a
    // service or `setsid zelk ...` does.
    bool new_session = false;
    const char *binary = nullptr;  // another build of zelk to run (default: zelk_binary())
};

// A running zelk. Its output is drained by background threads so a full pipe never stalls it.
class Proc {
public:
    Proc(const std::vector<std::string> &args, const RunOptions &opt = {});
    ~Proc();
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;
    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    std::string out_so_far();                                    // stdout captured until now
    bool wait_for_out(const std::string &text, int timeout_ms);  // until stdout contains text
    RunResult finish();  // waits for the end (or kills it at the timeout)

private:
    pid_t pid_ = -1;
    int timeout_s_;
    int outfd_ = -1, errfd_ = -1;
    std::thread out_thread_, err_thread_;
    std::string out_, err_;
    mutable std::mutex *mu_;
    bool finished_ = false;
    RunResult result_;
};

// Runs zelk with the given words and waits for it.
RunResult run_zelk(const std::vector<std::string> &args, const RunOptions &opt = {});

// zelk's line after "Test link ...Fail" on `dev` at `baud`, and the one naming a kept speed.
inline std::string link_failure(const std::string &dev, const std::string &what, int baud = 38400)
{
    return "Link test on " + dev + " at " + std::to_string(baud) + " baud: " + what + "\n";
}
inline const std::string NOTHING_CAME = "nothing came: check the cable and the board's power";
inline std::string may_stay(int b)
{
    return "\nThe board may stay at " + std::to_string(b) + " baud: give \"speed " +
           std::to_string(b) + "\" next time, or reset the board\n";
}

const char *zelk_binary();
const char *zelk_restore_fails_binary();  // zelk whose restore of the line fails
const char *zelk_board_binary();

}  // namespace zt
