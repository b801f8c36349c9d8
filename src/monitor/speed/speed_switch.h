// The line at a faster speed for a data phase: the monitor told with the "SP" frame, the host
// following, and both brought back to the normal speed after, on a termination request too.
// The block write's data phase and the flash read's both run through it.
#pragma once

// Tells the monitor `baud` (a speed of the table) and follows it. 1 = both sides are at baud;
// 0 after a message (the monitor may have switched; the caller puts the host line back).
// From a successful switch until leave_fast_speed, a termination request first brings the
// monitor back to the normal speed (bounded, quiet; a second request ends it at once), so that
// an interrupted run never leaves the board at a speed the next run does not speak. `term_msg`
// is the operation's termination text, printed when a request ends the switch or the way back.
int enter_fast_speed(int baud, const char *term_msg);

// Still at the fast speed: tells the monitor the normal speed (normal_speed), gives it time to
// switch, then follows. 1 = the host is back at its attributes from before the switch.
int leave_fast_speed();

// The host line alone back at its attributes from before the switch (the monitor did not answer
// at the new speed), and a line on stderr naming the speed the board may keep. Failing here
// leaves no way to talk to the monitor: it ends the program.
void put_back_line();

// The speed of the table one step below `baud` (repeated rows aside); 0 when there is none.
int speed_below(int baud);

// At the fast speed: tells the monitor `baud` with the same speed frame and follows it; the way
// back (leave_fast_speed, a termination) stays as it was. 1 = both sides are at baud; 0 after a
// message.
int step_down_speed(int baud);
