// Files the tool reads and creates besides the serial device: the options file and the input
// file are read only when they are regular files (a FIFO or a device never ends), and the
// output and protocol files are created without following a symbolic link planted by another
// user in a shared directory.
#pragma once

#include <sys/types.h>

#include "zelk.h"

// Opens `name` for reading when it is a regular file, without blocking on a FIFO on the way.
// Null on failure; *not_regular tells a file that exists but is no regular file from one that
// could not be opened (errno then tells why). Nothing is printed.
file_ptr open_regular_file(const char *name, bool *not_regular);

// The one opener of the files zelk creates (the output, protocol and report files). `flags`
// holds the access mode and O_CREAT with O_TRUNC, or with O_EXCL for a file that must be new:
// then nothing existing is used (no link followed, no FIFO met) and the call is async-signal-
// safe. Otherwise, in a world-writable sticky directory (/tmp), a symbolic link is followed and
// a FIFO used only when its owner is the user or the directory's owner, as the kernel's
// protected_symlinks and protected_fifos rules have it; a FIFO is opened for writing only and
// without blocking, so one with no reader is refused at once. Refusals are reported on stderr.
// The descriptor (close-on-exec, blocking), or -1 with errno telling why.
int create_file(const char *name, int flags, mode_t mode);

// Creates or empties `name` through create_file for reading and writing (as fopen's "w+"), a
// FIFO for writing. Null on failure; errno tells why (a refusal is reported as create_file
// reports it).
file_ptr create_output_file(const char *name);

// Whether create_output_file(name) can be expected to succeed, found without creating or
// emptying anything: an existing name must be no directory and be writable; a new one needs a
// writable directory. false with errno telling why.
bool output_file_creatable(const char *name);

// True when both names exist and are the same file (same device and inode).
bool same_file(const char *a, const char *b);
