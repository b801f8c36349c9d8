// The interactive terminal and the echo test share the protocol file and the way they wait on
// and read from the serial line.
#pragma once

#include <sys/select.h>

#include <string_view>

#include "zelk.h"

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

// What one wait or one read on the serial line tells the loop to do next.
enum class line_step {
    go,     // data to handle (for the wait: some descriptor is readable)
    idle,   // the one-second wait ran out; wait again
    stop,   // kill_link is set: end normally
    fail,   // the call failed or the line hung up; the message is printed
};

// Waits up to one second for any descriptor of r_fds (all below maxfd + 1) to be readable.
line_step wait_input(fd_set *r_fds, int maxfd);

// One read of up to len bytes from ttyfd into buf; *got receives the count on go.
line_step read_line_chunk(unsigned char *buf, size_t len, size_t *got);
