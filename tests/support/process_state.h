// A process's state as the kernel shows it in /proc, for tests that act at a moment of a run:
// a signal sent while the process is blocked in a pause or in a wait for its line, never after a
// fixed time. Works for a thread's id as well as for a process's.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace zt {

// The system call `pid` is blocked in: its number (-1 while it runs or once it is gone) and
// its second argument.
struct blocked_call {
    long nr = -1;
    unsigned long arg1 = 0;
};

inline blocked_call blocked(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    blocked_call c;
    std::string arg0, arg1;
    if (!(f >> c.nr))
        return {};
    if (f >> arg0 >> arg1)
        c.arg1 = std::stoul(arg1, nullptr, 16);
    return c;
}

inline long blocked_in(pid_t pid) { return blocked(pid).nr; }

// Blocked in one of its pauses: a wait on no descriptor (ppoll with none, or a sleep).
inline bool asleep(pid_t pid)
{
    const blocked_call c = blocked(pid);
    return c.nr == SYS_nanosleep || c.nr == SYS_clock_nanosleep ||
           (c.nr == SYS_ppoll && c.arg1 == 0);
}

// Blocked in the timed read's wait for the line (or the terminal's wait for line and console).
inline bool waiting_for_line(pid_t pid)
{
    const blocked_call c = blocked(pid);
    return c.nr == SYS_select || c.nr == SYS_pselect6 || c.nr == SYS_poll ||
           (c.nr == SYS_ppoll && c.arg1 > 0);
}

// Blocked in any of its waits: a pause or a wait for the line.
inline bool in_a_wait(pid_t pid) { return asleep(pid) || waiting_for_line(pid); }

// Whether `sig` was sent to the process and not yet taken by it (pending, for the process or
// for its main thread).
inline bool pending(pid_t pid, int sig)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    bool found = false;
    for (std::string key, mask; f >> key;) {
        if (key == "SigPnd:" || key == "ShdPnd:") {
            f >> mask;
            found = found || (std::stoull(mask, nullptr, 16) >> (sig - 1) & 1) != 0;
        }
    }
    return found;
}

// Bytes its reads have returned so far (of the line and of any file), -1 once it is gone.
inline long long bytes_read(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value = -1;
    while (f >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

// The process's state letter in /proc (R, S, T, Z, ...); 0 once it is gone.
inline char state_of(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(f, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
}

// The other processes that hold a descriptor on the node at path, as "PID (name)" words: a
// reply that never came may have been read by one of them.
inline std::string other_holders(const std::string &path)
{
    namespace fs = std::filesystem;
    std::string found;
    const std::string self = std::to_string(getpid());
    // Processes come and go while this looks: every step takes an error code, none throws.
    std::error_code ec;
    for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
        const std::string pid = proc->path().filename().string();
        if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code fd_ec;
        for (fs::directory_iterator fd(proc->path() / "fd", fd_ec); !fd_ec && fd != end;
             fd.increment(fd_ec)) {
            std::error_code link_ec;
            if (fs::read_symlink(fd->path(), link_ec).string() != path)
                continue;
            std::ifstream comm(proc->path() / "comm");
            std::string name;
            std::getline(comm, name);
            found += (found.empty() ? "" : ", ") + pid + " (" + name + ")";
            break;
        }
    }
    return found.empty() ? "none" : found;
}

// Polls `cond` every 10 ms for at most `limit`; false if it never held. Not more often: dozens of
// threads that wake every millisecond or two, beside busy CPUs, keep this kernel from handing pty
// bytes over for seconds.
template <typename F> bool poll_until(F cond, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Stops the process (SIGSTOP) and waits until the kernel shows it stopped; false if it ended
// first. While it is stopped, what it has done so far (the bytes it has put on a line, the call
// it is blocked in) stays as seen: a test can check a moment and act on it without a race.
inline bool stop(pid_t pid)
{
    kill(pid, SIGSTOP);
    const bool settled = poll_until(
        [&] {
            const char s = state_of(pid);
            return s == 'T' || s == 'Z' || s == 0;
        },
        std::chrono::milliseconds(30000));
    return settled && state_of(pid) == 'T';
}

}  // namespace zt
