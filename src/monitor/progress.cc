// The live progress line: redrawn with "\r" and the cursor left at its start, so a "#" mark on
// standard output lands over its leading blanks and is drawn over at the next redraw.
#include "monitor/progress.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "files.h"
#include "report.h"
#include "serial/serial.h"
#include "zelk.h"
#include "json/json_text.h"

namespace {

constexpr double REDRAW_SEC = 0.1;  // at most ten redraws a second
constexpr int RATE_DRAWS = 30;      // the rate is taken over the last 30 redraws: about 3 s
constexpr double MAX_ETA_SEC = 9999999;

struct sample {
    double sec;
    long done;
};

bool shown = false;  // a transfer's line is live on standard error
long line_total = 0;
std::size_t line_width = 0;              // columns of the text on the screen
std::array<sample, RATE_DRAWS> samples;  // ring of the redraws behind the rate
int sample_count = 0;
int sample_next = 0;

const sample &drawn_ago(int draws)  // 0: the last redraw
{
    return samples[static_cast<std::size_t>((sample_next - 1 - draws + 2 * RATE_DRAWS) %
                                            RATE_DRAWS)];
}

double now_sec() { return static_cast<double>(monotonic_ns()) / NS_PER_SEC; }

long kib(long bytes) { return (bytes + 1023) / 1024; }

std::string clock_text(long sec)
{
    char buf[32];
    if (sec >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", sec / 3600, sec / 60 % 60, sec % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", sec / 60, sec % 60);
    return buf;
}

void put(const std::string &s)
{
    // Whatever standard output has pending belongs before the line.
    std::fflush(stdout);
    std::fwrite(s.data(), 1, s.size(), stderr);
}

void draw(long done, double sec)
{
    double rate = 0;
    if (sample_count > 0) {
        const sample &oldest = drawn_ago(sample_count - 1);
        if (sec > oldest.sec)
            rate = static_cast<double>(done - oldest.done) / (sec - oldest.sec);
    }
    samples[static_cast<std::size_t>(sample_next)] = {sec, done};
    sample_next = (sample_next + 1) % RATE_DRAWS;
    sample_count = std::min(sample_count + 1, RATE_DRAWS);

    const std::string text = progress_text(done, line_total, rate);
    std::string s = "\r" + text;
    if (text.size() < line_width)
        s.append(line_width - text.size(), ' ');
    s += "\r";
    line_width = std::max(line_width, text.size());
    put(s);
}

void erase()
{
    // Built in place rather than by "\r" + ... + "\r": GCC 12 at -O3 reports a false -Wrestrict
    // inside the concatenation.
    std::string blank(line_width + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    put(blank);
    shown = false;
}

// ---- The machine form ----

constexpr long long EVENT_GAP_US = 1000000;  // progress events at most once a second
// An event's line: its strings are cut to JSON_TEXT_MAX, so the longest (an operation's end,
// four strings of 512 bytes) takes about 2.4 KiB. At most PIPE_BUF, so that one write puts it
// whole into a pipe that other writers share.
constexpr int EVENT_BYTES = 4096;

int events_fd = -1;
bool events_lost = false;               // a write failed: said once, and the run fails
const char *event_operation = nullptr;  // a string literal: the running operation's name
const char *event_phase = nullptr;
long event_total = 0;
long long event_last_us = -EVENT_GAP_US;  // the last progress event of the run
long long rate_from_us = 0;               // the rate is taken since the later of that event
long rate_from_done = 0;                  // and the phase's start
bool phase_open = false;

// The fields every event starts with, up to and including the event's name.
void event_head(json_buf &b, const char *event)
{
    json_text(b, "{\"time\": \"");
    json_utc_time(b, wall_clock_us());
    json_text(b, "\", \"device\": ");
    json_string(b, devnam, NAME_BUF_SIZE);
    json_text(b, ", \"run_id\": ");
    json_string_or_null(b, run_id_text, LABEL_BUF_SIZE);
    json_text(b, ", \"label\": ");
    json_string_or_null(b, label_text, LABEL_BUF_SIZE);
    json_text(b, ", \"event\": \"");
    json_text(b, event);
    json_text(b, "\"");
}

// Writes the event's line; a write that fails is said on stderr and ends the file's events.
// Async-signal-safe, for the run's last event.
void event_send(json_buf &b)
{
    json_text(b, "}\n");
    // Never with the fields cut to their room; a line cut short would be no JSON.
    if (b.overflow || events_fd < 0)
        return;
    // One write: O_APPEND keeps each line whole among the lines of other writers. A short write
    // (a file system filling up) is carried on, to find why it fell short.
    for (int done = 0; done < b.len;) {
        const ssize_t w = write(events_fd, b.data + done, static_cast<size_t>(b.len - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            say_write_error("Progress file", progressfilenam, w < 0 ? errno : EIO);
            close(events_fd);
            events_fd = -1;
            events_lost = true;
            return;
        }
        done += static_cast<int>(w);
    }
}

void event_transfer(const char *event, long done, long rate)
{
    char text[EVENT_BYTES];
    json_buf b{text, EVENT_BYTES};
    event_head(b, event);
    json_text(b, ", \"operation\": ");
    json_string(b, event_operation, 64);
    json_text(b, ", \"phase\": ");
    json_string(b, event_phase ? event_phase : event_operation, 64);
    json_text(b, ", \"done\": ");
    json_uint(b, static_cast<unsigned long long>(std::max(done, 0L)));
    json_text(b, ", \"total\": ");
    json_uint(b, static_cast<unsigned long long>(std::max(event_total, 0L)));
    if (rate >= 0) {
        json_text(b, ", \"rate\": ");
        json_uint(b, static_cast<unsigned long long>(rate));
    }
    event_send(b);
}

void events_start(long total, const char *phase)
{
    if (events_fd < 0)
        return;
    event_phase = phase;
    event_total = total;
    rate_from_us = monotonic_us();
    rate_from_done = 0;
    phase_open = true;
    event_transfer("phase_start", 0, -1);
}

void events_update(long done)
{
    if (events_fd < 0 || !phase_open)
        return;
    const long long now = monotonic_us();
    if (now - event_last_us < EVENT_GAP_US)
        return;
    const long rate =
        now > rate_from_us
            ? static_cast<long>((done - rate_from_done) * 1000000LL / (now - rate_from_us))
            : 0;
    event_last_us = now;
    rate_from_us = now;
    rate_from_done = done;
    event_transfer("progress", done, std::max(rate, 0L));
}

void events_end(long done)
{
    if (events_fd < 0 || !phase_open)
        return;
    phase_open = false;
    event_transfer("phase_end", done, -1);
}

long last_done = 0;  // the transfer's latest position, for a phase that stops short

}  // namespace

int progress_open()
{
    if (!progressfilenam[0] || events_fd >= 0)
        return 1;
    events_fd = create_file(progressfilenam, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (events_fd < 0) {
        std::fprintf(stderr, "Progress file [%s] open error: %s\n", progressfilenam,
                     std::strerror(errno));
        return 0;
    }
    char text[EVENT_BYTES];
    json_buf b{text, EVENT_BYTES};
    event_head(b, "run_start");
    event_send(b);
    return !events_lost;
}

void progress_operation_start(const char *name)
{
    event_operation = name;
    phase_open = false;
    if (events_fd < 0)
        return;
    char text[EVENT_BYTES];
    json_buf b{text, EVENT_BYTES};
    event_head(b, "operation_start");
    json_text(b, ", \"operation\": ");
    json_string(b, name, 64);
    event_send(b);
}

void progress_operation_end(const char *name, const char *result, const char *message,
                            long long usec)
{
    if (events_fd < 0)
        return;
    if (phase_open)
        events_end(last_done);
    char text[EVENT_BYTES];
    json_buf b{text, EVENT_BYTES};
    event_head(b, "operation_end");
    json_text(b, ", \"operation\": ");
    json_string(b, name, 64);
    json_text(b, ", \"result\": ");
    json_string(b, result, 64);
    json_text(b, ", \"message\": ");
    json_string(b, message, 1024);
    json_text(b, ", \"seconds\": ");
    json_seconds(b, usec);
    event_send(b);
}

int progress_run_end(int status)
{
    if (events_fd < 0)
        return !events_lost;
    char text[EVENT_BYTES];
    json_buf b{text, EVENT_BYTES};
    event_head(b, "run_end");
    json_text(b, ", \"exit_status\": ");
    json_uint(b, static_cast<unsigned>(status));
    event_send(b);
    return !events_lost;
}

std::string progress_text(long done, long total, double rate)
{
    total = std::max(total, 0L);
    done = std::clamp(done, 0L, total);
    const long percent = total > 0 ? done * 100 / total : 100;
    char rate_buf[32] = "-.- KiB/s";
    if (rate > 0)
        std::snprintf(rate_buf, sizeof rate_buf, "%.1f KiB/s", rate / 1024);
    std::string eta = "-:--";
    if (done == total)
        eta = clock_text(0);
    else if (rate > 0)  // held below 10 million seconds, so the conversion stays defined
        eta = clock_text(static_cast<long>(
            std::min(std::ceil(static_cast<double>(total - done) / rate), MAX_ETA_SEC)));
    char buf[128];
    std::snprintf(buf, sizeof buf, "%4ld%%  %ld/%ld KiB  %s  ETA %s", percent, kib(done),
                  kib(total), rate_buf, eta.c_str());
    return buf;
}

void progress_start(long total, bool open_line, const char *phase)
{
    last_done = 0;
    events_start(total, phase);
    shown = total > 0 && isatty(STDERR_FILENO);
    if (!shown)
        return;
    line_total = total;
    line_width = 0;
    sample_count = 0;
    sample_next = 0;
    if (open_line)
        put("\n");
    draw(0, now_sec());
}

void progress_update(long done)
{
    last_done = done;
    events_update(done);
    if (!shown)
        return;
    const double sec = now_sec();
    if (sec - drawn_ago(0).sec >= REDRAW_SEC)
        draw(done, sec);
}

void progress_end()
{
    last_done = event_total;
    events_end(event_total);
    if (!shown)
        return;
    if (drawn_ago(0).done != line_total)
        draw(line_total, now_sec());
    erase();
}

void progress_clear()
{
    if (shown)
        erase();
}

void progress_erase_now()
{
    if (!shown)
        return;
    char blank[128];
    std::size_t n = std::min(line_width, sizeof blank - 2);
    blank[0] = '\r';
    std::memset(blank + 1, ' ', n);
    blank[n + 1] = '\r';
    [[maybe_unused]] const ssize_t w = write(STDERR_FILENO, blank, n + 2);
}

void hash_mark(hash_marks &m, int pos)
{
    if (hash && pos > 0 && pos >= m.last + HASH_MARK_BYTES) {
        std::printf("#");
        std::fflush(stdout);
        m.last = pos;
    }
}
