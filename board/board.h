// The simulated board: an S3C4510B boot monitor serving zelk over a pseudo-terminal.
//
// The board runs on its own thread on the master side; zelk opens path() as its serial device.
// While idle it offers the ready marker "rr" every period_ms, but only once zelk has read the
// previous one. It takes two-letter commands (the letters may come seconds apart), answers them
// like the real monitor and keeps a 2 MiB NOR flash. Faults are described as data in Config and
// everything zelk sent is recorded for the test to inspect.
//
//   zb::Config cfg;
//   cfg.faults.push_back({.command = "WB", .occurrence = 1, .reply = zb::Script{}});
//   zb::Board board(cfg);
//   ASSERT_TRUE(board.start());
//   ... run zelk on board.path() ...
//   EXPECT_EQ(board.garbled_from_host(), 0);
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nor_flash.h"
#include "protocol.h"

namespace zb {

constexpr int DEFAULT_BAUD = 38400;

// One step of a scripted reply.
struct Step {
    enum class Kind {
        Send,     // put `bytes` on the line
        Pause,    // wait `ms` milliseconds
        Silence,  // abandon the command and send nothing until zelk sends a byte
        HangUp,   // close the line: zelk's reads fail from here on
        Taken,    // wait until zelk has read all that was sent (a minute at most)
        Held,     // wait until the test releases the board (Board::release), a minute at most
    };
    Kind kind = Kind::Send;
    std::string bytes;
    int ms = 0;
};
using Script = std::vector<Step>;

Step send(std::string bytes);
Step pause(int ms);
Step go_silent();
Step hang_up();
Step taken();
Step held();

// How the monitor echoes the 8 digits of a number.
enum class Echo {
    Upper,    // as received, letters upper case
    Lower,    // letters lower case
    Wrong,    // the last digit replaced by the letter 'O'
    Missing,  // no echo at all
};

// A fault in the data phase, at data byte `data_fault_at` (0-based) of WR, WB or RD.
enum class DataFault {
    None,
    WrongByte,  // WR: that byte arrives corrupted (programmed and echoed so); WB: stored
                // corrupted; RD: sent corrupted
    Silence,    // the board stops at that byte, before handling it, and stays silent until
                // the line is opened again
    HangUp,     // the line is closed at that byte, before handling it
};

// A deviation from the normal monitor for the commands it matches. The first matching fault in
// Config::faults applies. Unset fields keep the normal behaviour.
struct Fault {
    std::string command;        // the two letters, e.g. "WB"
    int occurrence = -1;        // only the n-th such command (0-based); -1: every one
    std::optional<U32> number;  // only when the command's number is this (sector, offset, ...)
    bool hang_up_on_command = false;  // close the line as soon as the letters are in
    std::optional<Script> prompt;     // replaces the prompt of a command taking a number
    Echo echo = Echo::Upper;
    std::optional<Script> echo_script;  // replaces the echo of the number entirely
    // Replaces what follows the command's work: the whole answer of CE, MC, ID, DT/DB/DH/DW
    // and RR (including their echo of the letters); the text ending in "OK" of SE; the CRC of
    // WB. Not used by WR, RD, SP. An empty script sends nothing.
    std::optional<Script> reply;
    bool lower_hex = false;  // the generated CRC (WB) or code (MC, ID) in lower-case hex
    DataFault data_fault = DataFault::None;
    long data_fault_at = 0;
    // A garbled command: the monitor takes these letters as the command `taken_as` (e.g. "SE" as
    // "CE": 'S' and 'C' differ in one bit) and serves that instead, recorded as it.
    std::optional<std::string> taken_as;
    // A garbled number: the monitor takes the command's number (matched by `number`) as this one
    // and echoes it so.
    std::optional<U32> number_taken_as;
    // Commands the fault applies to before it is used up (counted when the command's work
    // begins, after its number is in); -1: no limit. A block garbled "once" is times = 1.
    int times = -1;
};

// The ready marker offered while idle.
struct Ready {
    std::string marker = "rr";
    std::string junk;  // sent before every marker
    // Markers the host gets each time it opens the line: one that its flush of its input wiped
    // before it was read is offered again; -1 unlimited, 0 a silent board.
    int offers = -1;
    bool after_speed_switch = true;  // false: no marker at all once "SP" has switched the speed
    int period_ms = 150;
};

struct Config {
    int baud = DEFAULT_BAUD;    // the board's line speed at start
    bool wire_speed = false;    // take 10 bit times per byte each way, as a real line does
    bool byte_by_byte = false;  // send every byte alone, the next once zelk has read it
    std::string flash_file;  // keep the flash in this file (loaded at start); "" keeps it in memory
    // When set, the line's traffic is timed and written to this file when the board stops, one
    // line per write or read: "T|R <at ns> <wire ns> <bytes>" (see PtyLine::Event).
    std::string timing_file;
    Ready ready;
    U32 manufacturer_code = 0x01;  // AMD
    U32 device_id = 0xC8;          // Am29LV017: 16 Mbit, 32 uniform 64 KiB sectors
    int dram_phase_ms = 300;       // length of each "Wait" phase of the DRAM tests
    int erase_ms = 0;              // time a chip erase takes before "OK"
    std::vector<Fault> faults;
    // A noisy line: each byte received from zelk has one random bit flipped with this
    // probability, drawn from a generator seeded with noise_seed, so a run can be repeated.
    // The record (received()) keeps the bytes as zelk sent them.
    double noise_per_byte = 0;
    unsigned noise_seed = 1;
    long hang_up_after_bytes = -1;  // drop the line once this many bytes came from zelk; -1 never
    // Stop answering (no reply, no marker) once this many commands were taken, until the line
    // is opened again; -1 never.
    int silent_after_commands = -1;
    std::function<void(const std::string &)> log;  // called on the board thread, one line each
};

// One command as the monitor took it.
struct CommandRecord {
    std::string letters;        // e.g. "WB"
    std::optional<U32> number;  // the number it carried, once received and valid
    int baud = 0;               // the board's speed when the letters arrived
};

class Board {
public:
    explicit Board(Config cfg = {});
    ~Board();  // stops the board
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Creates the line and starts serving; a board starts once. On failure `error` (if given)
    // says why.
    bool start(std::string *error = nullptr);
    // Ends the thread and closes the line. Safe to call twice.
    void stop();
    const std::string &path() const;  // the slave, e.g. /dev/pts/7

    // Recording; safe from any thread while the board runs.
    std::string received() const;  // every byte zelk sent, in order, as sent
    // The same once the board has taken every byte zelk put on the line (10 s at most): for a
    // zelk that has ended, whose last bytes may still be queued for a board kept busy.
    std::string received_all() const;
    // When the board took each byte of received() from the line (it reads at once while idle
    // or waiting for a command's next byte).
    std::vector<std::chrono::steady_clock::time_point> received_times() const;
    // Bytes zelk has put on the line so far, the ones the board has not taken yet included.
    // Exact while zelk writes nothing (it is stopped, or waits).
    std::size_t sent_by_host() const;
    std::vector<CommandRecord> commands() const;
    bool wait_for_commands(std::size_t n, int timeout_ms) const;  // until n commands arrived
    long garbled_to_host() const;    // bytes sent while the two speeds differed
    long garbled_from_host() const;  // bytes received while the two speeds differed
    int markers_offered() const;
    int marker_chances() const;  // idle moments a marker was due, offered or held back
    int baud() const;            // the board's current line speed
    long bits_flipped() const;   // bytes the noise of Config::noise_per_byte changed so far
    bool hung_up() const;
    std::vector<U8> flash() const;
    void release();  // lets a reply held by a Held step go on
    // What the board noted (the commands, their numbers, faults, hang-ups), each line with the
    // milliseconds since it started: the story a failed test shows.
    std::vector<std::string> story() const;
    void load_flash(U32 offset, const std::vector<U8> &bytes);  // sets bytes, as a programmer

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The monitor's normal register listing (what follows its "RR" echo).
std::string register_listing();

// `v` as exactly 8 hex digits.
std::string hex8(U32 v, bool lower = false);

}  // namespace zb
