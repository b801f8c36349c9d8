// zelk's driver: options, signal handlers, the serial device, and the fixed chain of monitor
// operations. One run is one job.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "monitor/image/image.h"
#include "monitor/link/progress.h"
#include "monitor/plan.h"
#include "options.h"
#include "report/report.h"
#include "serial/serial.h"
#include "terminal/terminal.h"
#include "zelk.h"
#include "json/json_text.h"

namespace {

constexpr const char *OPTIONS_FILE = "./zelk.cfg";

// A handler's line, built and written without stdio.
int format_message(char *buf, const char *head, int sig, const char *tail)
{
    size_t n = std::strlen(head);
    std::memcpy(buf, head, n);
    n += format_decimal(buf + n, static_cast<unsigned>(sig));
    size_t t = std::strlen(tail);
    std::memcpy(buf + n, tail, t);
    return static_cast<int>(n + t);
}

// Set by a request other than SIGINT and SIGTERM: the terminal and the echo test, which end
// normally on a request, then end with status 1.
volatile sig_atomic_t unknown_request = 0;

// A termination request: every signal that ends a run but the synchronous faults. It runs only
// inside a wait (the requests are blocked elsewhere): it says so, sets the flags and returns, and
// the wait's caller takes the way back and ends the run on the main path, the report included.
// SIGINT and SIGTERM say it on stdout, the others as an unknown signal on stderr.
void term(int sig)
{
    const int saved = errno;
    progress_erase_now();  // the live line would be left before the handler's line
    char buf[96];
    const bool known = sig == SIGINT || sig == SIGTERM;
    const int n = known ? format_message(buf, "Received signal ", sig, ". Terminating.\n")
                        : format_message(buf, "Received unknown signal ", sig, "\n");
    [[maybe_unused]] const ssize_t w = write(known ? STDOUT_FILENO : STDERR_FILENO, buf, n);
    report_note_signal(sig, buf, n, !known);
    if (!known)
        unknown_request = 1;
    kill_link = 1;
    term_requests = term_requests + 1;
    errno = saved;
}

// A synchronous fault (or an abort from inside): the program cannot go on from where it stands,
// so the line and the console are put back with async-signal-safe calls and it ends at once. No
// report is written: after a fault nothing the run kept can be trusted, and the missing report
// says that the run did not end by itself.
void fault(int sig)
{
    progress_erase_now();
    char buf[96];
    [[maybe_unused]] const ssize_t w =
        write(STDERR_FILENO, buf, format_message(buf, "Received unknown signal ", sig, "\n"));
    restore_saved_state();
    report_abandon();
    _exit(1);
}

// SIGABRT from another process is a request; from this one (abort()) a fault.
void abort_signal(int sig, siginfo_t *info, void *)
{
    if (info != nullptr && info->si_pid == getpid())
        fault(sig);
    term(sig);
}

void restore_at_exit() { restore_saved_state(); }

// The synchronous faults.
constexpr std::array<int, 4> fault_signals{SIGILL, SIGBUS, SIGFPE, SIGSEGV};
// The termination requests. SIGWINCH, SIGCHLD, SIGURG and SIGCONT keep their default action,
// which ignores them: a resized window or a resumed job must not abort a flash write. SIGPIPE is
// ignored: a write to a pipe whose reader has gone fails with EPIPE, an error of that file.
constexpr std::array<int, 19> request_signals{
    SIGHUP,  SIGINT,  SIGQUIT, SIGTRAP, SIGABRT,   SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGTSTP,
    SIGTTIN, SIGTTOU, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,
};

bool command_given()
{
    return manufactory_cmd || deviceid_cmd || erase_cmd || erase_sectors_cmd || dram_test_cmd ||
           dram_byte_test_cmd || dram_halfword_test_cmd || dram_word_test_cmd || fastwrite_cmd ||
           write_cmd || read_cmd || read_registers || terminal_cmd || echo_test_cmd;
}

void install_signal_handlers()
{
    sigset_t requests;
    sigemptyset(&requests);
    for (int sig : request_signals)
        sigaddset(&requests, sig);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_mask = requests;  // a handler runs alone
    sa.sa_flags = 0;        // no SA_RESTART: an interrupted wait fails with EINTR
    auto install = [&](int sig) {
        if (sigaction(sig, &sa, nullptr) < 0) {
            std::fprintf(stderr, "sigaction error (%d)\n", sig);
            end_program(1);
        }
    };
    sa.sa_handler = fault;
    for (int sig : fault_signals)
        install(sig);
    sa.sa_handler = term;
    for (int sig : request_signals)
        if (sig != SIGABRT)
            install(sig);
    sa.sa_flags = SA_SIGINFO;
    sa.sa_sigaction = abort_signal;
    install(SIGABRT);
    sa.sa_flags = 0;
    sa.sa_handler = SIG_IGN;
    install(SIGPIPE);
    hold_requests(requests);
}

// The device can never be one of the standard descriptors: a closed one gets /dev/null, so a
// message printed on it cannot go out on the serial line, nor the line become the console.
void open_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one, since those below it are open.
        if (open("/dev/null", O_RDWR) != fd)
            _exit(1);
    }
}

void open_device()
{
    if (!open_tty(devnam))
        end_program(1);
    // From here on every way out puts the device back as it was found.
    std::atexit(restore_at_exit);
    if (!claim_tty())
        end_program(1);
}

// A termination request that came while an operation was finishing, after its last own
// check: the operation is done, and no later one may start. The handler's line has said why.
void end_run_if_terminated()
{
    if (kill_link)
        end_program(1);
}

// One operation of the chain: its option words (the report's name for it), whether the options
// select it, and what runs it.
struct chain_step {
    const char *name;
    bool (*selected)();
    int (*op)();
};

// The operations in their fixed order.
constexpr std::array<chain_step, 12> chain{{
    {"manufactory", [] { return manufactory_cmd != 0; }, proc_Manufactory},
    {"device id", [] { return deviceid_cmd != 0; }, proc_Deviceid},
    {"erase", [] { return erase_cmd != 0; }, proc_Erase},
    {"erase sector", [] { return sector_erase_mask() != 0; }, proc_EraseSectors},
    {"dram test", [] { return dram_test_cmd != 0; }, [] { return proc_DramTest(0); }},
    {"dram byte test", [] { return dram_byte_test_cmd != 0; }, [] { return proc_DramTest(1); }},
    {"dram half word test", [] { return dram_halfword_test_cmd != 0; },
     [] { return proc_DramTest(2); }},
    {"dram word test", [] { return dram_word_test_cmd != 0; }, [] { return proc_DramTest(4); }},
    {"write", [] { return fastwrite_cmd == 1; }, proc_FastWrite},
    {"bwrite", [] { return fastwrite_cmd != 1 && write_cmd != 0; }, proc_Write},
    {"read", [] { return read_cmd != 0; }, proc_Read},
    {"registers", [] { return read_registers != 0; }, proc_ReadRegisters},
}};

int run_op(const char *name, int (*op)())
{
    report_begin(name);
    const int ok = op() ? 1 : 0;
    report_end(ok);
    return ok;
}

// Lists in the report what this run will try.
void select_operations()
{
    if (terminal_cmd == 1)
        report_select("terminal");
    else if (echo_test_cmd == 1)
        report_select("echo test");
    else
        for (const chain_step &s : chain)
            if (s.selected())
                report_select(s.name);
}

// Runs the selected operations in their fixed order, stopping at the first failure.
// 1 when every selected operation succeeded, the register dump included.
int run_chain()
{
    for (const chain_step &s : chain) {
        end_run_if_terminated();
        if (s.selected() && !run_op(s.name, s.op))
            return 0;
    }
    end_run_if_terminated();
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    open_standard_streams();
    // Progress reaches a pipe or a log line by line, as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

    options_from_file(OPTIONS_FILE);
    // Before anything is refused: a refused value may have come from the file.
    report_options_file();
    if (!parse_args(argc - 1, argv + 1) || !check_option_combinations())
        end_program(1);
    if (!command_given()) {
        std::fprintf(stderr, "Command undefined\n");
        usage();
        end_program(1);
    }
    terminal_take_stdout();
    report_start();
    // Everything the job needs is checked, and the write's image read, before the device is
    // opened: a refused run costs the board nothing, and "erase needed" knows its sectors.
    if (!check_job())
        end_program(1);
    select_operations();
    // "plan" ends here, having shown what the run would do.
    if (plan_opt) {
        print_plan();
        end_program(0);
    }
    if (tracefilenam[0] && !trace_start(tracefilenam))
        end_program(1);
    install_signal_handlers();
    open_device();
    if (!setup_tty(ttyfd))
        end_program(1);

    int rvl;
    if (terminal_cmd == 1)
        rvl = run_op("terminal", proc_Terminal);
    else if (echo_test_cmd == 1)
        rvl = run_op("echo test", proc_Echo_Test);
    else
        rvl = run_chain();
    if (unknown_request)
        rvl = 0;
    // A device that could not be put back as found is a failure of the run, whatever the
    // operations did.
    if (!close_tty())
        rvl = 0;
    std::fflush(stdout);
    end_program(rvl ? 0 : 1);
}
