// Serial line: raw 8N1 set-up with a speed table, restoration, the paced write and the timed
// read on which every monitor operation rests. Knows nothing of the monitor's protocol.
#pragma once

#include <array>
#include <poll.h>
#include <termios.h>

#include "clock/clock.h"
#include "zelk.h"

// Baud rate and its termios speed code.
struct speed {
    int speed_int;
    int speed_val;
};

// Ascending, each speed once; the row {0, 0} ends it.
inline constexpr std::array<speed, 20> speeds{{
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {0, 0},
}};

int speed_toh(int bps);       // baud rate -> speed code; 0 (with a message) when not in the table
int speed_tob(int speed);     // speed code -> baud rate; 0 when not in the table
bool baud_in_table(int bps);  // a rate of the table (0 is none)

// Takes the exclusive advisory lock on the open device. 0 (reported, naming the holder where
// /proc tells it) when another program holds it.
int lock_tty(int fd);
// The same, quietly: false when another program holds the lock.
bool try_lock_line(int fd);

// ---- The device between its open and the line set-up -------------------------------------

// Opens the device at path into ttyfd, without waiting for carrier. 0 (reported with
// report_open_error unless `quiet`) when it cannot be opened.
int open_tty(const char *path, bool quiet = false);

// The open itself: read and write, non-blocking (no wait for carrier), never the controlling
// terminal, never creating a file at path, closed on exec. The descriptor, or -1 (errno says why).
int open_line(const char *path);

// Makes the open ttyfd this run's own: it must be a serial line, the advisory lock and TIOCEXCL
// are taken, reads are non-blocking and the node is protected. 0 (reported) when it is not a
// serial line or another program holds it; the caller has arranged for the node to be put back.
int claim_tty();

// Reports a failed open of the device at path with the reason; for a permission refusal also
// what the user can do about it.
void report_open_error(const char *path, int err);

// 1 when fd is a serial line: a character device that answers tcgetattr and is not the master
// side of a pseudo-terminal. 0 (reported) otherwise; nothing about the node is changed.
int check_serial_line(int fd);
bool is_serial_line(int fd);  // the same test, quietly

// Takes write permission away from the node's group and others for the length of the run,
// keeping the mode found in tty_mode and in the mode record first. 0 (reported) when the mode
// cannot be changed.
//
// The mode record, a file beside the port locks (/run/lock/zelk-MAJOR-MINOR.mode, "found left
// ctime" in octal and decimal), outlives a run killed with SIGKILL: the next run, holding the
// port's lock (so no run that wrote it is alive), finds it and puts the found mode back first
// when the node is still as the killed run left it (the same mode and change time: a node made
// anew, a re-plugged adapter, is left alone). Only the user's own records and root's count.
int protect_node(int fd);

// Gives back what claim_tty took (the node's mode, through the descriptor, and the exclusive
// use), closes the device and sets ttyfd to -1. 0 when the mode could not be put back (errno says
// why; the mode record then stays for the next run). Async-signal-safe.
int release_claim();

int setdtr(int fd, int on);

// The raw 8N1 attributes of a line in use (the speed aside): no translation, no echo, no signals,
// no wait for carrier, no hang-up on the last close.
void make_raw_line(struct termios &tios);

// The line's normal speed in baud: the one setup_tty set it up at ("speed", or the line's own
// when that is 0); before the set-up, the "speed" setting.
int normal_speed();

// Sets the line up raw 8N1 at inspeed with DTR raised (put back as found when the run ends),
// keeping its attributes for the restore. 0 (reported) when the line refuses.
int setup_tty(int fd);

// Puts the device back as setup_tty and claim_tty found it (attributes, DTR, low latency, mode,
// exclusive use) and closes it. 0 when a step failed: "\nRestore of %s failed: %s\n" on stderr
// (the attributes also with their old line on stdout), unless the run has reported the line hung
// up already: a line that is gone has nothing to put back. 1 with no device open (one that went
// away and was released).
int close_tty();

// Lets go of a device that has gone away (unplugged, or its far end closed): the node's mode, the
// exclusive flag and the lock are given back as far as the node still takes them, the descriptor
// is closed and ttyfd is -1. Its line attributes are not written: there is no line to take them.
void release_tty();

// The device's attributes as setup_tty found them; put back when the program ends.
extern struct termios restore_termios;

// ---- Speed switch of a running line -------------------------------------------------------

// Sets the line's input and output speed to `code` (a speed code from speed_toh), keeping the
// attributes it had for restore_line (those before the first change, while switched). TCSAFLUSH:
// whatever came in at the old speed is discarded. 0 when the attributes cannot be read (reported);
// a refused change ends the program.
int set_line_speed(int code);

// Puts back the attributes set_line_speed kept. 0 (reported) when the line refuses them.
int restore_line();

// 1 from a set_line_speed until its restore_line: the line is not at its normal speed.
int line_switched();

// The line's speed now in baud (0 when it cannot be read).
int line_baud();

// Sleeps sec seconds, or ms milliseconds when sec is 0, listening for nothing. Other signals do
// not shorten the pause; a termination request ends it at once, also one that came just before
// it. 1 = the whole pause passed; 0 = cut short by a termination request.
int pause_tty(int sec, int ms);

// Waits up to ms milliseconds for ttyfd to take more output. 1 = writable (or in error, for the
// write to report); 0 = the time ran out, the wait failed, or a termination request came.
int wait_tty_writable(int ms);

// Writes len bytes to ttyfd. A full output queue is waited on; only a line that takes no byte for
// the time 512 bytes take on the wire and a second more fails the write. Paced (one byte per call,
// each followed by pause_tty(sec, ms)) when sec > 0 or ms > 0; unpaced otherwise. A pending
// termination request is taken before every write. 1 = all written; 0 = a write failed
// (reported) or a termination request came (not reported: the caller looks at kill_link), in
// which case nothing more was sent. With `listen_last`, the pause after the last byte is owed
// instead of slept: the call returns at once so that the caller can read (and time) what the
// monitor answers meanwhile, and the next write first waits for the pause's end.
int write_tty(const unsigned char *p, int len, int sec, int ms, bool listen_last = false);

// Sleeps what is left of a pause owed by write_tty's `listen_last`, so that the next command
// (its handshake included) finds the monitor as a slept pause would. 1 = over (or none owed);
// 0 = cut short by a termination request.
int finish_owed_pause();

// Monotonic time, in microseconds, at which the last read that returned bytes (read_tty,
// read_tty_ms, read_pending_tty) returned: when those bytes arrived, as near as the wait tells.
long long tty_last_arrival_us();

// Bytes put on the line and taken from it by the calls below since the program started.
extern unsigned long long tty_bytes_sent, tty_bytes_received;

// Takes what is already queued, up to len bytes, without waiting. Returns the count, 0 when
// nothing is queued, -1 after a read error (reported as the timed read reports it).
int read_pending_tty(unsigned char *buf, int len);

// Before a bulk read of up to len bytes: when fewer are queued, sleeps for the time the missing
// ones take on the wire at the line's input speed, at most 30 ms (a third of what the driver's
// 4 KiB input buffer holds at the fastest speed of the table). Reads nothing, so every timeout and
// message of the read that follows stays as it is; a termination request ends the sleep.
void gather_tty(int len);

// 1 once a timed read has found the line hung up: readable with nothing to read (end of file),
// or a read or a write failing with EIO or ENXIO (the adapter or the far end gone). Stays set.
int tty_hung_up();
// The stream reads (terminal, echo test) found the line hung up and said so.
void set_tty_hung_up();

// Collects exactly len bytes within sec seconds on the monotonic clock from the call: how the
// bytes are cut into pieces does not matter. A termination request ends the wait at once and
// fails the read without a message (the caller looks at kill_link); a hung-up line fails it at
// once. 1 = all arrived; 0 = timeout, request or error (bytes already read stay in buf).
int read_tty(unsigned char *buf, int len, int sec);

// read_tty within ms milliseconds.
int read_tty_ms(unsigned char *buf, int len, int ms);

// ---- Termination requests and the waits ---------------------------------------------------
//
// The request signals (SIGINT, SIGTERM and every other signal that ends a run but the synchronous
// faults; the driver's handler sets kill_link and counts term_requests) are blocked everywhere but
// inside wait_for, which lets them in atomically with the wait (ppoll with a mask). A request that
// comes at any instant therefore ends the wait that follows as it begins: no check of kill_link
// can miss one that lands just before a wait. Every wait of the tool is a wait_for: the pauses of
// the paced write, the timed read, the terminal's and the echo test's wait for the line. Outside
// the waits a request stays pending until take_requests lets it in, or until the program ends
// (end_program takes it).

// Requests whose handler has run, counted by the handler; kill_link is set with the first.
extern volatile sig_atomic_t term_requests;

// From now on the signals of `requests` stay blocked outside the waits. The driver calls it once,
// with the handlers installed.
void hold_requests(const sigset_t &requests);

// Lets a pending request in: its handler runs now. 1 when one was taken by this call.
int take_requests();

enum class wait_end {
    READY,    // a descriptor of fds is ready (revents tell which)
    TIMEOUT,  // the deadline passed
    REQUEST,  // term_requests reached `requests`
    FAILED,   // ppoll failed; errno tells why
};

// Waits until one of fds is ready (nfds may be 0: a pause), the monotonic clock reaches
// `deadline`, or term_requests reaches `requests`: requests_to_stop() for the waits of the line
// (pause_tty, read_tty, the stream's wait). Other signals do not end the wait.
wait_end wait_for(struct pollfd *fds, int nfds, mono_ns deadline, int requests);

// The requests that stop the line's writes (write_tty sends nothing more) and end its waits
// (pause_tty, read_tty, gather_tty, wait_input): 1, the first request, unless a step that must be
// finished after a request is running.
int requests_to_stop();
// 1 once the requests that stop the line have come (taking a pending one first is the caller's).
int stopped();

// With `on`, the way back after a termination request begins (completing the command frame it
// cut short, putting the monitor back at its normal speed; every wait of it bounded by its own
// deadline): the line's writes and waits go on whatever further requests come, so that the
// board's speed is settled or named before the run ends. With `off` the first request stops them
// again. kill_link is not touched: the run still ends as requested once the step is over.
void finish_despite_request(bool on);

// ---- The line as a byte stream: the terminal and the echo test ----------------------------

// What one wait or one read on the serial line tells the loop to do next.
enum class line_step {
    GO,       // data to handle (for the wait: some descriptor is readable)
    IDLE,     // the one-second wait ran out; wait again
    STOP,     // kill_link is set: end normally
    FAIL,     // the call failed; the message is printed
    HUNG_UP,  // the line has hung up (the device or its far end gone); the message is printed
};

// Which side a wait found ready.
struct input_ready {
    bool line = false;      // the serial line is readable
    bool console = false;   // the console descriptor given to the wait is readable
    bool writable = false;  // the line takes more of the bytes queued for it
};

// Waits up to one second for the line, or console_fd when it is not -1, to be readable, or, while
// bytes are queued for it, for the line to be writable; on GO, *ready tells which. While no line
// is open (ttyfd -1) it waits for the console alone.
line_step wait_input(int console_fd, input_ready *ready);

// One read of up to len bytes from the line into buf; *got receives the count on GO.
line_step read_line_chunk(unsigned char *buf, size_t len, size_t *got);

// Bytes typed or echoed are queued and written as the line takes them, so a paste or a fast far
// end loses nothing. A user's paste of 32 KiB waits on the line, not on the console.
constexpr size_t LINE_QUEUE_BYTES = 32768;
size_t line_queue_room();  // bytes queue_for_line takes now
size_t line_queue_size();  // bytes queued
// Queues up to line_queue_room() of the len bytes; the caller keeps within it.
void queue_for_line(const unsigned char *buf, size_t len);
// Writes what the line takes now of the queue, without waiting. FAIL (reported) when the write
// fails other than for a full or hung-up line (the read that follows finds a hang-up).
line_step flush_line_queue();
// Forgets the queue: the line it was for is gone.
void drop_line_queue();

// Sends a break on the line. 0 (reported) when the driver refuses it.
int send_break();

// ---- A board on a line, watched from outside a run --------------------------------------
//
// A station flashes board after board on one line: a board is there when its device exists and
// the idle monitor's marker comes on it, and has gone when the device vanishes, the line hangs up,
// or the marker it repeated stops. A watch opens the device as a run does (open_line: no file is
// ever created at its path, no wait for carrier), holds its lock meanwhile and gives the line back
// with its attributes as found. Times are on the monotonic clock, which no clock step moves.

// What a watch learnt.
enum class board_news {
    NONE,      // nothing new
    MARKER,    // the marker came (the watch's last_marker is its time)
    VANISHED,  // no device at the path any more, or another one than was opened
    HUNG_UP,   // the line hung up (an adapter unplugged, the far end closed)
    QUIET,     // markers came, then none for the quiet time
    BUSY,      // the open: another program holds the device's lock
    REFUSED,   // the open: the path names no serial line, or may not be opened
};

struct line_watch {
    int fd = -1;              // open while watching, else -1
    dev_t rdev = 0;           // the device opened
    struct termios found;     // its attributes as found, put back when the watch ends
    U16 marker = 0;           // the two bytes looked for, the earlier in the high half
    U16 window = 0;           // the last two bytes received
    mono_ns last_marker = 0;  // when the marker last came since the open; 0 before
};

// Opens path for a watch of `marker` (two bytes, as a pair code) at speed code `speed_code`.
// NONE when the watch is open; VANISHED when nothing is at the path; BUSY or REFUSED otherwise.
board_news watch_open(line_watch &w, const char *path, int speed_code, U16 marker);
// Takes what the line holds, without waiting: MARKER when the marker was among it, HUNG_UP, or
// NONE.
board_news watch_read(line_watch &w);
// Whether the board has gone without a word on the line: VANISHED, QUIET (markers came and none
// for quiet_ns until now), or NONE.
board_news watch_check(const line_watch &w, const char *path, mono_ns now, mono_ns quiet_ns);
// Ends the watch: the attributes as found (when the line is still there), the lock let go.
void watch_close(line_watch &w);

// ---- The protocol trace ------------------------------------------------------------------

// Creates the trace file (through create_output_file). 0 after a message when it cannot be made.
int trace_start(const char *path);
// Bytes that went out ('>') or came in ('<') on the line, as they moved; nothing without a trace.
void trace_bytes(char direction, const unsigned char *p, long n);
// The line's speed is now `baud`.
void trace_speed(int baud);
// Closes the trace at the run's end. 0 when a write to it failed, now or before ("\nTrace file
// [NAME] write error: ..." said once on stderr, where the trace then ended): the run fails.
int trace_finish();

// ---- State put back on every way the program ends ----------------------------------------

// Puts back everything the run changed on terminals: the console's attributes while the
// terminal has them raw, and the serial device's line attributes and node mode. Uses only
// async-signal-safe calls, so a fatal-signal handler may call it. Safe to call more than once.
void restore_saved_state();

// The terminal hands over the console's original attributes while it has them changed.
void save_console_state(int fd, const struct termios &tios);
void forget_console_state();
