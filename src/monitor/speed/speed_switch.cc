// The speed frame of a data phase at a faster speed and its way back.
#include "monitor/speed/speed_switch.h"

#include <cstdio>

#include "monitor/link/link.h"
#include "serial/serial.h"

namespace {

constexpr int SPEED_SETTLE_SEC = 1;  // the monitor switches back before the host does

int fast_baud = 0;
const char *fast_term_msg = TERM_FLASH_WRITE;

void say_board_speed(int baud)
{
    std::fprintf(stderr,
                 "\nThe board may stay at %d baud: give \"speed %d\" next time, or reset the "
                 "board\n",
                 baud, baud);
}

// The "SP" frame telling the monitor `baud`; its echo is not insisted on, as it may come at
// either speed. `report`: failures print their messages. The speed the monitor took, as far as
// its answer tells: `baud` when the frame went through and the echo is missing, garbled (it may
// come at the new speed) or right; another speed of the table that it echoed; 0 when the frame
// did not go through.
int speed_frame(int baud, bool report)
{
    number_echo echo;
    if (!send_command(CMD_SET_SPEED, false, fast_term_msg) ||
        !exchange_number(pair_code(CMD_SET_SPEED), baud, 1, report, &echo))
        return 0;
    if (echo.is_number && echo.value != static_cast<U32>(baud) && echo.value <= 0x7FFFFFFF &&
        baud_in_table(static_cast<int>(echo.value)))
        return static_cast<int>(echo.value);
    return baud;
}

// Run by the first termination request while the monitor is at the fast speed, further requests
// waiting. The rest of a read is taken first (within 5 s, else the speed is named), the frame the
// request cut short is completed, and the monitor is listened to for its marker; whether or not it
// comes (a monitor that refused a number is idle all the same), the speed frame goes, and what it
// answers tells whether the board is back or which speed it keeps. Bounded by the listening and
// the speed frame's own waits.
void back_to_normal_on_termination()
{
    if (let_monitor_finish(fast_baud, true)) {
        complete_open_frame(fast_term_msg);
        resync_monitor(fast_term_msg);
        const int took = speed_frame(normal_speed(), false);
        if (took == normal_speed())
            pause_tty(SPEED_SETTLE_SEC, 0);
        else
            say_board_speed(took ? took : fast_baud);
    }
    restore_line();
}

}  // namespace

int enter_fast_speed(int baud, const char *term_msg)
{
    const int code = speed_toh(baud);
    if (code == 0)
        return 0;
    fast_baud = baud;
    fast_term_msg = term_msg;
    monitor_sending(0);
    const int took = speed_frame(baud, true);
    if (took != baud) {
        if (took)
            say_board_speed(took);
        return 0;
    }
    if (!set_line_speed(code))
        return 0;
    set_termination_step(back_to_normal_on_termination);
    end_run_if_interrupted(fast_term_msg);
    return 1;
}

int leave_fast_speed()
{
    if (!let_monitor_finish(fast_baud, true))
        return 0;
    const int took = speed_frame(normal_speed(), true);
    if (took != normal_speed()) {
        say_board_speed(took ? took : fast_baud);
        return 0;
    }
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
    say_board_speed(fast_baud);
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
    if (code == 0 || speed_frame(baud, true) != baud || !set_line_speed(code))
        return 0;
    fast_baud = baud;
    end_run_if_interrupted(fast_term_msg);
    return 1;
}
