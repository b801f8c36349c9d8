// The live progress line: redrawn with "\r" and the cursor left at its start, so a "#" mark on
// standard output lands over its leading blanks and is drawn over at the next redraw.
#include "monitor/link/progress.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "events/events.h"
#include "zelk.h"

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

}  // namespace

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
    event_phase_start(total, phase);
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
    event_phase_progress(done);
    if (!shown)
        return;
    const double sec = now_sec();
    if (sec - drawn_ago(0).sec >= REDRAW_SEC)
        draw(done, sec);
}

void progress_end()
{
    event_phase_end();
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
