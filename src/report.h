// The run report: a JSON record of one run (version, device, times, each selected operation with
// its result, line bytes, seconds and failure message, the exit status), written to the file of
// the "report" option when the run ends, whichever way it ends. The file appears whole or not at
// all: it is written under a temporary name in the same directory and renamed.
#pragma once

#include <cstddef>

#include "zelk.h"

// The report's file name is the setting reportfilenam ("" = no report).

// Once the options are in, when a report is asked for: stdout and stderr become streams that
// write to the same descriptors, as before, and keep the latest text, so that a failed
// operation's report carries the message it printed (its last line on stderr, else on stdout).
void report_start();

// An operation the run will try, in the order it runs; listed as "not run" until it begins.
void report_select(const char *name);
// The named operation (selected before) begins and ends. ok = its result.
void report_begin(const char *name);
void report_end(int ok);

// The first cause of the running operation's failure (a block that went wrong, the bytes verify
// found, what the monitor was seen to do), kept while later failures and retries follow: the
// operation's message is then the cause, "; ", and its last line, so that a record names both
// what went wrong first and how the operation ended. Later causes are ignored.
void report_cause(const char *text);

// The block write's image, for its record: `fields` are JSON members ("\"format\": \"hex\", ...")
// kept as they are (cut to the record's room); the blocks sent so far are added as
// "blocks_sent". Not for signal handlers.
void report_image(const char *fields);
void report_write_blocks(long sent);  // async-signal-safe
// The block write's recovery: sectors rebuilt, retries made, blocks the rebuilds sent again, the
// speed stepped down to (0: none). Async-signal-safe.
void report_write_recovery(long rebuilds, int retries, long resent, int stepped_to);
// Flash offset of the first sector the block write has not completed; -1 once every sector is.
// Async-signal-safe.
void report_write_incomplete(long offset);

// The SHA-256 (64 hex digits) of the bytes the write's image defines, once it is read.
void report_image_sha256(const char *hex);

// The flash's manufacturer code (`device` false) or device id (true), as read in this run.
void report_flash_code(bool device, U32 code);

// A signal arrived and its handler printed `line` (len bytes): a termination request (the
// failed operation's message when it printed none on stderr) or, with `unknown`, another signal
// that ends the run (its line is the message of the operation it ends). Async-signal-safe: the
// line is kept apart from everything the main flow writes to.
void report_note_signal(int sig, const char *line, int len, bool unknown);

// Writes the progress file's last event and the report (when one is asked for) with this exit
// status, 1 when an event could not be written. Called on every way the program ends, on the
// main path; writes once. The report replaces the file its name leads to through the user's own
// links. 0 when the progress file or the report was asked for and could not be written
// (reported): the user asked for the record, so the run then fails whatever its operations did.
int report_finish(int status);

// The report's file was refused before the device was opened: no report is written over it.
void report_cancel();

// A fault ends the program where it stands: no report is written, and a temporary file of one
// being written goes. Async-signal-safe.
void report_abandon();

// ---- Parts with no state, for the tests ----------------------------------------------------

// A fixed buffer that the report is formatted into without allocation. Text beyond its size is
// dropped and marks it overflowed.
struct report_buf {
    char *data;
    int size;
    int len = 0;
    bool overflow = false;
};
void rb_text(report_buf &b, const char *s);
// The most bytes a string takes between its quotes in the report and the progress file, so that
// every record has room for every field: a longer one is cut, whole characters and escapes only,
// and ends with CUT_MARK.
constexpr int JSON_TEXT_MAX = 512;
constexpr char CUT_MARK[] = "[...]";
// Quoted; valid UTF-8 is kept as it is, other bytes and control characters are escaped; at most
// max_len bytes of s are read; null -> null.
void rb_json_string(report_buf &b, const char *s, int max_len);
void rb_uint(report_buf &b, unsigned long long v);

// Writes v in decimal into buf (room for 20 digits) without stdio or allocation, so that signal
// handlers may call it. Returns the number of digits; writes no terminator.
std::size_t format_decimal(char *buf, unsigned long long v);
void rb_seconds(report_buf &b, long long usec);  // "12.345678"
// UTC time of the epoch microseconds: "2026-12-08T09:41:33.123456Z".
void rb_utc_time(report_buf &b, long long epoch_usec);

// The last non-empty line of text (of len bytes, which need not be terminated) copied into out
// (out_size bytes, always terminated), blanks at its ends dropped. 0 = there is none.
int last_line(const char *text, int len, char *out, int out_size);

// The stable name of device `dev`: the entry of folder `by_id` (/dev/serial/by-id) that leads to
// the same device node, into out (size bytes). 0 when there is none (out then "").
int stable_device_name(const char *dev, const char *by_id, char *out, int size);
