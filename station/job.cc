// One board's job: zelk in a process group of its own (a Ctrl-C on the station's terminal reaches
// the station alone, which decides what it means), its output in KEY.log, its report in KEY.json,
// its events through a pipe that the station copies to the events file line by line.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "station.h"

namespace {

constexpr int EVENTS_FD = 3;  // the job's descriptor of its events pipe, named to zelk by path
constexpr const char *EVENTS_PATH = "/dev/fd/3";
constexpr std::size_t READ_BYTES = 65536;

void take_line(slot &s, std::string line)
{
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    put_event_line(std::move(line));
    // A line that is not JSON goes to the file as it came, and changes nothing on the screen.
    const std::string text = e.is_object() ? event_text(e) : "";
    if (!text.empty() && record_key(s) + "  " + text != s.live) {
        s.live = record_key(s) + "  " + text;
        live_changed();
    }
}

// The job could not start: it ends at once, saying why in its log (which the record shows).
bool not_started(board_job &j, int log, const char *what)
{
    const std::string msg = std::string("zelk-station: ") + what + ": " + std::strerror(errno);
    std::fprintf(stderr, "%s\n", msg.c_str());
    if (log >= 0) {
        [[maybe_unused]] const ssize_t w = write(log, (msg + "\n").c_str(), msg.size() + 1);
        close(log);
    }
    j.reaped = true;
    j.status = 127;
    return false;
}

}  // namespace

bool job_start(slot &s, const std::string &key)
{
    board_job &j = s.job;
    j = board_job{};
    const std::string report = key + ".json";
    const std::vector<std::string> own = {
        "run", "id", settings.run + "/" + key, "progress", EVENTS_PATH, "report", report, s.device};
    std::vector<std::string> words = {settings.zelk};
    words.insert(words.end(), settings.words.begin(), settings.words.end());
    words.insert(words.end(), own.begin(), own.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    unlink(report.c_str());  // an old one is never taken for this board's
    const int log = open((key + ".log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0)
        return not_started(j, log, ("cannot create " + key + ".log").c_str());
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return not_started(j, log, "cannot make a pipe");
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t station = getpid();
    sigset_t none;
    sigemptyset(&none);
    const pid_t pid = fork();
    if (pid == 0) {
        // The job's own process group, so that no signal of the station's terminal reaches it;
        // and ended with the station, should the station die without ending it.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != station)
            _exit(127);
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(null, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        if (pipe_fds[1] == EVENTS_FD)
            fcntl(EVENTS_FD, F_SETFD, 0);
        else
            dup2(pipe_fds[1], EVENTS_FD);
        execvp(argv[0], argv.data());
        const char *why = std::strerror(errno);
        dprintf(STDERR_FILENO, "zelk-station: cannot run %s: %s\n", argv[0], why);
        _exit(127);
    }
    close(pipe_fds[1]);
    if (null >= 0)
        close(null);
    if (pid < 0) {
        close(pipe_fds[0]);
        return not_started(j, log, "cannot start a job");
    }
    close(log);
    setpgid(pid, pid);  // before any signal the station may send it (refused once it runs zelk)
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    j.pid = pid;
    j.events_fd = pipe_fds[0];
    return true;
}

void job_read_events(slot &s)
{
    board_job &j = s.job;
    static char buf[READ_BYTES];
    for (;;) {
        const ssize_t n = read(j.events_fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            // The end: a last line without its newline still goes whole.
            if (!j.partial.empty())
                take_line(s, std::move(j.partial));
            j.partial.clear();
            close(j.events_fd);
            j.events_fd = -1;
            return;
        }
        j.partial.append(buf, static_cast<std::size_t>(n));
        std::size_t from = 0;
        for (std::size_t nl; (nl = j.partial.find('\n', from)) != std::string::npos; from = nl + 1)
            take_line(s, j.partial.substr(from, nl - from));
        j.partial.erase(0, from);
    }
}

void job_reap(board_job &j)
{
    int st = 0;
    if (j.pid <= 0 || j.reaped || waitpid(j.pid, &st, WNOHANG) != j.pid)
        return;
    j.reaped = true;
    j.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool job_done(const board_job &j) { return j.reaped && j.events_fd < 0; }

void job_terminate(const board_job &j)
{
    // The group outlives its leader while another of its processes holds the pipe; its number is
    // not given to another process before it is empty.
    if (j.pid > 0 && !job_done(j))
        kill(-j.pid, SIGTERM);
}
