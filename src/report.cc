// The run report. Everything the writer touches is a fixed array or a number: the report is
// formatted without allocation, on the main path at the run's end, whichever way it ends.
#include "report.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "clock/clock.h"
#include "events/events.h"
#include "files.h"
#include "options.h"
#include "serial/serial.h"
#include "json/json_text.h"

namespace {

constexpr int MAX_OPERATIONS = 16;
constexpr int MESSAGE_BYTES = 256;
constexpr int TAIL_BYTES = 1024;  // stderr text kept: enough for any one message
// The whole report: its strings are cut to JSON_TEXT_MAX, so 16 operations with the longest
// messages, the longest names and the image's fields take about 19 KiB at most.
constexpr int REPORT_BYTES = 32768;
constexpr int VERSION_BYTES = 32;
constexpr int HOST_BYTES = 256;
constexpr int SHA256_HEX = 65;
constexpr const char *BY_ID_DIR = "/dev/serial/by-id";

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

// The latest text of one output stream: the last TAIL_BYTES bytes written since the running
// operation began.
struct text_tail {
    int fd;
    char text[TAIL_BYTES];
    int len = 0;
};
text_tail err_tail{STDERR_FILENO, {}};
text_tail out_tail{STDOUT_FILENO, {}};

// The line a signal handler printed, written by the handler only (once) and read by the report:
// the tails above are the main flow's, and a handler landing in the middle of their update must
// not touch them.
constexpr int SIGNAL_LINE_BYTES = 96;
struct signal_line {
    char text[SIGNAL_LINE_BYTES];
    volatile sig_atomic_t len = 0;
};
signal_line term_line, fatal_line;

void keep_tail(text_tail &t, const char *p, int n)
{
    if (n >= TAIL_BYTES) {
        std::memcpy(t.text, p + n - TAIL_BYTES, TAIL_BYTES);
        t.len = TAIL_BYTES;
        return;
    }
    if (t.len + n > TAIL_BYTES) {
        const int drop = t.len + n - TAIL_BYTES;
        std::memmove(t.text, t.text + drop, static_cast<size_t>(t.len - drop));
        t.len -= drop;
    }
    std::memcpy(t.text + t.len, p, static_cast<size_t>(n));
    t.len += n;
}

// The streams that stand in for stdout and stderr: every byte goes to the same descriptor as
// before, and a copy of the latest ones stays in the tail.
ssize_t tail_write(void *cookie, const char *p, size_t n)
{
    text_tail &t = *static_cast<text_tail *>(cookie);
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(t.fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<size_t>(w);
    }
    keep_tail(t, p, static_cast<int>(n));
    return done > 0 || n == 0 ? static_cast<ssize_t>(done) : -1;
}

// A stream writing through `t`, buffered as `mode`; null when none can be made.
std::FILE *tail_stream(text_tail &t, int mode)
{
    const cookie_io_functions_t io = {nullptr, tail_write, nullptr, nullptr};
    std::FILE *f = fopencookie(&t, "w", io);
    if (f != nullptr)
        std::setvbuf(f, nullptr, mode, mode == _IONBF ? 0 : BUFSIZ);
    return f;
}

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
        !last_line(err_tail.text, err_tail.len, op.message, MESSAGE_BYTES) &&
        !(term_line.len && last_line(term_line.text, term_line.len, op.message, MESSAGE_BYTES)))
        last_line(out_tail.text, out_tail.len, op.message, MESSAGE_BYTES);
    if (state != OP_OK && op.cause[0] && std::strcmp(op.cause, op.message) != 0) {
        char last[MESSAGE_BYTES];
        std::memcpy(last, op.message, sizeof last);
        std::snprintf(op.message, sizeof op.message, last[0] ? "%s; %s" : "%s", op.cause, last);
    }
    event_operation_end(op.name, STATE_NAMES[state], op.message[0] ? op.message : nullptr,
                        op.ended - op.started);
}

op_state unfinished_state() { return kill_link || signal_seen ? OP_TERMINATED : OP_FAILED; }

void write_all(int fd, const char *p, int n, bool &ok)
{
    while (ok && n > 0) {
        const ssize_t w = write(fd, p, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            ok = false;
            return;
        }
        p += w;
        n -= static_cast<int>(w);
    }
}

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

// The temporary file: beside the report, so that the rename stays on one file system, under a
// name no other user can guess (a link or FIFO planted at a guessable name would receive the
// report; O_EXCL refuses whatever is there all the same).
constexpr int TMP_ATTEMPTS = 8;
char tmp_name[PATH_MAX + 32];
volatile sig_atomic_t tmp_made = 0;
volatile sig_atomic_t cancelled = 0;
// The file the report replaces: the report's name, or where the user's own links from it lead,
// so that the rename puts the report in the link's target instead of in the link's place.
char target[PATH_MAX];

void temporary_name(char *buf)
{
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        const unsigned long long mix =
            static_cast<unsigned long long>(monotonic_us()) * 2654435761ULL ^
            static_cast<unsigned long long>(getpid());
        for (std::size_t i = 0; i < sizeof random; i++)
            random[i] = static_cast<unsigned char>(mix >> (8 * i));
    }
    constexpr char HEX[] = "0123456789abcdef";
    int len = static_cast<int>(strnlen(target, PATH_MAX));
    std::memcpy(buf, target, static_cast<size_t>(len));
    buf[len++] = '.';
    for (unsigned char r : random) {
        buf[len++] = HEX[r >> 4];
        buf[len++] = HEX[r & 15];
    }
    std::memcpy(buf + len, ".tmp", 5);
}

void report_error(const char *what)
{
    const char head[] = "\nReport file [";
    bool ok = true;
    write_all(STDERR_FILENO, head, sizeof head - 1, ok);
    write_all(STDERR_FILENO, reportfilenam, static_cast<int>(strnlen(reportfilenam, NAME_BUF_SIZE)),
              ok);
    write_all(STDERR_FILENO, what, static_cast<int>(std::strlen(what)), ok);
}

// "] open error: <reason>" with the reason's text (strerrordesc_np: no locale, no allocation).
void report_open_error(int err)
{
    const char *why = strerrordesc_np(err);
    bool ok = true;
    report_error("] open error: ");
    if (why)
        write_all(STDERR_FILENO, why, static_cast<int>(std::strlen(why)), ok);
    write_all(STDERR_FILENO, "\n", 1, ok);
}

}  // namespace

// ---- The stream text ---------------------------------------------------------------------

int last_line(const char *text, int len, char *out, int out_size)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    int end = len;
    while (end > 0 && blank(text[end - 1]))
        --end;
    if (end == 0 || out_size <= 0)
        return 0;
    int start = end;
    while (start > 0 && text[start - 1] != '\n' && text[start - 1] != '\r')
        --start;
    while (start < end && blank(text[start]))
        ++start;
    const int n = end - start < out_size - 1 ? end - start : out_size - 1;
    std::memcpy(out, text + start, static_cast<size_t>(n));
    out[n] = '\0';
    return 1;
}

// ---- The run ---------------------------------------------------------------------------------

int stable_device_name(const char *dev, const char *by_id, char *out, int size)
{
    out[0] = '\0';
    struct stat target;
    if (size <= 0 || stat(dev, &target) != 0)
        return 0;
    DIR *d = opendir(by_id);
    if (d == nullptr)
        return 0;
    std::string found;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string path = std::string(by_id) + "/" + e->d_name;
        struct stat st;
        // The first in name order, so that two names of one adapter always give the same.
        if (stat(path.c_str(), &st) == 0 && st.st_rdev == target.st_rdev &&
            st.st_ino == target.st_ino && st.st_dev == target.st_dev &&
            (found.empty() || path < found))
            found = path;
    }
    closedir(d);
    if (found.empty() || found.size() >= static_cast<size_t>(size))
        return 0;
    std::memcpy(out, found.c_str(), found.size() + 1);
    return 1;
}

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
    if (std::FILE *f = tail_stream(out_tail, _IOLBF))
        stdout = f;
    if (std::FILE *f = tail_stream(err_tail, _IONBF))
        stderr = f;
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
            err_tail.len = 0;
            out_tail.len = 0;
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
        report_error("] write error\n");
        return 0;
    }

    if (tmp_made) {
        unlink(tmp_name);
        tmp_made = 0;
    }
    if (!follow_own_links(reportfilenam, target, sizeof target))
        std::memcpy(target, reportfilenam, strnlen(reportfilenam, NAME_BUF_SIZE - 1) + 1);
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < TMP_ATTEMPTS; attempt++) {
        temporary_name(tmp_name);
        fd = create_file(tmp_name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        report_open_error(errno);
        return 0;
    }
    tmp_made = 1;
    bool ok = true;
    write_all(fd, text, b.len, ok);
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp_name, target) != 0) {
        unlink(tmp_name);
        report_error("] write error\n");
        return 0;
    }
    tmp_made = 0;
    return 1;
}

}  // namespace

void report_abandon()
{
    if (tmp_made) {
        unlink(tmp_name);
        tmp_made = 0;
    }
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
