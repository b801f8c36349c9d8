// The speed frame of the block write's data phase and its way back.
#include "monitor/speed_switch.h"

#include <array>

#include "monitor/block_crc.h"
#include "monitor/link.h"
#include "serial/serial.h"

namespace {

constexpr int SPEED_SETTLE_SEC = 1;  // the monitor switches back before the host does

// The "SP" frame telling the monitor `baud`; its echo is not insisted on, as it may come at
// either speed. `report`: failures print their messages.
int speed_frame(int baud, const char *term_msg, bool report)
{
    return send_command(CMD_SET_SPEED, false, term_msg) &&
           exchange_number(pair_code(CMD_SET_SPEED), baud, 1, report);
}

// Run by the first termination request while the monitor is at the fast speed. The request is
// being honoured: kill_link is lowered for the length of the way back, so that a second request
// raises it again and ends it (and the run) at once. The request may have cut a block's frame
// short, and the monitor then still waits for the offset's digits or the block's data: 0xFF
// completes either without harm (as digits it is no number, so the frame is given up; as data it
// programs nothing, erased flash holds it), and the monitor says it is ready again. Bounded by a
// second of listening before and after, and the speed frame's own waits.
void back_to_normal_on_termination()
{
    kill_link = 0;
    if (resync_monitor(TERM_FLASH_WRITE) && speed_frame(inspeed, TERM_FLASH_WRITE, false))
        pause_tty(SPEED_SETTLE_SEC, 0);
    kill_link = 1;
    restore_line();
}

}  // namespace

int enter_fast_speed(int baud)
{
    const int code = speed_toh(baud);
    if (code == 0)
        return 0;
    if (!speed_frame(baud, TERM_FLASH_WRITE, true) || !set_line_speed(code))
        return 0;
    set_termination_step(back_to_normal_on_termination);
    end_run_if_interrupted(TERM_FLASH_WRITE);
    return 1;
}

int leave_fast_speed()
{
    if (!speed_frame(inspeed, TERM_FLASH_WRITE, true))
        return 0;
    set_termination_step(nullptr);
    if (!pause_tty(SPEED_SETTLE_SEC, 0))
        end_run_if_interrupted(TERM_FLASH_WRITE);
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
    if (code == 0 || !speed_frame(baud, TERM_FLASH_WRITE, true) || !set_line_speed(code))
        return 0;
    end_run_if_interrupted(TERM_FLASH_WRITE);
    return 1;
}
