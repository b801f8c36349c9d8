// zelk-station's driver: the command line, the signals, and the one wait over every slot's line,
// every job's events, the terminal's keys and the clock. The first request (Ctrl-C, SIGTERM,
// SIGHUP) lets the boards in progress finish and be recorded; a second ends them (their process
// groups get SIGTERM). The station ends when every slot has, so no job of it is left running.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "options.h"
#include "station.h"

station_settings settings;
std::vector<slot> slots;
bool stopping = false;
unsigned long enter_presses = 0;

namespace {

constexpr mono_ns TICK_NS = NS_PER_SEC / 5;  // lines looked at, jobs reaped, at least this often
constexpr int USAGE_STATUS = 2;
constexpr std::size_t TABLE_LABEL_WIDTH = 5;  // the table's N column: "1-1"
constexpr const char *ENDING_TEXT =
    "flash-many: ending after the boards in progress (Ctrl-C again ends them)";

constexpr const char *USAGE =
    "usage: zelk-station [options] DEVICE... -- WORD...\n"
    "Flashes board after board on each DEVICE (a slot) until Ctrl-C: waits for a board (the\n"
    "device there and its monitor's ready marker), runs ZELK WORD... run id RUN/S-K progress ...\n"
    "report S-K.json DEVICE in the logs folder, records the result as S-K (the K-th board of slot\n"
    "S), and waits for the board to go (the device vanishes or hangs up, no marker for 2 s, or\n"
    "Enter). flash-many --station runs it. Options:\n"
    "  --logs DIR     where the records go, and the jobs run (default: the current folder)\n"
    "  --events FILE  the JSON-lines event stream (default: DIR/events.jsonl)\n"
    "  --run ID       this run's id (default: made from the time and the process id)\n"
    "  --speed BAUD   the monitor's line speed (default 38400)\n"
    "  --zelk PATH    the zelk to run (default: zelk on the PATH)\n"
    "  --follow FILE  only draw the live lines of flash-many's boards from its events file\n"
    "The first Ctrl-C (or SIGTERM, SIGHUP) lets the boards in progress finish; a second ends "
    "them.\n"
    "Exit status 0 when every record of DIR/summary.tsv is ok.\n";

std::string follow;  // --follow: the events file of flash-many's run of boards at once

// Set by the handlers, taken by the loop: the handlers only count.
volatile sig_atomic_t requests = 0;
volatile sig_atomic_t resized = 0;
int requests_taken = 0;

void on_request(int) { requests = requests + 1; }
void on_resize(int) { resized = 1; }
void on_child(int) {}  // only wakes the wait

struct signal_row {
    int sig;
    void (*handler)(int);
};
constexpr std::array<signal_row, 5> signal_table{{
    {SIGINT, on_request},
    {SIGTERM, on_request},
    {SIGHUP, on_request},  // a closed terminal: the boards in progress finish, unseen
    {SIGWINCH, on_resize},
    {SIGCHLD, on_child},
}};

sigset_t wait_mask;  // the mask of the wait: the table's signals let in

[[noreturn]] void usage_error(const char *what)
{
    std::fprintf(stderr, "zelk-station: %s\n%s", what, USAGE);
    std::exit(USAGE_STATUS);
}

void parse_command_line(int argc, char **argv)
{
    int i = 1;
    for (; i < argc; i++) {
        const std::string_view a = argv[i];
        if (a == "--")
            break;
        if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        }
        std::string *value = a == "--follow"   ? &follow
                             : a == "--logs"   ? &settings.logs
                             : a == "--events" ? &settings.events
                             : a == "--run"    ? &settings.run
                             : a == "--zelk"   ? &settings.zelk
                                               : nullptr;
        if (a == "--speed") {
            int base = 10, baud = 0;
            if (i + 1 < argc && read_int(number_digits(argv[i + 1], false, &base), base, &baud))
                settings.speed_code = speed_toh(baud);
            if (settings.speed_code == 0)
                usage_error("--speed needs a line speed of the table");
            i++;
        } else if (value != nullptr) {
            if (i + 1 >= argc)
                usage_error("an option needs its value");
            *value = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            usage_error(("unknown option " + std::string(a)).c_str());
        } else {
            settings.devices.emplace_back(a);
        }
    }
    for (i++; i < argc; i++)
        settings.words.emplace_back(argv[i]);
    if (settings.devices.empty())
        usage_error("no device");
    if (settings.speed_code == 0)
        settings.speed_code = B38400;
}

bool set_up()
{
    // A closed standard descriptor would be taken by a pipe or a line, and a message sent there.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return false;
    char cwd[4096];
    if (settings.logs.empty())
        settings.logs = getcwd(cwd, sizeof cwd) ? cwd : ".";
    if (chdir(settings.logs.c_str()) != 0) {
        std::fprintf(stderr, "zelk-station: no logs folder %s: %s\n", settings.logs.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (settings.events.empty())
        settings.events = settings.logs + "/events.jsonl";
    if (settings.run.empty())
        settings.run = std::to_string(time(nullptr)) + "-" + std::to_string(getpid());
    return records_open();
}

void install_signals()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigset_t held;
    sigemptyset(&held);
    for (const signal_row &r : signal_table) {
        sa.sa_handler = r.handler;
        sigaction(r.sig, &sa, nullptr);
        sigaddset(&held, r.sig);
    }
    // Outside the wait they stay pending, so none lands between a look at the flags and the wait.
    sigprocmask(SIG_BLOCK, &held, &wait_mask);
    for (const signal_row &r : signal_table)
        sigdelset(&wait_mask, r.sig);
    signal(SIGPIPE,
           SIG_IGN);  // a terminal or a reader gone: the write says so, the station goes on
}

// ---- The station's terminal: Enter, not echoed --------------------------------------------------

bool keys = false;  // Enter is read from standard input, a terminal in the foreground
bool keys_changed = false;
struct termios keys_found;

void keys_begin()
{
    keys = isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp() &&
           tcgetattr(STDIN_FILENO, &keys_found) == 0;
    if (!keys)
        return;
    // The Enter that says a board has gone is not echoed: it would move the live lines.
    struct termios t = keys_found;
    t.c_lflag &= ~(ECHO | ECHONL);
    keys_changed = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
}

void keys_end()
{
    if (keys_changed)
        tcsetattr(STDIN_FILENO, TCSANOW, &keys_found);
}

void read_keys()
{
    char buf[256];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        keys = false;  // the input's end, or a terminal that has gone: nothing more to read
        return;
    }
    for (ssize_t i = 0; i < n; i++)
        enter_presses += buf[i] == '\n';
}

// ---- The loop
// ------------------------------------------------------------------------------------

void take_station_requests()
{
    while (requests_taken < requests) {
        if (++requests_taken == 1) {
            stopping = true;
            ending_event();
            show_message(ENDING_TEXT);
            for (slot &s : slots)
                slot_stop(s);
        } else {
            for (const slot &s : slots)
                if (s.state == slot_state::FLASHING)
                    job_terminate(s.job);
        }
    }
}

bool all_ended()
{
    for (const slot &s : slots)
        if (s.state != slot_state::ENDED)
            return false;
    return true;
}

// What one descriptor of the wait is for.
struct waited {
    slot *s;    // null: the terminal's keys
    bool line;  // the slot's line, else its job's events
};

void wait_once(mono_ns now)
{
    std::vector<struct pollfd> fds;
    std::vector<waited> what;
    for (slot &s : slots) {
        if (s.watch.fd >= 0) {
            fds.push_back({s.watch.fd, POLLIN, 0});
            what.push_back({&s, true});
        }
        if (s.job.events_fd >= 0) {
            fds.push_back({s.job.events_fd, POLLIN, 0});
            what.push_back({&s, false});
        }
    }
    if (keys) {
        fds.push_back({STDIN_FILENO, POLLIN, 0});
        what.push_back({nullptr, false});
    }
    mono_ns until = now + TICK_NS;
    if (const mono_ns due = live_due(); due != 0 && due < until)
        until = due;
    const mono_ns left = until > now ? until - now : 0;
    const struct timespec ts = {static_cast<time_t>(left / NS_PER_SEC),
                                static_cast<long>(left % NS_PER_SEC)};
    // The time, or a signal: the loop looks at both. A request that came with a descriptor is
    // taken before what the descriptor brought (a marker then starts no board).
    if (ppoll(fds.data(), fds.size(), &ts, &wait_mask) <= 0 || requests != requests_taken)
        return;
    for (std::size_t i = 0; i < fds.size(); i++) {
        if (fds[i].revents == 0)
            continue;
        slot *s = what[i].s;
        if (s == nullptr)
            read_keys();
        else if (what[i].line && s->watch.fd == fds[i].fd)
            slot_line_ready(*s);
        else if (!what[i].line && s->job.events_fd == fds[i].fd)
            job_read_events(*s);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    parse_command_line(argc, argv);
    if (!follow.empty())
        return follow_events(follow);
    if (!set_up())
        return 1;
    install_signals();
    for (std::size_t i = 0; i < settings.devices.size(); i++) {
        slot s;
        s.number = static_cast<int>(i + 1);
        s.device = settings.devices[i];
        slots.push_back(std::move(s));
    }
    std::fputs((table_row("N", "DEVICE", "RESULT", "SECONDS") + "\n").c_str(), stdout);
    std::fflush(stdout);
    keys_begin();
    for (slot &s : slots)
        slot_begin(s);
    live_begin(TABLE_LABEL_WIDTH);
    for (;;) {
        take_station_requests();
        if (resized) {
            resized = 0;
            live_redraw();
        }
        const mono_ns now = monotonic_ns();
        for (slot &s : slots)
            slot_tick(s, now);
        if (all_ended())
            break;
        live_draw_due(now);
        wait_once(now);
    }
    live_end();
    keys_end();
    std::printf("logs and reports: %s\n", settings.logs.c_str());
    return summary_status();
}
