// Why a link test failed: what came on the line, and the speed the board answers at when that is
// another one. A speed is named only on real evidence: data seen at a wrong speed (an interrupted
// read goes on for a while) can hold the marker's letters, but never twice, each after the
// silence an idle monitor keeps between its markers.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "monitor/link/link.h"
#include "monitor/link/progress.h"
#include "serial/serial.h"

namespace {

constexpr int IDLE_GAP_MS = 40;      // silence that ends a burst; an idle monitor keeps far more
constexpr int CONFIRM_MS = 1500;     // after a first marker, how long the second is waited for
constexpr int DATA_LISTEN_MS = 500;  // what comes at the normal speed is looked at this long

// How long each other speed is listened to for a first marker: an idle monitor repeats its marker
// every few hundred milliseconds, and two bytes take 400 ms at 50 baud.
int listen_ms(int baud) { return 400 + 40000 / baud; }

enum class heard { NOTHING, MARKERS, DATA };

struct listening {
    heard what = heard::NOTHING;
    long bytes = 0;
    long long first_us = 0, last_us = 0;  // when the first and the last byte came
};

// Listens, sending nothing, at the line's speed for `ms` milliseconds, taking the bytes in bursts
// (bytes less than IDLE_GAP_MS apart). A burst longer than what a monitor may say before its
// marker is data; two bursts in a row that end in the marker are an idle monitor (the window is
// stretched for the second once the first came). Data is listened to to its end of the window,
// for its rate.
listening listen(int ms)
{
    listening l;
    long long deadline = monotonic_us() + ms * 1000LL;
    long burst = 0;
    U16 code = 0;
    int markers = 0;
    while (!stopped() && !tty_hung_up() && l.what != heard::MARKERS) {
        const long long left = deadline - monotonic_us();
        if (left <= 0)
            break;
        unsigned char byte = 0;
        const int wait = static_cast<int>(std::min<long long>(left / 1000 + 1, IDLE_GAP_MS));
        const bool got = read_tty_ms(&byte, 1, wait) == 1;
        const long long now = monotonic_us();
        if (burst > 0 && (!got || now - l.last_us >= IDLE_GAP_MS * 1000LL)) {
            if (code == READY_MARKER && burst <= READY_READS) {
                if (++markers == 2)
                    l.what = heard::MARKERS;
                deadline = std::max(deadline, now + CONFIRM_MS * 1000LL);
            } else {
                markers = 0;
            }
            burst = 0;
            code = 0;
        }
        if (!got)
            continue;
        if (l.bytes++ == 0)
            l.first_us = now;
        l.last_us = now;
        code = shift_pair(code, byte);
        if (++burst > READY_READS && l.what == heard::NOTHING)
            l.what = heard::DATA;
    }
    return l;
}

// At each other speed of the table, fastest first, what comes; the line is back at its normal
// speed after. *baud is the speed the verdict came at.
listening probe_speeds(int &baud)
{
    for (auto s = speeds.rbegin(); s != speeds.rend(); ++s) {
        if (s->speed_int == 0 || s->speed_int == normal_speed())
            continue;
        if (!set_line_speed(s->speed_val))
            return {};
        const listening l = listen(listen_ms(s->speed_int));
        if (!restore_line())
            end_program(1);
        end_run_if_interrupted(TERM_LINK_TEST);
        if (l.what != heard::NOTHING) {
            baud = s->speed_int;
            return l;
        }
    }
    return {};
}

}  // namespace

void explain_link_failure(long received)
{
    const int at = line_baud();
    listening l;
    int baud = 0;
    if (received > 0 && !line_switched()) {
        l = listen(DATA_LISTEN_MS);
        if (l.what != heard::DATA)
            l = probe_speeds(baud);
    }
    std::fprintf(stderr, "Link test on %s at %d baud: ", devnam, at);
    if (received == 0) {
        std::fputs("nothing came: check the cable and the board's power\n", stderr);
    } else if (l.what == heard::MARKERS) {
        std::fprintf(stderr,
                     "the board answers at %d baud: give \"speed %d\", or reset the board\n", baud,
                     baud);
    } else if (l.what == heard::DATA) {
        // The longest read there is, at the rate its bytes come.
        const double span = static_cast<double>(std::max(l.last_us - l.first_us, 1LL)) / 1e6;
        const double rate = std::max(static_cast<double>(l.bytes) / span, 1.0);
        const long wait = static_cast<long>(FLASH_BYTES / rate) + 1;
        std::fprintf(stderr,
                     "the board is still sending (an interrupted read?): wait %ld s or reset the "
                     "board\n",
                     wait);
    } else {
        std::fprintf(stderr, "%ld byte%s came but no ready marker: reset the board\n", received,
                     received == 1 ? "" : "s");
    }
}
