// Host side of the board monitor's protocol: the command letters, the ready handshake, the
// number field exchange, and the pair-code scanner that every operation waits with.
#pragma once

#include <array>
#include <initializer_list>
#include <span>

#include "monitor/link/block_crc.h"
#include "zelk.h"

// A pair code is a 16-bit window over the last two bytes received, the earlier byte in the high
// half: after 'O', 'K' it holds 0x4F4B.
constexpr U16 pair_code(const char *two)
{
    return static_cast<U16>((static_cast<U8>(two[0]) << 8) | static_cast<U8>(two[1]));
}
constexpr U16 shift_pair(U16 code, U8 byte) { return static_cast<U16>((code << 8) | byte); }

// Command letters. Where a command takes a number, the monitor prompts with the same letters.
inline constexpr char CMD_CHIP_ERASE[] = "CE";     // whole chip
inline constexpr char CMD_SECTOR_ERASE[] = "SE";   // number: sector
inline constexpr char CMD_BYTE_WRITE[] = "WR";     // number: byte count; every byte echoed
inline constexpr char CMD_SET_SPEED[] = "SP";      // number: new line speed in baud
inline constexpr char CMD_BLOCK_WRITE[] = "WB";    // number: flash offset; 512 bytes, check value
inline constexpr char CMD_READ[] = "RD";           // number: byte count
inline constexpr char CMD_REGISTERS[] = "RR";      // register listing
inline constexpr char CMD_MANUFACTURER[] = "MC";   // flash manufacturer code
inline constexpr char CMD_DEVICE_ID[] = "ID";      // flash device id
inline constexpr char CMD_DRAM_TEST[] = "DT";      // general DRAM test
inline constexpr char CMD_DRAM_BYTE[] = "DB";      // byte access
inline constexpr char CMD_DRAM_HALFWORD[] = "DH";  // half-word access
inline constexpr char CMD_DRAM_WORD[] = "DW";      // word access

// The commands that prompt for a number.
inline constexpr std::array<const char *, 5> PROMPTING{CMD_SECTOR_ERASE, CMD_BYTE_WRITE,
                                                       CMD_SET_SPEED, CMD_BLOCK_WRITE, CMD_READ};

inline constexpr U16 READY_MARKER = pair_code("rr");  // the monitor can take a command
inline constexpr U16 REPLY_OK = pair_code("OK");

inline constexpr int NUMBER_DIGITS = 8;  // a number goes as "%08X"
// What a "WB" frame cut short may still wait for: its offset's digits and its block. Bytes of
// 0xFF complete a frame harmlessly: erased flash holds them.
inline constexpr int FRAME_FILL_BYTES = NUMBER_DIGITS + FLASH_BLOCK_BYTES;
inline constexpr U8 ERASED_BYTE = 0xFF;
inline constexpr int READY_READS = 21;    // bytes read while waiting for "rr"
inline constexpr int READY_WAIT_SEC = 5;  // one-second waits per byte of the handshake
inline constexpr int PROMPT_READS = 31;   // bytes read while waiting for a number prompt
inline constexpr int PROMPT_WAIT_SEC = 3;
inline constexpr int ECHO_WAIT_SEC = 3;  // for the 8-digit echo of a number
// A slow erase may stay silent for up to this many reads of ERASE_WAIT_SEC each before its "OK".
inline constexpr int ERASE_REPLY_READS = 31;
inline constexpr int ERASE_WAIT_SEC = 3;

// What end_run_if_interrupted prints when a termination request ends each step, with or without
// a final newline.
inline constexpr char TERM_LINK_TEST[] = "\nTest Link terminated.\n";
inline constexpr char TERM_WRITE_LENGTH[] = "\nWrite Length terminated.\n";
inline constexpr char TERM_READ_LENGTH[] = "\nRead Length terminated\n";
inline constexpr char TERM_FLASH_ERASE[] = "\nFlash erase terminated.";
inline constexpr char TERM_FLASH_WRITE[] = "\nFlash write terminated.";
inline constexpr char TERM_FLASH_READ[] = "\nFlash read terminated.";
inline constexpr char TERM_DRAM_TEST[] = "\nDRAM test terminated.\n";
inline constexpr char TERM_REGISTERS[] = "\nRead registers terminated\n";

enum wait_result { WAIT_SEEN, WAIT_TIMEOUT, WAIT_BUDGET, WAIT_OTHER };

// The pair-code scanner. Reads one byte at a time (each within `sec` one-second waits), at most
// `reads` bytes, until every code of `pairs` has been seen as two consecutive bytes; the window
// starts empty again after each match. A byte that does not arrive ends the wait when
// `timeout_ends`, else it uses up one of the reads. With `show`, every byte is printed ("%c").
// A code of `others` seen ends the wait at once as WAIT_OTHER, with the code in *other.
// A termination request, found before any read or after a byte that does not arrive, prints
// `term_msg` and ends the program.
wait_result wait_pairs(std::initializer_list<U16> pairs, int reads, int sec, bool timeout_ends,
                       bool show, const char *term_msg, std::span<const U16> others = {},
                       U16 *other = nullptr);

// The one test of a termination request (of the further one, inside a step that must finish
// after a request: see finish_despite_request). Every operation calls it after a timed read came
// back incomplete and at each of its natural boundaries (before each command, block, chunk or byte
// it sends, each piece of data it takes, each step of a speed switch), so that a request ends
// the run even while every read succeeds. When a termination was requested, prints the
// operation's message on stderr and ends the program with status 1. A line that has hung up
// (an unplugged adapter, a board switched off) ends it too, with "Serial line hung up": nothing
// more can be said to the monitor, and its silence is not a timeout.
void end_run_if_interrupted(const char *term_msg);

// Registers what a termination request must do before the run ends at a fast speed (null:
// nothing). The first request takes the way back once, then the operation's message is printed and
// the run ends; further requests wait for the way back, whose every wait is bounded. At the normal
// speed the way back takes (or names) the rest of a read in progress and completes the command
// frame the request cut short (complete_open_frame); at a fast speed the registered step does
// that and brings the monitor back to the normal speed.
void set_termination_step(void (*step)());

// Completes the frame of the last command sent, as far as zelk got in it, with bytes of 0xFF that
// do no harm: one in place of a second letter (no command), eight as a number's digits (no number:
// the frame is given up), the rest of a block or of a short byte write's data (programs nothing);
// then listens for the ready marker. The rest of a long byte write is not sent: stderr says that
// the monitor was left in the middle of it. Quiet when all is well.
void complete_open_frame(const char *term_msg);

// The command frame in progress, for the way back: a command of `letters` begins (sent_before:
// tty_bytes_sent before its first letter), and its number went out with `data` bytes due after
// it (the block, the byte write's bytes).
void frame_begin(U16 letters, unsigned long long sent_before);
void frame_number_sent(U16 prompt, long data);

// A flash read in progress: the monitor has `bytes` more to send, and hears nothing before they
// are out. 0 once they are in.
void monitor_sending(long bytes);

// Takes and drops what the monitor still owes of a read when that takes at most 5 s at `baud`,
// so that it hears what comes next. More than that is said on stderr: the bytes, the time, and,
// with `stays` (a fast speed the monitor keeps), the speed to give next time. 1 = nothing more
// is coming.
int let_monitor_finish(int baud, bool stays);

// Sends the two command letters: paced (one letter, the pause of pause_ms, the other, the pause
// again; both in one write when the pause is 0) or unpaced. A termination request found before
// the first letter or during a pause ends the run with `term_msg`; the letter after the pause
// never goes out. 1 = sent. With `listen`, the
// pause after the last letter is spent reading the answer (see write_tty): for a command whose
// answer is timed as it comes.
int send_command(const char *letters, bool paced, const char *term_msg, bool listen = false);

// Reads a number as the monitor sends it: exactly 8 hex digits, either case, most significant
// first. Stops at the first other character, a terminating zero included, so it never looks past
// the end of a text. 1 = val holds the value; 0 = val unchanged.
int parse_hex8(const char *digits, U32 &val);

// Waits for the monitor's ready marker. Prints "Test link ..." and "Ok" or "Fail"; after a
// failure, explain_link_failure says why.
int read_id();

// After "Test link ...Fail", one line on stderr: the device, the line's speed, what was seen and
// what to do. Nothing came (`received` 0): check the cable and the board's power. Bytes came, and
// the line is at its normal speed: the board may still be sending (a burst longer than a marker's
// answer, at this speed or at any other of the table): wait for it or reset the board; or it
// answers at another speed, named only on real evidence (its marker seen twice there, each after
// the silence an idle monitor keeps): give "speed N"; else reset the board.
void explain_link_failure(long received);

// Waits for `prompt`, sends len as 8 upper-case hex digits and checks the echo (letters a-f in
// the echo count as A-F). With ignorerepl 1 a missing or different echo is accepted. A
// termination request ends the run before the digits go out and once the echo is in (or
// missing), whatever ignorerepl says.
int write_len(unsigned short prompt, int len, int ignorerepl);

// What came back for a number: whether its digits went out, whether 8 bytes of echo came, and
// whether they are a number (and which).
struct number_echo {
    bool sent = false;
    bool came = false;
    bool is_number = false;
    U32 value = 0;
    char text[NUMBER_DIGITS + 1] = "";
};

// The number field exchange itself: write_len when `report`, else the same exchange with its
// failures left unsaid (a frame sent on the way out of a terminated run). What came back goes to
// *echo when given. The prompt wait watches for the monitor doing something else: a chip erase's
// "CE" (the command letters were garbled into it: the flash is being erased) or another
// command's prompt (it waits for that command's number, which is completed as no number). Either
// is reported with note_monitor_damage and fails the exchange.
int exchange_number(unsigned short prompt, int len, int ignorerepl, bool report,
                    number_echo *echo = nullptr);

// The monitor was seen to do what no command asked for (the whole chip erased, another sector)
// or to take another command: `what` is said on stderr and becomes the operation's cause in the
// report. From then on monitor_damaged() is 1: nothing may retry or rebuild, a later "Ok" of the
// image's verify does not make the run a success, and the run ends with status 1.
void note_monitor_damage(const char *what);
int monitor_damaged();

// After damage: waits, quietly, for the "OK" that ends the erase the monitor is doing.
void wait_erase_done();

// The sector erase of one sector: "SE" paced, the sector number, then bytes ending in "OK".
// With `show`, failures of the number exchange are reported and what the monitor says while it
// erases is printed; without, it is quiet. 1 = erased; 0 = no "OK"; -1 = the letters or the
// number exchange failed. An echo of another sector number, or (quiet: a rebuild, which must not
// guess) any failure after the number went out, is noted as damage (note_monitor_damage).
int erase_sector(int sn, bool show);

// Brings the monitor back to its ready marker after a frame that went wrong, saying nothing:
// drains what the line holds (ready when it ends in the marker), else listens for the marker
// for a second, and when none comes (the
// monitor may still wait for an offset's digits or a block's data), sends 0xFF enough to complete
// either (as digits it is no number, so the frame is given up; as data it programs nothing) and
// listens again. 1 = the monitor is ready.
int resync_monitor(const char *term_msg);

// Reports on stderr that the data byte at `pos` of a write, `byte`, did not go out.
void report_tty_write_error(int pos, U8 byte);
