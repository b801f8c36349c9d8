// The run report. Everything the writer touches is a fixed array or a number: the report is
// formatted without allocation, on the main path at the run's end, whichever way it ends.
#include "report/report.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "events/events.h"
#include "options.h"
#include "report/report_file.h"
#include "report/stream_tails.h"
#include "serial/ports.h"
#include "serial/serial.h"
#include "json/json_text.h"

namespace {

constexpr int MAX_OPERATIONS = 16;
constexpr int MESSAGE_BYTES = 256;
// The whole report: its strings are cut to JSON_TEXT_MAX, so 16 operations with the longest
// messages, the longest names and the image's fields take about 19 KiB at most.
constexpr int REPORT_BYTES = 32768;
constexpr int VERSION_BYTES = 32;
constexpr int HOST_BYTES = 256;
constexpr int SHA256_HEX = 65;

enum op_state { OP_NOT_RUN, OP_RUNNING, OP_OK, OP_FAILED, OP_TERMINATED };
constexpr std::array<const char *, 5> STATE_NAMES{"not run", "running", "ok", "failed",
                                                  "terminated"};

struct op_record {
    const char *name = nullptr;  // a string literal
    op_state state = OP_NOT_RUN;
    long long started = 0, ended = 0;           // monotonic microseconds
    unsigned long long sent = 0, received = 0;  // counters at the start, then the bytes moved
    char message[MESSAGE_BYTES] = "";
    char cause[MESSAGE_BYTES] = "";
};

// The run starts when the program does: taken before main, so that a report written by an
// option error still has its start.
const long long run_start_wall = wall_clock_us();
const long long run_start_mono = monotonic_us();

std::array<op_record, MAX_OPERATIONS> ops;
int op_count = 0;
int current = -1;  // the operation running, -1 when none
char version[VERSION_BYTES] = "";
char host[HOST_BYTES] = "";
char device_by_id[NAME_BUF_SIZE] = "";
char image_sha256[SHA256_HEX] = "";  // of the write's image; "" = no write
struct flash_code {
    bool read = false;
    U32 code = 0;
};
flash_code manufacturer_code, device_id_code;
volatile sig_atomic_t signal_seen = 0;
image_record image;  // of the block write; its format "" until it is given
volatile long image_blocks_sent = 0;
volatile long image_rebuilds = 0, image_resent = 0;
volatile int image_stepped_to = 0;
volatile int image_retries = 0;
volatile long image_first_incomplete = 0;
volatile sig_atomic_t written = 0;
volatile sig_atomic_t cancelled = 0;  // the report's file was refused: none is written

// The line a signal handler printed, written by the handler only (once) and read by the report:
// the tails above are the main flow's, and a handler landing in the middle of their update must
// not touch them.
constexpr int SIGNAL_LINE_BYTES = 96;
struct signal_line {
    char text[SIGNAL_LINE_BYTES];
    volatile sig_atomic_t len = 0;
};
signal_line term_line, fatal_line;

void close_op(op_record &op, op_state state)
{
    op.state = state;
    op.ended = monotonic_us();
    op.sent = tty_bytes_sent - op.sent;
    op.received = tty_bytes_received - op.received;
    // What went wrong is the line of the signal that ended the run, else the last line on
    // stderr; the termination request's line, then messages some operations print on stdout
    // ("Fail" after a handshake) stand in when there is none.
    // The message: a fatal signal's line, else the last on stderr, else a termination request's
    // line, else the last on stdout.
    if (state != OP_OK &&
        !(fatal_line.len &&
          last_line(fatal_line.text, fatal_line.len, op.message, MESSAGE_BYTES)) &&
        !tail_last_line(STDERR_FILENO, op.message, MESSAGE_BYTES) &&
        !(term_line.len && last_line(term_line.text, term_line.len, op.message, MESSAGE_BYTES)))
        tail_last_line(STDOUT_FILENO, op.message, MESSAGE_BYTES);
    if (state != OP_OK && op.cause[0] && std::strcmp(op.cause, op.message) != 0) {
        char last[MESSAGE_BYTES];
        std::memcpy(last, op.message, sizeof last);
        std::snprintf(op.message, sizeof op.message, last[0] ? "%s; %s" : "%s", op.cause, last);
    }
    event_operation_end(op.name, STATE_NAMES[state], op.message[0] ? op.message : nullptr,
                        op.ended - op.started);
}

op_state unfinished_state() { return kill_link || signal_seen ? OP_TERMINATED : OP_FAILED; }

// "0x" and 8 lower-case hex digits, terminated, without stdio.
void hex_word(U32 v, char out[16])
{
    constexpr char HEX[] = "0123456789abcdef";
    out[0] = '0';
    out[1] = 'x';
    for (int i = 0; i < 8; i++)
        out[2 + i] = HEX[(v >> (28 - 4 * i)) & 15];
    out[10] = '\0';
}

void format_report(json_buf &b, int status)
{
    const long long end_mono = monotonic_us();
    json_text(b, "{\n  \"version\": ");
    json_string(b, version, VERSION_BYTES);
    json_text(b, ",\n  \"device\": ");
    json_string(b, devnam, NAME_BUF_SIZE);
    json_text(b, ",\n  \"device_by_id\": ");
    json_string_or_null(b, device_by_id, NAME_BUF_SIZE);
    json_text(b, ",\n  \"host\": ");
    json_string(b, host, HOST_BYTES);
    json_text(b, ",\n  \"label\": ");
    json_string_or_null(b, label_text, LABEL_BUF_SIZE);
    json_text(b, ",\n  \"run_id\": ");
    json_string_or_null(b, run_id_text, LABEL_BUF_SIZE);
    json_text(b, ",\n  \"image_sha256\": ");
    json_string_or_null(b, image_sha256, SHA256_HEX);
    for (const auto &[key, fc] : {std::pair{",\n  \"manufacturer_code\": ", &manufacturer_code},
                                  std::pair{",\n  \"device_id\": ", &device_id_code}}) {
        json_text(b, key);
        json_text(b, fc->read ? "\"" : "null");
        if (fc->read) {
            char hex[16];
            hex_word(fc->code, hex);
            json_text(b, hex);
            json_text(b, "\"");
        }
    }
    json_text(b, ",\n  \"start\": \"");
    json_utc_time(b, run_start_wall);
    json_text(b, "\",\n  \"end\": \"");
    json_utc_time(b, run_start_wall + (end_mono - run_start_mono));
    json_text(b, "\",\n  \"seconds\": ");
    json_seconds(b, end_mono - run_start_mono);
    json_text(b, ",\n  \"operations\": [");
    for (int i = 0; i < op_count; i++) {
        const op_record &op = ops[static_cast<size_t>(i)];
        const bool ran = op.state != OP_NOT_RUN;
        json_text(b, i ? ",\n    {\"name\": " : "\n    {\"name\": ");
        json_string(b, op.name, MESSAGE_BYTES);
        json_text(b, ", \"result\": \"");
        json_text(b, STATE_NAMES[op.state]);
        json_text(b, "\", \"bytes_sent\": ");
        json_uint(b, ran ? op.sent : 0);
        json_text(b, ", \"bytes_received\": ");
        json_uint(b, ran ? op.received : 0);
        json_text(b, ", \"seconds\": ");
        json_seconds(b, ran ? op.ended - op.started : 0);
        json_text(b, ", \"message\": ");
        json_string(b, op.message[0] ? op.message : nullptr, MESSAGE_BYTES);
        if (image.format[0] && std::strcmp(op.name, "write") == 0) {
            json_text(b, ", \"image\": {\"format\": ");
            json_string(b, image.format, VERSION_BYTES);
            json_text(b, ", \"sha256\": ");
            json_string(b, image.sha256, SHA256_HEX);
            json_text(b, ", \"regions\": [");
            for (int r = 0; r < image.listed; r++) {
                json_text(b, r ? ", {\"offset\": " : "{\"offset\": ");
                json_uint(b, image.regions[r].offset);
                json_text(b, ", \"bytes\": ");
                json_uint(b, image.regions[r].bytes);
                json_text(b, "}");
            }
            json_text(b, "], \"region_count\": ");
            json_uint(b, static_cast<unsigned long long>(image.region_count));
            json_text(b, ", \"blocks_skipped\": ");
            json_uint(b, static_cast<unsigned long long>(image.blocks_skipped));
            json_text(b, ", \"sectors_erased_needed\": [");
            for (int sn = 0, listed = 0; sn < FLASH_SECTORS; sn++)
                if (image.sectors_needed >> sn & 1) {
                    json_text(b, listed++ ? ", " : "");
                    json_uint(b, static_cast<unsigned>(sn));
                }
            json_text(b, "]");
            json_text(b, ", \"blocks_sent\": ");
            json_uint(b, static_cast<unsigned long long>(image_blocks_sent));
            json_text(b, ", \"sector_rebuilds\": ");
            json_uint(b, static_cast<unsigned long long>(image_rebuilds));
            json_text(b, ", \"retries_made\": ");
            json_uint(b, static_cast<unsigned>(image_retries));
            json_text(b, ", \"blocks_resent\": ");
            json_uint(b, static_cast<unsigned long long>(image_resent));
            json_text(b, ", \"speed_stepped_down_to\": ");
            if (image_stepped_to)
                json_uint(b, static_cast<unsigned>(image_stepped_to));
            else
                json_text(b, "null");
            json_text(b, ", \"first_incomplete_sector_offset\": ");
            if (image_first_incomplete >= 0)
                json_uint(b, static_cast<unsigned long long>(image_first_incomplete));
            else
                json_text(b, "null");
            json_text(b, "}");
        }
        json_text(b, "}");
    }
    json_text(b, op_count ? "\n  ],\n  \"signal\": " : "],\n  \"signal\": ");
    if (signal_seen)
        json_uint(b, static_cast<unsigned>(signal_seen));
    else
        json_text(b, "null");
    json_text(b, ",\n  \"exit_status\": ");
    json_uint(b, static_cast<unsigned>(status));
    json_text(b, "\n}\n");
}

}  // namespace

// ---- The run ---------------------------------------------------------------------------------

void report_start()
{
    version_text(version, VERSION_BYTES);
    if (gethostname(host, HOST_BYTES) != 0)
        host[0] = '\0';
    host[HOST_BYTES - 1] = '\0';
    stable_device_name(devnam, BY_ID_DIR, device_by_id, NAME_BUF_SIZE);
    // The progress file's operation_end carries the failure message too.
    if (!reportfilenam[0] && !progressfilenam[0])
        return;
    // Without these streams the report goes without failure messages. stdout keeps the line
    // buffering the driver gave it, stderr stays unbuffered.
    std::fflush(stdout);
    keep_tails();
}

void report_select(const char *name)
{
    if (op_count < MAX_OPERATIONS)
        ops[static_cast<size_t>(op_count++)].name = name;
}

void report_begin(const char *name)
{
    for (int i = 0; i < op_count; i++) {
        op_record &op = ops[static_cast<size_t>(i)];
        if (op.state == OP_NOT_RUN && std::strcmp(op.name, name) == 0) {
            clear_tails();
            op.started = monotonic_us();
            op.sent = tty_bytes_sent;
            op.received = tty_bytes_received;
            op.state = OP_RUNNING;
            current = i;
            event_operation_start(op.name);
            return;
        }
    }
}

void report_end(int ok)
{
    if (current < 0)
        return;
    std::fflush(stdout);  // a message without its newline yet
    close_op(ops[static_cast<size_t>(current)], ok ? OP_OK : unfinished_state());
    current = -1;
}

void report_note_signal(int sig, const char *line, int len, bool unknown)
{
    signal_line &l = unknown ? fatal_line : term_line;
    // The first line of each kind stays: a reader may be looking at it (the fatal handler
    // writing the report), and a second request says nothing new.
    if (!l.len) {
        const int n = len < SIGNAL_LINE_BYTES - 1 ? len : SIGNAL_LINE_BYTES - 1;
        std::memcpy(l.text, line, static_cast<size_t>(n));
        l.text[n] = '\0';
        l.len = n;
    }
    signal_seen = sig;
}

void report_cause(const char *text)
{
    if (current >= 0 && !ops[static_cast<size_t>(current)].cause[0])
        std::snprintf(ops[static_cast<size_t>(current)].cause, MESSAGE_BYTES, "%s", text);
}

void report_image(const image_record &img)
{
    image = img;
    image_blocks_sent = 0;
    image_rebuilds = 0;
    image_resent = 0;
    image_stepped_to = 0;
    image_retries = 0;
}

void report_write_blocks(long sent) { image_blocks_sent = sent; }

void report_image_sha256(const char *hex)
{
    std::snprintf(image_sha256, sizeof image_sha256, "%s", hex);
}

void report_flash_code(bool device, U32 code)
{
    flash_code &fc = device ? device_id_code : manufacturer_code;
    fc.read = true;
    fc.code = code;
}

void report_write_incomplete(long offset) { image_first_incomplete = offset; }

void report_write_recovery(long rebuilds, int retries, long resent, int stepped_to)
{
    image_rebuilds = rebuilds;
    image_retries = retries;
    image_resent = resent;
    image_stepped_to = stepped_to;
}

namespace {

// 1 = the report is in place; 0 after its message.
int write_report(int status)
{
    if (!version[0])
        version_text(version, VERSION_BYTES);
    if (!host[0] && gethostname(host, HOST_BYTES) != 0)  // a run that ended in its options
        host[0] = '\0';
    host[HOST_BYTES - 1] = '\0';
    if (current >= 0 && ops[static_cast<size_t>(current)].state == OP_RUNNING)
        close_op(ops[static_cast<size_t>(current)], unfinished_state());
    current = -1;

    char text[REPORT_BYTES];
    json_buf b{text, REPORT_BYTES};
    format_report(b, status);
    if (b.overflow) {
        report_file_error("] write error\n");
        return 0;
    }

    return write_report_file(text, b.len);
}

}  // namespace

void report_abandon()
{
    abandon_report_file();
    written = 1;
}

int report_finish(int status)
{
    if (written)
        return 1;
    // An event that could not be written fails the run, and the report says so.
    const int events = event_run_end(status);
    if (!events)
        status = 1;
    if (!reportfilenam[0] || cancelled) {
        written = 1;
        return events;
    }
    const int ok = write_report(status);
    written = 1;
    return ok && events;
}

void report_cancel() { cancelled = 1; }
