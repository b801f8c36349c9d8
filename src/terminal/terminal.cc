// The interactive terminal: the console joined to the board's serial line, received bytes shown
// as text or hex and logged in the protocol file, typed bytes sent, Ctrl-C sending a break.
// Also the protocol file that the echo test shares.
#include "terminal/terminal.h"

#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "files.h"
#include "serial/serial.h"
#include "zelk.h"

namespace {

constexpr size_t TERM_READ_BYTES = 32;  // taken from either side per read
constexpr unsigned char CTRL_C = 0x03;  // sends a break; two in a row end the terminal

// Default protocol-file names by the port the device word contains; the first match wins, so
// "ttyS10" shares the file of "ttyS1".
struct prot_name {
    std::string_view port;
    std::string_view file;
};
constexpr std::array<prot_name, 2> prot_names{{
    {"ttyS0", "zelk.ttyS0"},
    {"ttyS1", "zelk.ttyS1"},
}};
constexpr std::string_view prot_name_other = "zelk.txt";

// The terminal's state while it runs.
struct term_state {
    std::FILE *fprot;           // the protocol file
    int infd;                   // the console (standard input)
    int lastbreak = 0;          // the last byte typed was Ctrl-C; carries over from read to read
    int more = 1;               // 0 ends the terminal
    int rvl = 1;                // 0 after a failure
    bool log_lost = false;      // a write to the protocol file failed (reported)
    bool console_gone = false;  // the console hung up: nothing left to restore on it
};

void end_terminal(term_state &st, line_step why)
{
    st.more = 0;
    if (why == line_step::FAIL)
        st.rvl = 0;
}

// ---- Serial side: the board's bytes to the protocol file and the console ------------------

// A lost byte of the log ends the terminal: the log must hold everything or say it does not.
void log_byte(term_state &st, unsigned char c, bool flush)
{
    if (st.log_lost)
        return;
    if (std::fputc(c, st.fprot) == EOF || (flush && std::fflush(st.fprot) != 0)) {
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
        if (terminal_hex_opt)
            std::printf("%02x ", buf[i]);
        else
            std::putchar(buf[i]);  // raw, so the console interprets the board's ANSI sequences
    }
    std::fflush(stdout);
}

void serial_side(term_state &st)
{
    unsigned char rbuf[TERM_READ_BYTES];
    size_t n = 0;
    const line_step s = read_line_chunk(rbuf, sizeof rbuf, &n);
    if (s == line_step::GO)
        show_received(st, rbuf, n);
    else
        end_terminal(st, s);
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
        std::putchar(c);  // raw even in hex mode
        std::fflush(stdout);
    }
    // A byte the line does not take is lost unnoticed, as on a real line.
    write_tty_once(&c, 1);
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
    // A console that has hung up (its terminal window closed, a modem line dropped) stays
    // readable and reads 0 bytes for ever.
    if (n == 0) {
        std::fprintf(stderr, "\nConsole hung up\n");
        st.console_gone = true;
        end_terminal(st, line_step::FAIL);
        return;
    }
    // Whatever follows the second Ctrl-C in the same read is dropped.
    for (ssize_t i = 0; i < n && st.more; i++) {
        if (rbuf[i] == CTRL_C)
            typed_ctrl_c(st);
        else
            typed_byte(st, rbuf[i]);
    }
}

// ---- The console's mode ----------------------------------------------------------------------

// Makes the console raw, keeping its attributes in *saved. They are handed to the serial
// layer's restorer before the change, so a fatal signal or an exit anywhere puts them back.
int console_raw(int fd, struct termios *saved)
{
    if (tcgetattr(fd, saved) < 0) {
        std::fprintf(stderr, "\ntcgetattr stdin error: (%d)\n", errno);
        return 0;
    }
    struct termios tios = *saved;
    cfmakeraw(&tios);
    save_console_state(fd, *saved);
    if (tcsetattr(fd, TCSAFLUSH, &tios) < 0) {
        const int err = errno;
        forget_console_state();
        std::fprintf(stderr, "\ntcsetattr stdin error : (%d)\n", err);
        return 0;
    }
    return 1;
}

int console_restore(int fd, const struct termios &saved)
{
    if (tcsetattr(fd, TCSAFLUSH, &saved) < 0) {
        // Left with the restorer, which tries once more when the program ends.
        std::fprintf(stderr, "\ntcsetattr stdin error : (%d)\n", errno);
        return 0;
    }
    forget_console_state();
    return 1;
}

void run_terminal(term_state &st)
{
    while (st.more) {
        input_ready ready;
        const line_step s = wait_input(st.infd, &ready);
        if (s == line_step::IDLE)
            continue;
        if (s != line_step::GO) {
            end_terminal(st, s);
            break;
        }
        if (ready.line)
            serial_side(st);
        if (st.more && ready.console)
            console_side(st);
    }
}

}  // namespace

// ---- Shared with the echo test ---------------------------------------------------------------

std::string_view default_prot_name(std::string_view device)
{
    for (const prot_name &p : prot_names)
        if (device.find(p.port) != std::string_view::npos)
            return p.file;
    return prot_name_other;
}

file_ptr prot_file_open()
{
    if (protfilenam[0] == '\0') {
        // Kept in protfilenam, so a later opening in the same run uses the same name.
        const std::string_view name = default_prot_name(devnam);
        const size_t n = std::min(name.size(), sizeof protfilenam - 1);
        std::memcpy(protfilenam, name.data(), n);
        protfilenam[n] = '\0';
    }
    file_ptr f = create_output_file(protfilenam);
    if (!f) {
        std::fprintf(stderr, "\nProtocol file [%s] open error: %s\n", protfilenam,
                     std::strerror(errno));
        end_program(1);
    }
    return f;
}

void prot_file_error(int err)
{
    std::fprintf(stderr, "\nProtocol file [%s] write error: %s\n", protfilenam, std::strerror(err));
}

int prot_file_close(file_ptr &f, bool report)
{
    if (std::fclose(f.release()) == 0)
        return 1;
    if (report)
        prot_file_error(errno);
    return 0;
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
    // at the end the shell's prompt gets a line of its own. Nothing is added for a script.
    const bool console = isatty(infd);
    if (console)
        std::fprintf(stderr,
                     "Terminal on %s at %d baud: Ctrl-C sends a break, Ctrl-C twice quits\n",
                     devnam, inspeed);
    struct termios stdintios;
    if (!console_raw(infd, &stdintios))
        return 0;
    term_state st{fprot.get(), infd};
    run_terminal(st);
    if (st.console_gone) {
        // A hung-up console refuses every call; one try, in case the line behind it comes back.
        tcsetattr(infd, TCSANOW, &stdintios);
        forget_console_state();
    } else if (!console_restore(infd, stdintios)) {
        st.rvl = 0;
    }
    if (!prot_file_close(fprot, !st.log_lost))
        st.rvl = 0;
    if (console)
        std::fputc('\n', stderr);
    return st.rvl;
}
