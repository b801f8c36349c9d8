// The speed frame of a data phase at a faster speed and its way back.
#include "monitor/speed_switch.h"

#include <algorithm>
#include <cstdio>

#include "monitor/link.h"
#include "serial/serial.h"

namespace {

constexpr int SPEED_SETTLE_SEC = 1;  // the monitor switches back before the host does
// The longest the way back waits for the rest of a read (its time on the wire at the fast
// speed) before the monitor can hear the speed frame: a termination request must end the run
// soon. More than that, and the monitor is left at the fast speed.
constexpr long FINISH_LIMIT_SEC = 5;
constexpr long BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
constexpr int FINISH_CHUNK_BYTES = 4096;

int fast_baud = 0;
const char *fast_term_msg = TERM_FLASH_WRITE;
long bytes_to_come = 0;  // of a read the monitor is still sending

// The "SP" frame telling the monitor `baud`; its echo is not insisted on, as it may come at
// either speed. `report`: failures print their messages.
int speed_frame(int baud, bool report)
{
    return send_command(CMD_SET_SPEED, false, fast_term_msg) &&
           exchange_number(pair_code(CMD_SET_SPEED), baud, 1, report);
}

// Takes and drops what the monitor still owes of a read, so that it hears what comes next.
// 1 = nothing more is coming (or a second passed without a byte: the monitor stopped, and
// whether it hears the frame is for the frame to tell); 0 = too much to wait for, said on stderr.
int let_monitor_finish()
{
    if (bytes_to_come <= 0)
        return 1;
    if (bytes_to_come * BITS_PER_BYTE > FINISH_LIMIT_SEC * fast_baud) {
        std::fprintf(stderr,
                     "\nThe board still sends %ld bytes of the read and stays at %d baud: give "
                     "\"speed %d\" next time, or reset the board\n",
                     bytes_to_come, fast_baud, fast_baud);
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

// Run by the first termination request while the monitor is at the fast speed. The request is
// being honoured: the line's writes and waits go on for the length of the way back, and a second
// request ends it (and the run) at once. The rest of a read is taken first (within
// FINISH_LIMIT_SEC). The request may have cut a frame short, and the monitor then still waits for
// a number's digits or a block's data: 0xFF completes either without harm (as digits it is no
// number, so the frame is given up; as data it programs nothing, erased flash holds it), and the
// monitor says it is ready again. Bounded by a second of listening before and after, and the
// speed frame's own waits.
void back_to_normal_on_termination()
{
    finish_despite_request(true);
    if (let_monitor_finish() && resync_monitor(fast_term_msg) && speed_frame(inspeed, false))
        pause_tty(SPEED_SETTLE_SEC, 0);
    finish_despite_request(false);
    restore_line();
}

}  // namespace

void monitor_sending(long bytes) { bytes_to_come = bytes; }

int enter_fast_speed(int baud, const char *term_msg)
{
    const int code = speed_toh(baud);
    if (code == 0)
        return 0;
    fast_baud = baud;
    fast_term_msg = term_msg;
    bytes_to_come = 0;
    if (!speed_frame(baud, true) || !set_line_speed(code))
        return 0;
    set_termination_step(back_to_normal_on_termination);
    end_run_if_interrupted(fast_term_msg);
    return 1;
}

int leave_fast_speed()
{
    if (!let_monitor_finish() || !speed_frame(inspeed, true))
        return 0;
    set_termination_step(nullptr);
    if (!pause_tty(SPEED_SETTLE_SEC, 0))
        end_run_if_interrupted(fast_term_msg);
    return restore_line();
}

void put_back_line()
{
    set_termination_step(nullptr);
    if (!restore_line())
        end_program(1);
}

int speed_below(int baud)
{
    int below = 0;
    for (const speed &s : speeds)
        if (s.speed_int < baud && s.speed_int > below)
            below = s.speed_int;
    return below;
}

int step_down_speed(int baud)
{
    const int code = speed_toh(baud);
    if (code == 0 || !speed_frame(baud, true) || !set_line_speed(code))
        return 0;
    end_run_if_interrupted(fast_term_msg);
    return 1;
}
