// The live progress line of the flash transfers: one line on standard error, kept only while
// standard error is a terminal, so scripts and logs get exactly the transfers' own texts.
#pragma once

#include <string>

// The line's text for `done` of `total` bytes at `rate` bytes per second (0 or less: not known
// yet): percentage, KiB done of total (both rounded up), the rate and the time left, e.g.
// "  37%  388/1048 KiB  4.1 KiB/s  ETA 2:41". Done is always "ETA 0:00"; an hour or more of
// time left reads "h:mm:ss".
std::string progress_text(long done, long total, double rate);

// Starts the line for a transfer of `total` bytes, when standard error is a terminal. With
// `open_line` the cursor stands after an unfinished text of standard output, so the line is
// drawn below it.
// `phase` names the transfer in the machine form (null: the operation's name; "verify" for the
// block write's read-back).
void progress_start(long total, bool open_line, const char *phase = nullptr);

// `done` bytes of the transfer are through. Redraws at most ten times a second.
void progress_update(long done);

// The transfer is complete: the line shows 100% and is then erased, so the transfer's next text
// starts where the line was.
void progress_end();

// The transfer stopped short: the line is erased as it is. Safe to call when no line is shown.
void progress_clear();

// Erases the line from a signal handler, before the handler's own line: write(2) only. The
// handlers run only inside waits, never in the middle of a redraw.
void progress_erase_now();

// ---- The "#" marks of the hash option ----------------------------------------------------

inline constexpr int HASH_MARK_BYTES = 1024;

// Where the transfer's last mark stood; the start counts as one.
struct hash_marks {
    int last = 0;
};

// With `hash` set, prints a "#" on standard output when the transfer, now at `pos`, has moved
// HASH_MARK_BYTES or more past the last mark. Called with every position a transfer reaches in
// turn, it marks each further KiB.
void hash_mark(hash_marks &m, int pos);
