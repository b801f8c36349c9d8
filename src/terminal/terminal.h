// The interactive terminal and the echo test share the protocol file (prot_file.cc) and the
// console's mode (console.cc).
#pragma once

#include <termios.h>

#include <string_view>

#include "zelk.h"

// The escape key Ctrl-]: the key after it is the terminal's, not the board's. After it, q leaves
// without sending anything, in the terminal and in the echo test alike.
inline constexpr unsigned char ESCAPE_KEY = 0x1d;
inline constexpr unsigned char QUIT_KEY = 'q';

// The protocol file's name when none is given: chosen by the serial port the device word names.
std::string_view default_prot_name(std::string_view device);

// Opens protfilenam (first set to the default name when empty), created or emptied. A file that
// cannot be opened ends the program with status 1, so the result always holds a file.
file_ptr prot_file_open();

// Reports a failed write to the protocol file, with the reason `err` (an errno value).
void prot_file_error(int err);

// Closes the protocol file. 1 = everything written reached it; 0 otherwise, reported when
// `report` is set (a failure already reported is not told twice).
int prot_file_close(file_ptr &f, bool report);

// A terminal whose standard input is no console is a script's: from here on the standard output
// carries only the board's bytes and zelk's own lines go to the standard error. Nothing for any
// other run.
void terminal_take_stdout();

// How the console reads while a run uses it: RAW passes every byte as typed (the terminal); KEYS
// reads keys one by one, unechoed, with Ctrl-C still raising its signal (the echo test).
enum class console_mode { RAW, KEYS };

// Sets the console `fd` to `mode`, keeping its attributes in *saved (handed to the serial layer's
// restorer first). 0 when it refuses, said on stderr with `report`.
int console_take(int fd, console_mode mode, struct termios *saved, bool report);

// Puts the attributes of console_take back. 0 when the console refuses (said with `report`): the
// restorer then tries once more when the program ends.
int console_give_back(int fd, const struct termios &saved, bool report);
