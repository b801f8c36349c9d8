// The interactive terminal: the console joined to the board's serial line, received bytes shown
// as text or hex and logged in the protocol file, typed bytes sent, Ctrl-C sending a break.
#include "terminal/terminal.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "clock/clock.h"
#include "files.h"
#include "monitor/link/link.h"
#include "serial/serial.h"
#include "zelk.h"

namespace {

constexpr size_t TERM_READ_BYTES = 32;   // taken from either side per read
constexpr unsigned char CTRL_C = 0x03;   // sends a break; two in a row end the terminal
constexpr unsigned char KEY_HELP = '?';  // after the escape key: list the keys
constexpr int HEX_ROW_BYTES = 16;        // a stamped hex row

// Without a console the board's bytes go to what was the standard output, and the standard output
// itself to the standard error: a script reads only the board there, whoever prints zelk's own
// lines (the line set-up, a signal's line).
file_ptr board_out;

constexpr const char *KEYS_TEXT = "\r\nKeys:\r\n"
                                  "  Ctrl-] q       quit, sending nothing\r\n"
                                  "  Ctrl-] Ctrl-]  send one Ctrl-]\r\n"
                                  "  Ctrl-] ?       this list\r\n"
                                  "  Ctrl-C         send a break; twice in a row quits\r\n";

// Where shown bytes go, with its place in the current line: the console or the protocol file.
struct sink {
    std::FILE *f;
    const char *eol;         // a stamped hex row's end: "\r\n" on a raw console
    bool line_start = true;  // the next byte begins a line (text mode)
    int row = 0;             // bytes in the current hex row
};

// The local time to the millisecond, as "2026-12-08 14:03:07.123 ".
void put_stamp(std::FILE *f)
{
    const long long us = wall_clock_us();
    const time_t sec = static_cast<time_t>(us / 1000000);
    struct tm tm;
    localtime_r(&sec, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(f, "%s.%03ld ", text, static_cast<long>(us % 1000000 / 1000));
}

// One byte as hex (rows of 16 behind a stamp with timestamps) or raw (a stamp at each line's start
// with timestamps). `hex` is the display's mode; the protocol file is raw unless stamped in hex.
int put_shown(sink &k, unsigned char c, bool hex)
{
    if (!timestamps_opt) {
        if (hex)
            return std::fprintf(k.f, "%02x ", c) < 0 ? EOF : 0;
        return std::fputc(c, k.f);
    }
    if (hex) {
        if (k.row == 0)
            put_stamp(k.f);
        std::fprintf(k.f, "%02x ", c);
        if (++k.row == HEX_ROW_BYTES) {
            k.row = 0;
            return std::fputs(k.eol, k.f);
        }
        return 0;
    }
    if (k.line_start)
        put_stamp(k.f);
    k.line_start = c == '\n';
    return std::fputc(c, k.f);
}

// The terminal's state while it runs.
struct term_state {
    sink log;                   // the protocol file
    sink show;                  // the standard output
    int infd;                   // the standard input: the console, or a pipe or file
    bool console;               // the standard input is a terminal, raw, its keys interpreted
    int lastbreak = 0;          // the last byte typed was Ctrl-C; carries over from read to read
    bool escape = false;        // the last byte typed was the escape key
    int more = 1;               // 0 ends the terminal
    int rvl = 1;                // 0 after a failure
    bool log_lost = false;      // a write to the protocol file failed (reported)
    bool console_gone = false;  // the console hung up: nothing left to restore on it
    bool input_ended = false;   // without a console: the standard input is at its end
    mono_ns quiet_since = 0;    // without a console: the last moment anything happened
    bool line_lost = false;     // with reconnect: the device has gone, waiting for it
    int reopen_errno = 0;       // with reconnect: the last reason a reopen failed (told once)
};

void end_terminal(term_state &st, line_step why)
{
    st.more = 0;
    if (why != line_step::STOP)
        st.rvl = 0;
}

// Our own lines while the console is raw need a carriage return, at their end and, after a
// message of the serial layer's that ended in a bare line feed, at their start.
const char *eol(const term_state &st) { return st.console ? "\r\n" : "\n"; }
const char *bol(const term_state &st) { return st.console ? "\r" : ""; }

// ---- Serial side: the board's bytes to the protocol file and the console ------------------

// A lost byte of the log ends the terminal: the log must hold everything or say it does not.
void log_byte(term_state &st, unsigned char c, bool flush)
{
    if (st.log_lost)
        return;
    if (put_shown(st.log, c, terminal_hex_opt && timestamps_opt) == EOF ||
        (flush && std::fflush(st.log.f) != 0)) {
        prot_file_error(errno);
        st.log_lost = true;
        end_terminal(st, line_step::FAIL);
    }
}

// The chunk is shown whole even when the log fails on the way; the terminal ends after it.
void show_received(term_state &st, const unsigned char *buf, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        // Flushed byte by byte: the log is complete up to the last byte received at any moment.
        log_byte(st, buf[i], true);
        // Raw in text mode, so the console interprets the board's ANSI sequences.
        put_shown(st.show, buf[i], terminal_hex_opt);
    }
    std::fflush(st.show.f);
}

// An idle monitor repeats its ready marker: a line that carries only the marker's letters is
// quiet.
bool only_markers(const unsigned char *buf, size_t n)
{
    return std::all_of(buf, buf + n, [](unsigned char c) {
        return c == (READY_MARKER >> 8) || c == (READY_MARKER & 0xFF);
    });
}

void serial_side(term_state &st)
{
    unsigned char rbuf[TERM_READ_BYTES];
    size_t n = 0;
    const line_step s = read_line_chunk(rbuf, sizeof rbuf, &n);
    if (s == line_step::GO) {
        show_received(st, rbuf, n);
        if (!only_markers(rbuf, n))
            st.quiet_since = monotonic_ns();
    } else if (s == line_step::HUNG_UP && reconnect_opt) {
        // The device is let go of, so that it can come back under the same path.
        release_tty();
        drop_line_queue();
        st.line_lost = true;
        st.reopen_errno = 0;
        std::fprintf(stderr, "%sWaiting for %s to come back%s", bol(st), devnam, eol(st));
    } else {
        end_terminal(st, s);
    }
}

// With reconnect: one try to open the device again under its path, with the settings, the lock
// and the exclusive flag of the first open. A device that is back but cannot be claimed (another
// program has taken it, or it is no serial line) ends the terminal.
void try_reopen(term_state &st)
{
    struct stat sb;
    if (stat(devnam, &sb) != 0)
        return;  // not back yet
    if (!open_tty(devnam, true)) {
        // A node that appears before its permissions are set refuses for a moment: told once.
        if (errno != st.reopen_errno)
            report_open_error(devnam, errno);
        st.reopen_errno = errno;
        return;
    }
    if (!claim_tty() || !setup_tty(ttyfd)) {
        end_terminal(st, line_step::FAIL);
        return;
    }
    st.line_lost = false;
    std::fprintf(stderr, "%sReconnected to %s%s", bol(st), devnam, eol(st));
}

// ---- Console side: typed bytes to the board --------------------------------------------------

void typed_ctrl_c(term_state &st)
{
    send_break();
    if (st.lastbreak)
        st.more = 0;
    else
        st.lastbreak = 1;
}

void typed_byte(term_state &st, unsigned char c)
{
    st.lastbreak = 0;
    if (echo_opt == 1) {
        log_byte(st, c, false);
        put_shown(st.show, c, terminal_hex_opt);  // in hex mode as hex: a key's escape
        std::fflush(st.show.f);                   // sequence never moves the cursor
    }
    // While the device is away what is typed is for nobody: a board that comes back gets none of
    // it.
    if (!st.line_lost)
        queue_for_line(&c, 1);
}

// The key after the escape key.
void escape_key(term_state &st, unsigned char c)
{
    if (c == QUIT_KEY)
        st.more = 0;
    else if (c == ESCAPE_KEY)
        typed_byte(st, c);
    else if (c == KEY_HELP)
        std::fputs(KEYS_TEXT, stderr);
    // Any other key is dropped: it was meant for the terminal, not for the board.
}

void typed_key(term_state &st, unsigned char c)
{
    if (st.escape) {
        st.escape = false;
        escape_key(st, c);
    } else if (c == ESCAPE_KEY) {
        st.escape = true;
    } else if (c == CTRL_C) {
        typed_ctrl_c(st);
    } else {
        typed_byte(st, c);
    }
}

void console_side(term_state &st)
{
    unsigned char rbuf[TERM_READ_BYTES];
    const ssize_t n = read(st.infd, rbuf, sizeof rbuf);
    const int err = errno;
    if (kill_link) {
        end_terminal(st, line_step::STOP);
        return;
    }
    if (n < 0) {
        std::fprintf(stderr, "\nstdin read error : (%d)\n", err);
        end_terminal(st, line_step::FAIL);
        return;
    }
    if (n == 0 && !st.console) {
        // The input's end: what is queued still goes out, and the line has its idle time.
        st.input_ended = true;
        st.quiet_since = monotonic_ns();
        return;
    }
    // A console that has hung up (its terminal window closed, a modem line dropped) stays
    // readable and reads 0 bytes for ever.
    if (n == 0) {
        std::fprintf(stderr, "\nConsole hung up\n");
        st.console_gone = true;
        end_terminal(st, line_step::FAIL);
        return;
    }
    // Whatever follows the second Ctrl-C or the quit key in the same read is dropped. Without a
    // console every byte is data.
    for (ssize_t i = 0; i < n && st.more; i++) {
        if (st.console)
            typed_key(st, rbuf[i]);
        else
            typed_byte(st, rbuf[i]);
    }
}

// Without a console the terminal ends once its input is over, everything queued has gone out and
// the line has been quiet (silent, or repeating the idle marker) for the idle time.
bool input_done(const term_state &st)
{
    return st.input_ended && line_queue_size() == 0 &&
           monotonic_ns() - st.quiet_since >= idle_seconds * NS_PER_SEC;
}

void run_terminal(term_state &st)
{
    while (st.more) {
        if (input_done(st))
            break;
        // The console is read only while a whole read fits the queue: a paste waits for the line
        // in the console's own buffer.
        const bool take_input = !st.input_ended && line_queue_room() >= TERM_READ_BYTES;
        input_ready ready;
        const line_step s = wait_input(take_input ? st.infd : -1, &ready);
        if (s == line_step::IDLE) {
            if (st.line_lost)
                try_reopen(st);
            continue;
        }
        if (s != line_step::GO) {
            end_terminal(st, s);
            break;
        }
        if (ready.writable) {
            const line_step w = flush_line_queue();
            if (w != line_step::GO) {
                end_terminal(st, w);
                break;
            }
        }
        if (ready.line)
            serial_side(st);
        if (st.more && ready.console)
            console_side(st);
        if (st.more && st.line_lost)
            try_reopen(st);
        // Typed bytes go out at once where the line takes them.
        if (st.more && !st.line_lost && line_queue_size() > 0 &&
            flush_line_queue() != line_step::GO)
            end_terminal(st, line_step::FAIL);
    }
}

}  // namespace

void terminal_take_stdout()
{
    if (terminal_cmd != 1 || isatty(STDIN_FILENO))
        return;
    std::fflush(stdout);
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    board_out.reset(fd < 0 ? nullptr : fdopen(fd, "w"));
    if (board_out)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    else if (fd >= 0)
        close(fd);
}

int proc_Terminal()
{
    // Created or emptied even when the terminal then cannot start.
    file_ptr fprot = prot_file_open();
    const int infd = fileno(stdin);
    if (infd < 0 || infd >= FD_SETSIZE) {
        std::fprintf(stderr, "\nBad stdin descriptor\n");
        return 0;
    }
    // A user at a console is told how to leave, before it goes raw so the line ends as a line;
    // at the end the shell's prompt gets a line of its own. A pipe or a file on the standard input
    // is relayed to the line as it is, and the line to the standard output.
    const bool console = isatty(infd);
    if (console)
        std::fprintf(stderr, "Terminal on %s at %d baud: Ctrl-] q quits, Ctrl-] ? lists the keys\n",
                     devnam, normal_speed());
    struct termios stdintios;
    if (console && !console_take(infd, console_mode::RAW, &stdintios, true))
        return 0;
    std::FILE *shown = board_out && !console ? board_out.get() : stdout;
    term_state st{{fprot.get(), "\n"}, {shown, console ? "\r\n" : "\n"}, infd, console};
    st.quiet_since = monotonic_ns();
    run_terminal(st);
    // A script's run that a signal ended did not finish what it was given.
    if (!console && kill_link)
        st.rvl = 0;
    if (!console) {
        // Nothing to put back.
    } else if (st.console_gone) {
        // A hung-up console refuses every call; one try, in case the line behind it comes back.
        tcsetattr(infd, TCSANOW, &stdintios);
        forget_console_state();
    } else if (!console_give_back(infd, stdintios, true)) {
        st.rvl = 0;
    }
    if (!prot_file_close(fprot, !st.log_lost))
        st.rvl = 0;
    if (console)
        std::fputc('\n', stderr);
    return st.rvl;
}
