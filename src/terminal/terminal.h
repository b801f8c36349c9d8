// The interactive terminal and the echo test share the protocol file.
#pragma once

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
