// zelk-station: flashes board after board on each of several lines, until Ctrl-C. Each device is a
// slot that waits for a board (its device there and the idle monitor's marker on it), runs one
// zelk for it in a process group of its own, records the result as S-K (slot S, its K-th board)
// and waits for the board to go (the device vanishes or hangs up, the marker stops for 2 s, or
// Enter on the station's terminal). One process, one wait over every line, job and key.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serial/serial.h"

// Events are written with their keys in the order given, as a reader sees them in the file.
using event_json = nlohmann::ordered_json;

// ---- Settings: the command line ----------------------------------------------------------------

struct station_settings {
    std::string logs;           // where the records go (absolute); the jobs run there
    std::string events;         // the JSON-lines event stream, appended
    std::string run;            // this run's id: board S-K's zelk gets "run id RUN/S-K"
    std::string zelk = "zelk";  // the zelk each job runs
    int speed_code = 0;         // the line speed the marker is listened for at (a termios code)
    std::vector<std::string> devices;  // one slot each
    std::vector<std::string> words;    // zelk's words for every board, before its own
};
extern station_settings settings;

// ---- Slots
// ---------------------------------------------------------------------------------------

enum class slot_state {
    WAITING_BOARD,  // for a board: its device and the monitor's marker
    FLASHING,       // its job runs
    WAITING_GONE,   // for the board just recorded to go
    ENDED,
};

// One board's job: a zelk, leader of its own process group, its events coming through a pipe.
struct board_job {
    pid_t pid = -1;       // -1: none started
    int events_fd = -1;   // the pipe's read end; -1 once at its end
    std::string partial;  // an event line whose end has not come yet
    bool reaped = false;
    int status = 0;  // as a shell tells it: the exit status, or 128 + the signal
};

struct slot {
    int number = 0;  // S, from 1
    std::string device;
    slot_state state = slot_state::WAITING_BOARD;
    line_watch watch;       // open while the slot watches its line
    mono_ns next_open = 0;  // when the line is to be opened (again)
    int record = 0;         // K of its last record
    board_job job;
    unsigned long enters = 0;  // Enter presses counted when it began to wait for its board to go
    std::string live;          // what its live line shows
};
extern std::vector<slot> slots;

// The first request (Ctrl-C, SIGTERM, SIGHUP) has come: no board is started any more.
extern bool stopping;
// Enter presses on the station's terminal so far.
extern unsigned long enter_presses;

// "S-K" of slot s's current record.
std::string record_key(const slot &s);

// ---- slot.cc: each slot's state machine
// ------------------------------------------------------------

void slot_begin(slot &s);              // numbers go on from the folder's records
void slot_tick(slot &s, mono_ns now);  // what time alone decides
void slot_line_ready(slot &s);         // its line has bytes, or has hung up
void slot_stop(slot &s);               // the first request: a slot without a job ends

// ---- job.cc: the zelk of one board -------------------------------------------------------------

// Starts zelk on slot s's board as record `key`: its log KEY.log, its report KEY.json, its events
// through a pipe. false (said on stderr and in the log) when it could not be started.
bool job_start(slot &s, const std::string &key);
// Takes what the job's pipe holds: each whole event line goes to the events file, and to the slot's
// live line.
void job_read_events(slot &s);
// Reaps the job's zelk once it has ended.
void job_reap(board_job &j);
// Its zelk has been reaped and its pipe is at its end.
bool job_done(const board_job &j);
// Sends SIGTERM to the job's process group while any of it may be left.
void job_terminate(const board_job &j);

// ---- record.cc: events, records and the table --------------------------------------------------

// Opens the events file and summary.tsv (appended); false after a message when one cannot be.
bool records_open();
// The time of an event: UTC to the microsecond, "2026-12-08T14:03:07.123456Z".
std::string event_time();
// Appends one event line to the events file in one write, whatever its length.
void put_event_line(std::string line);
// A slot's event: slot_waiting, slot_board_done, slot_end.
void slot_event(const slot &s, const char *event);
// board_start of slot s's current record.
void board_start_event(const slot &s);
// Records the board that slot s's job has just finished: its result from its report (or log), a
// row in summary.tsv and the table, and its board_end event. The result.
std::string record_board(const slot &s);
// The first request's event.
void ending_event();
// The table's header row, and one row.
std::string table_row(const std::string &n, const std::string &device, const std::string &result,
                      const std::string &seconds);
// 0 when every record of summary.tsv is ok (none counts as all), else 1.
int summary_status();

// ---- live.cc: what the station's terminal shows ------------------------------------------------

// On a terminal (standard output), one live line per slot under the table's rows, cut to the
// terminal's width; elsewhere only the rows. Each line starts with the slot's number in a field of
// label_width.
void live_begin(std::size_t label_width);
// What a board's live line shows after one of its events: the phase with percent and rate, or its
// result; "" for an event that changes nothing.
std::string event_text(const nlohmann::json &e);
void live_changed();                        // a slot's live line changed: redrawn soon
void show_row(const std::string &row);      // a table row (a terminal: above the live lines)
void show_message(const std::string &msg);  // a message (a terminal: above them; else stderr)
void live_redraw();                         // at once (the terminal's size changed)
mono_ns live_due();                         // when a held-back redraw is due; 0 for none
void live_draw_due(mono_ns now);
void live_end();  // the live lines taken away, the table left

// ---- follow.cc: flash-many's live lines of a run of boards at once
// ---------------------------------

// Follows the events file at path as it grows (from its start), drawing one line per device, board
// N's from its events, until a run_done event; the last drawing stays. 0, or 1 when the file
// cannot be read.
int follow_events(const std::string &path);
