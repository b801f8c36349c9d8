// The run's events, one JSON line each, appended to the file of the "progress" option.
#include "events/events.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "files.h"
#include "zelk.h"
#include "json/json_text.h"

namespace {

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
long last_done = 0;  // the phase's latest position, for a phase that stops short

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

}  // namespace

void event_phase_start(long total, const char *phase)
{
    last_done = 0;
    if (events_fd < 0)
        return;
    event_phase = phase;
    event_total = total;
    rate_from_us = monotonic_us();
    rate_from_done = 0;
    phase_open = true;
    event_transfer("phase_start", 0, -1);
}

void event_phase_progress(long done)
{
    last_done = done;
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

void event_phase_end()
{
    last_done = event_total;
    if (events_fd < 0 || !phase_open)
        return;
    phase_open = false;
    event_transfer("phase_end", event_total, -1);
}

int events_open()
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

void event_operation_start(const char *name)
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

void event_operation_end(const char *name, const char *result, const char *message, long long usec)
{
    if (events_fd < 0)
        return;
    if (phase_open) {
        phase_open = false;
        event_transfer("phase_end", last_done, -1);
    }
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

int event_run_end(int status)
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
