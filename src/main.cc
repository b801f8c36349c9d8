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

#include "monitor/image.h"
#include "monitor/plan.h"
#include "monitor/progress.h"
#include "options.h"
#include "report.h"
#include "serial/serial.h"
#include "terminal/terminal.h"
#include "zelk.h"

namespace {

constexpr const char *OPTIONS_FILE = "./zelk.cfg";

// A handler's line, built and written without stdio, then handed to the report.
void write_message(int fd, const char *head, int sig, const char *tail, bool fatal)
{
    char buf[96];
    size_t n = std::strlen(head);
    std::memcpy(buf, head, n);
    n += format_decimal(buf + n, static_cast<unsigned>(sig));
    size_t t = std::strlen(tail);
    std::memcpy(buf + n, tail, t);
    n += t;
    ssize_t r = write(fd, buf, n);
    (void)r;
    report_note_signal(sig, buf, static_cast<int>(n), fatal);
}

// Runs only inside a wait (SIGINT and SIGTERM are blocked elsewhere): it sets the flags and
// says so, and the wait's caller ends the operation.
void term(int sig)
{
    const int saved = errno;
    progress_erase_now();  // the live line would be left before the handler's line
    write_message(STDOUT_FILENO, "Received signal ", sig, ". Terminating.\n", false);
    kill_link = 1;
    term_requests = term_requests + 1;
    errno = saved;
}

void bad_signal(int sig)
{
    progress_erase_now();
    write_message(STDERR_FILENO, "Received unknown signal ", sig, "\n", true);
    restore_saved_state();
    report_finish(1);
    _exit(1);
}

void restore_at_exit() { restore_saved_state(); }

struct signal_handler {
    int sig;
    void (*handler)(int);
};

// SIGWINCH, SIGCHLD, SIGURG and SIGCONT keep their default action, which ignores them: a
// resized window or a resumed job must not abort a flash write.
constexpr std::array<signal_handler, 24> signal_table{{
    {SIGHUP, bad_signal},  {SIGINT, term},        {SIGQUIT, bad_signal}, {SIGILL, bad_signal},
    {SIGTRAP, bad_signal}, {SIGABRT, bad_signal}, {SIGBUS, bad_signal},  {SIGFPE, bad_signal},
    {SIGUSR1, bad_signal}, {SIGSEGV, bad_signal}, {SIGUSR2, bad_signal}, {SIGALRM, bad_signal},
    {SIGTERM, term},       {SIGPIPE, bad_signal}, {SIGTSTP, bad_signal}, {SIGTTIN, bad_signal},
    {SIGTTOU, bad_signal}, {SIGXCPU, bad_signal}, {SIGXFSZ, bad_signal}, {SIGVTALRM, bad_signal},
    {SIGPROF, bad_signal}, {SIGIO, bad_signal},   {SIGPWR, bad_signal},  {SIGSYS, bad_signal},
}};

bool command_given()
{
    return manufactory_cmd || deviceid_cmd || erase_cmd || erase_sectors_cmd || dram_test_cmd ||
           dram_byte_test_cmd || dram_halfword_test_cmd || dram_word_test_cmd || fastwrite_cmd ||
           write_cmd || read_cmd || read_registers || terminal_cmd || echo_test_cmd;
}

void install_signal_handlers()
{
    sigset_t mask;
    struct sigaction sa;
    sigemptyset(&mask);
    for (int s : {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGUSR2})
        sigaddset(&mask, s);
    std::memset(&sa, 0, sizeof sa);
    sa.sa_mask = mask;
    sa.sa_flags = 0;  // no SA_RESTART: an interrupted wait fails with EINTR
    for (const signal_handler &h : signal_table) {
        sa.sa_handler = h.handler;
        if (sigaction(h.sig, &sa, nullptr) < 0) {
            std::fprintf(stderr, "sigaction error (%d)\n", h.sig);
            end_program(1);
        }
    }
    hold_requests();
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
    if (!setup_tty(ttyfd, 0))
        end_program(1);

    int rvl;
    if (terminal_cmd == 1)
        rvl = run_op("terminal", proc_Terminal);
    else if (echo_test_cmd == 1)
        rvl = run_op("echo test", proc_Echo_Test);
    else
        rvl = run_chain();
    // A device that could not be put back as found is a failure of the run, whatever the
    // operations did.
    if (!close_tty())
        rvl = 0;
    std::fflush(stdout);
    end_program(rvl ? 0 : 1);
}
