// A slot's state machine: waiting for a board, flashing it, waiting for it to go. The line is
// watched through the serial layer's watch (its own open, lock and monotonic clock); nothing here
// blocks, the station's one wait serves every slot.
#include <dirent.h>

#include <cstdlib>
#include <cstring>

#include "monitor/link/link.h"
#include "station.h"

namespace {

constexpr mono_ns NS_PER_MS = NS_PER_SEC / 1000;
constexpr mono_ns REOPEN_NS = 200 * NS_PER_MS;     // how often a line that is not there is tried
constexpr mono_ns GONE_QUIET_NS = 2 * NS_PER_SEC;  // no marker for this long: the board has gone

// What a slot waiting for a board shows when its line could not be taken.
const char *const WAITING_TEXT = "waiting for a board";
const char *const BUSY_TEXT = "waiting for a board (the device is busy)";
const char *const REFUSED_TEXT = "waiting for a board (the device cannot be opened)";

void set_live(slot &s, const std::string &text)
{
    s.live = text;
    live_changed();
}

// The highest K of the folder's records S-K.json and S-K.log: a reused folder goes on from it, and
// no record is written over.
int last_record(int number)
{
    const std::string prefix = std::to_string(number) + "-";
    int last = 0;
    DIR *d = opendir(".");
    if (d == nullptr)
        return 0;
    while (const struct dirent *e = readdir(d)) {
        const char *name = e->d_name;
        if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
            continue;
        char *end = nullptr;
        const long k = std::strtol(name + prefix.size(), &end, 10);
        if (end != name + prefix.size() &&
            (std::strcmp(end, ".json") == 0 || std::strcmp(end, ".log") == 0) && k > last)
            last = static_cast<int>(k);
    }
    closedir(d);
    return last;
}

void end_slot(slot &s)
{
    watch_close(s.watch);
    s.state = slot_state::ENDED;
    set_live(s, "ended");
    slot_event(s, "slot_end");
}

void wait_board(slot &s)
{
    s.state = slot_state::WAITING_BOARD;
    s.next_open = 0;
    set_live(s, WAITING_TEXT);
    slot_event(s, "slot_waiting");
}

// The board has gone (or is taken as gone): the next one, unless the station is ending.
void gone(slot &s)
{
    watch_close(s.watch);
    if (stopping)
        end_slot(s);
    else
        wait_board(s);
}

void start_board(slot &s)
{
    watch_close(s.watch);  // the line is the job's now
    s.record++;
    const std::string key = record_key(s);
    s.state = slot_state::FLASHING;
    set_live(s, key + "  starting");
    board_start_event(s);
    job_start(s, key);  // one that could not start is recorded as it ends, at once
}

void finish_board(slot &s)
{
    const std::string result = record_board(s);
    s.job = board_job{};
    // Enter counts from here on: a press before this moment was for another board.
    s.enters = enter_presses;
    slot_event(s, "slot_board_done");
    set_live(s, record_key(s) + "  " + result + "; waiting for the board to go");
    if (stopping) {
        end_slot(s);
        return;
    }
    s.state = slot_state::WAITING_GONE;
    s.next_open = 0;
}

// Opens the line when it is time; what the open found.
board_news open_when_due(slot &s, mono_ns now)
{
    if (s.watch.fd >= 0 || now < s.next_open)
        return board_news::NONE;
    const board_news n = watch_open(s.watch, s.device.c_str(), settings.speed_code, READY_MARKER);
    if (n != board_news::NONE)
        s.next_open = now + REOPEN_NS;
    return n;
}

}  // namespace

std::string record_key(const slot &s)
{
    return std::to_string(s.number) + "-" + std::to_string(s.record);
}

void slot_begin(slot &s)
{
    s.record = last_record(s.number);
    wait_board(s);
}

void slot_tick(slot &s, mono_ns now)
{
    switch (s.state) {
    case slot_state::WAITING_BOARD: {
        const board_news n = open_when_due(s, now);
        const char *text = n == board_news::BUSY      ? BUSY_TEXT
                           : n == board_news::REFUSED ? REFUSED_TEXT
                                                      : nullptr;
        if (text != nullptr && s.live != text)
            set_live(s, text);
        else if (n == board_news::NONE && s.watch.fd >= 0 && s.live != WAITING_TEXT)
            set_live(s, WAITING_TEXT);
        // A link that now names another device: that one is watched instead.
        if (s.watch.fd >= 0 &&
            watch_check(s.watch, s.device.c_str(), now, 0) == board_news::VANISHED) {
            watch_close(s.watch);
            s.next_open = now;
        }
        break;
    }
    case slot_state::FLASHING:
        job_reap(s.job);
        if (job_done(s.job))
            finish_board(s);
        break;
    case slot_state::WAITING_GONE: {
        if (s.enters != enter_presses) {
            gone(s);
            break;
        }
        const board_news n = open_when_due(s, now);
        // Not there, or no line any more: gone. Held by another program: looked at again later.
        if (n == board_news::VANISHED || n == board_news::REFUSED) {
            gone(s);
            break;
        }
        if (s.watch.fd >= 0 &&
            watch_check(s.watch, s.device.c_str(), now, GONE_QUIET_NS) != board_news::NONE)
            gone(s);
        break;
    }
    case slot_state::ENDED:
        break;
    }
}

void slot_line_ready(slot &s)
{
    const board_news n = watch_read(s.watch);
    if (s.state == slot_state::WAITING_BOARD) {
        if (n == board_news::MARKER) {
            start_board(s);
        } else if (n == board_news::HUNG_UP) {
            watch_close(s.watch);
            s.next_open = monotonic_ns() + REOPEN_NS;
        }
    } else if (s.state == slot_state::WAITING_GONE && n == board_news::HUNG_UP) {
        gone(s);
    }
}

void slot_stop(slot &s)
{
    if (s.state == slot_state::WAITING_BOARD || s.state == slot_state::WAITING_GONE)
        end_slot(s);
}
