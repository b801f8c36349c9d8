// The station's terminal: the table's rows as records end and, on a terminal, one live line per
// slot under them, redrawn in place at most ten times a second. A live line never wraps (it is cut
// to the terminal's width, read at every drawing), so moving up over the lines drawn lands on the
// first of them. Only this writes to standard output while the station runs, each drawing in one
// write.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "station.h"

namespace {

constexpr mono_ns REDRAW_NS = NS_PER_SEC / 10;
constexpr int DEFAULT_COLUMNS = 80;
constexpr std::size_t DEVICE_FIELD = 40;  // as the table's DEVICE column
constexpr std::size_t SHORTEST_DEVICE = 16;
constexpr const char *ELLIPSIS = "...";

std::size_t label_field = 5;  // as the table's N column
bool live = false;            // standard output is a terminal
int drawn = 0;                // live lines on the screen below the rows
mono_ns last_draw = 0;
bool held = false;  // a change waits for its redraw

void put(const std::string &text)
{
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + at, text.size() - at);
        if (n <= 0)
            return;  // a terminal that has gone: nothing to show it
        at += static_cast<std::size_t>(n);
    }
}

int columns()
{
    struct winsize ws;
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col
                                                                       : DEFAULT_COLUMNS;
}

// Characters of UTF-8 text: its bytes but the continuation ones.
std::size_t width_of(const std::string &s)
{
    std::size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// The first `keep` characters of s.
std::string cut(const std::string &s, std::size_t keep)
{
    std::size_t i = 0;
    for (std::size_t chars = 0; i < s.size(); i++) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && chars++ == keep)
            break;
    }
    return s.substr(0, i);
}

std::string padded(const std::string &s, std::size_t field)
{
    const std::size_t w = width_of(s);
    return w < field ? s + std::string(field - w, ' ') : s;
}

// "1     /dev/ttyUSB0                             1-2  write     43%  10.9 KiB/s", within `room`
// characters: a device name too long to leave room for what the slot does keeps its end (where
// by-id names differ), and what is still too long is cut.
std::string live_line(const slot &s, std::size_t room)
{
    const std::string head = padded(std::to_string(s.number), label_field) + " ";
    std::string device = s.device;
    const std::size_t used = width_of(head) + 1 + width_of(s.live);
    std::size_t field = std::max(DEVICE_FIELD, width_of(device));
    if (used + field > room) {
        field = std::max(room > used ? room - used : 0, SHORTEST_DEVICE);
        if (width_of(device) > field) {
            const std::size_t tail = field - width_of(ELLIPSIS);
            device = ELLIPSIS + device.substr(device.size() - tail);
        }
    }
    return cut(head + padded(device, field) + " " + s.live, room);
}

void draw(const std::string &rows)
{
    std::string out;
    if (drawn > 0)
        out.append("\r\x1b[").append(std::to_string(drawn)).append("A");
    out += rows;
    // One column short of the width: a line that filled it would leave the cursor waiting to
    // wrap, and some terminals then erase or wrap its last character.
    const int width = columns();
    const std::size_t room = width > 1 ? static_cast<std::size_t>(width - 1) : 1;
    for (const slot &s : slots)
        out.append("\r").append(live_line(s, room)).append("\x1b[K\n");
    put(out);
    drawn = static_cast<int>(slots.size());
    last_draw = monotonic_ns();
    held = false;
}

}  // namespace

std::string event_text(const nlohmann::json &e)
{
    const std::string event = e.value("event", "");
    std::string phase;
    for (const char *field : {"phase", "operation"})
        if (phase.empty() && e.contains(field) && e[field].is_string())
            phase = e[field].get<std::string>();
    auto number = [&](const char *f) {
        return e.contains(f) && e[f].is_number() ? e[f].get<long long>() : 0LL;
    };
    char buf[160];
    if (event == "operation_start" || event == "phase_start")
        return phase;
    if (event == "phase_end") {
        std::snprintf(buf, sizeof buf, "%-8s 100%%", phase.c_str());
        return buf;
    }
    if (event == "progress") {
        const long long done = number("done"), total = number("total"), rate = number("rate");
        std::snprintf(buf, sizeof buf, "%-8s %3lld%%  %lld.%lld KiB/s", phase.c_str(),
                      total > 0 ? done * 100 / total : 100, rate / 1024, rate % 1024 * 10 / 1024);
        return buf;
    }
    if (event == "board_end" && e.contains("result") && e["result"].is_string())
        return e["result"].get<std::string>();
    return "";
}

void live_begin(std::size_t label_width)
{
    label_field = label_width;
    live = isatty(STDOUT_FILENO) != 0;
    if (live)
        draw("");
}

void live_changed()
{
    if (!live)
        return;
    if (monotonic_ns() - last_draw >= REDRAW_NS)
        draw("");
    else
        held = true;
}

void show_row(const std::string &row)
{
    if (live) {
        draw("\r" + row + "\x1b[K\n");
    } else {
        std::fputs((row + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
}

void show_message(const std::string &msg)
{
    if (live) {
        draw("\r" + msg + "\x1b[K\n");
    } else {
        std::fputs((msg + "\n").c_str(), stderr);
        std::fflush(stderr);
    }
}

void live_redraw()
{
    if (live)
        draw("");
}

mono_ns live_due() { return held ? last_draw + REDRAW_NS : 0; }

void live_draw_due(mono_ns now)
{
    if (held && now >= last_draw + REDRAW_NS)
        draw("");
}

void live_end()
{
    if (live && drawn > 0)
        put("\r\x1b[" + std::to_string(drawn) + "A\x1b[J");
    drawn = 0;
}
