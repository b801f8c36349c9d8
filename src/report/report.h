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

// The block write's image as its record lists it.
constexpr int IMAGE_REGIONS_LISTED = 64;  // the first regions, by offset; the count says the rest
struct image_record {
    const char *format = "";  // the word of the "format" option
    char sha256[65] = "";
    struct region {
        U32 offset;
        U32 bytes;
    };
    region regions[IMAGE_REGIONS_LISTED] = {};
    int listed = 0;
    long region_count = 0;
    long blocks_skipped = 0;
    U32 sectors_needed = 0;  // the sectors "erase needed" adds for the image
};

// The block write's image, for its record; the blocks sent so far are added as "blocks_sent".
void report_image(const image_record &image);
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
