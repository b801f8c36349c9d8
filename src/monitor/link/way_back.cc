// The way back after a termination request: the command frame it cut short completed, the rest
// of a read the monitor is sending taken, so that the monitor is left idle and ready.
#include <algorithm>
#include <array>
#include <cstdio>

#include "monitor/link/link.h"
#include "monitor/link/progress.h"
#include "serial/serial.h"

namespace {

void (*termination_step)() = nullptr;

// The command frame in progress: what the monitor waits for from zelk, as far as zelk has gone.
struct open_frame {
    U16 letters = 0;               // 0: none yet
    unsigned long long start = 0;  // tty_bytes_sent before its first letter
    bool number = false;           // the command takes a number
    long data = 0;                 // bytes due after the number: the block, the byte write's
};
open_frame frame;
long bytes_to_come = 0;  // of a read the monitor is still sending

bool prompts(U16 letters)
{
    return std::any_of(PROMPTING.begin(), PROMPTING.end(),
                       [&](const char *c) { return pair_code(c) == letters; });
}

// The longest the way back waits for the rest of a read (its time on the wire) before the monitor
// hears anything again: a termination request must end the run soon.
constexpr long FINISH_LIMIT_SEC = 5;
constexpr long BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
constexpr int FINISH_CHUNK_BYTES = 4096;

// Bytes of 0xFF that complete the open frame harmlessly: in place of a second letter the pair is
// no command; as a number's digits it is no number, so the frame is given up; as the block's or
// the byte write's data it programs nothing (erased flash holds it).
long frame_due()
{
    if (frame.letters == 0)
        return 0;
    const long sent = static_cast<long>(tty_bytes_sent - frame.start);
    if (sent == 1)
        return 1;
    if (!frame.number)
        return 0;
    if (sent < 2 + NUMBER_DIGITS)
        return 2 + NUMBER_DIGITS - sent;
    return 2 + NUMBER_DIGITS + frame.data - sent;
}

// Completes the frame a termination request cut short, and listens for the monitor to say it is
// ready again (the echoes or the check value come first). What takes longer than a block's frame
// (the rest of a long byte write) is not sent: the monitor is said to be left in the middle.
void complete_frame(const char *term_msg)
{
    const long due = frame_due();
    if (due <= 0)
        return;
    const char a = static_cast<char>(frame.letters >> 8), b = static_cast<char>(frame.letters);
    if (due > FRAME_FILL_BYTES) {
        std::fprintf(stderr,
                     "\nThe monitor was left in the middle of \"%c%c\", waiting for %ld more "
                     "bytes: reset the board before the next run\n",
                     a, b, due);
        return;
    }
    std::array<U8, FRAME_FILL_BYTES> fill;
    fill.fill(ERASED_BYTE);
    // Listened to as the link test listens: a live monitor answers at once, a dead one costs the
    // link test's wait.
    if (!write_tty(fill.data(), static_cast<int>(due), 0, 0) ||
        wait_pairs({READY_MARKER}, static_cast<int>(due) + READY_READS, READY_WAIT_SEC, true, false,
                   term_msg) != WAIT_SEEN)
        std::fprintf(stderr,
                     "\nThe monitor did not say it is ready after \"%c%c\" was cut short: reset "
                     "the board if the next link test fails\n",
                     a, b);
}

}  // namespace

void frame_begin(U16 letters, unsigned long long sent_before)
{
    frame = {letters, sent_before, prompts(letters), 0};
}

void frame_number_sent(U16 prompt, long data)
{
    if (prompt == frame.letters)
        frame.data = data;
}

void set_termination_step(void (*step)()) { termination_step = step; }

void monitor_sending(long bytes) { bytes_to_come = bytes; }

int let_monitor_finish(int baud, bool stays)
{
    if (bytes_to_come <= 0)
        return 1;
    const long sec = (bytes_to_come * BITS_PER_BYTE + baud - 1) / baud;
    if (sec > FINISH_LIMIT_SEC) {
        if (stays)
            std::fprintf(stderr,
                         "\nThe board still sends %ld bytes of the read (%ld s at %d baud) and "
                         "stays at %d baud: give \"speed %d\" next time, or reset the board\n",
                         bytes_to_come, sec, baud, baud, baud);
        else
            std::fprintf(stderr,
                         "\nThe board still sends %ld bytes of the read (%ld s at %d baud): wait "
                         "that long before the next run, or reset the board\n",
                         bytes_to_come, sec, baud);
        return 0;
    }
    unsigned char buf[FINISH_CHUNK_BYTES];
    while (bytes_to_come > 0) {
        const int chunk = static_cast<int>(std::min<long>(bytes_to_come, FINISH_CHUNK_BYTES));
        gather_tty(chunk);
        if (!read_tty(buf, 1, 1))
            break;
        const int more = chunk > 1 ? read_pending_tty(buf, chunk - 1) : 0;
        if (more < 0)
            break;
        bytes_to_come -= 1 + more;
    }
    bytes_to_come = 0;
    return 1;
}

void end_run_if_interrupted(const char *term_msg)
{
    take_requests();  // one that came since the last wait
    if (stopped()) {
        progress_clear();
        // The message of the step the first request ended.
        static const char *ending = nullptr;
        if (!ending) {
            ending = term_msg;
            // The way back: the monitor is left idle at the normal speed (or the speed it keeps
            // is named), whatever further requests come meanwhile; each wait of it is bounded.
            void (*step)() = termination_step;
            termination_step = nullptr;
            if (!tty_hung_up()) {
                finish_despite_request(true);
                if (step)
                    step();
                else if (let_monitor_finish(normal_speed(), false))
                    complete_frame(term_msg);
                finish_despite_request(false);
            }
        }
        std::fputs(ending, stderr);
        end_program(1);
    }
    if (tty_hung_up()) {
        progress_clear();
        std::fputs("\nSerial line hung up\n", stderr);
        end_program(1);
    }
}

void complete_open_frame(const char *term_msg) { complete_frame(term_msg); }
