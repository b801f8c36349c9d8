// Files the tool reads and creates besides the serial device: the options file and the input
// file are read only when they are regular files (a FIFO or a device never ends); the files a
// run writes are checked together before the device is opened, and created without following a
// symbolic link planted by another user in a shared directory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>

#include "zelk.h"

// What a file is to the run. The role says what the run does with it: the device and the
// write's input are only compared with (each has its own check); the output, trace, progress
// and protocol files are written; the report is written whole under another name and renamed
// over; the resume report is read.
enum file_role {
    ROLE_DEVICE,
    ROLE_INPUT,
    ROLE_REPORT,
    ROLE_OUTPUT,
    ROLE_TRACE,
    ROLE_PROGRESS,
    ROLE_PROTOCOL,
    ROLE_RESUME,
};

struct run_file {
    file_role role;
    const char *name;  // "" = not used by this run
};

// Checks the files of a run before the device is opened, each in the table's order against all
// the others. A file is refused when it is another of the run's files (by name, or the same
// file by another name or a link), when a written file is a device other than /dev/null,
// /dev/zero and /dev/full (a terminal, a serial line, a disk), when the report or the resume
// report is not a regular file, when a link on its way is another user's in a shared sticky
// directory, or when a written file is a FIFO of another user there or one that nobody reads.
// A FIFO that is read is opened here and kept for create_file, so that its reader does not see
// an end between the check and the run. 1 = every file may be used; 0 after the message
// ("Output file [a] is the device [b]"), with the refused file's role in *refused.
int check_run_files(std::span<const run_file> files, file_role *refused);

// Whether the names lead to one file: the same name, the same inode, or for names that do not
// exist yet the same entry of the same directory.
bool same_place(const char *a, const char *b);

// The file `name` leads to through symbolic links that may be followed (see create_file): the
// path of the last one's target into out (size bytes), or name itself when it is no link.
// 0 with errno EACCES at a link of another user in a shared sticky directory, ELOOP or
// ENAMETOOLONG. Async-signal-safe: the report follows its own links when it is written.
int follow_own_links(const char *name, char *out, std::size_t size);

// "\n<what> [<name>] write error: <reason>\n" on stderr, with write() only, so that a signal
// handler's last write may report its failure too.
void say_write_error(const char *what, const char *name, int err);

// Opens `name` for reading when it is a regular file, without blocking on a FIFO on the way.
// Null on failure; *not_regular tells a file that exists but is no regular file from one that
// could not be opened (errno then tells why). Nothing is printed.
file_ptr open_regular_file(const char *name, bool *not_regular);

// The one opener of the files zelk creates (the output, trace, progress, protocol and report
// files). `flags` holds the access mode and O_CREAT with O_TRUNC or O_APPEND, or with O_EXCL for
// a file that must be new: then nothing existing is used (no link followed, no FIFO met) and the
// call is async-signal-safe. Otherwise, in a world-writable sticky directory (/tmp), a symbolic
// link is followed and a FIFO used only when its owner is the user or the directory's owner, as the
// kernel's protected_symlinks and protected_fifos rules have it; a FIFO is opened for writing only
// and without blocking, so one with no reader is refused at once (one that check_run_files opened
// is taken as it was kept). Refusals are reported on stderr. The descriptor (close-on-exec,
// blocking), or -1 with errno telling why.
int create_file(const char *name, int flags, mode_t mode);

// Creates or empties `name` through create_file for reading and writing (as fopen's "w+"), a
// FIFO for writing. Null on failure; errno tells why (a refusal is reported as create_file
// reports it).
file_ptr create_output_file(const char *name);

// Whether create_output_file(name) can be expected to succeed, found without creating or
// emptying anything: an existing name must be no directory and be writable; a new one needs a
// writable directory. false with errno telling why.
bool output_file_creatable(const char *name);
