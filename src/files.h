// Files the tool reads and creates besides the serial device: the options file and the input
// file are read only when they are regular files (a FIFO or a device never ends), and the
// output and protocol files are created without following a symbolic link planted by another
// user in a shared directory.
#pragma once

#include "zelk.h"

// Opens `name` for reading when it is a regular file, without blocking on a FIFO on the way.
// Null on failure; *not_regular tells a file that exists but is no regular file from one that
// could not be opened (errno then tells why). Nothing is printed.
file_ptr open_regular_file(const char *name, bool *not_regular);

// Creates or empties `name` for reading and writing (as fopen's "w+"). In a world-writable
// sticky directory (/tmp) a symbolic link is followed only when its owner is the user or the
// directory's owner, as the kernel's protected_symlinks rule has it; any other is refused with a
// message on stderr. Null on failure; for other failures errno tells why and nothing is printed.
file_ptr create_output_file(const char *name);

// Whether create_output_file(name) can be expected to succeed, found without creating or
// emptying anything: an existing name must be no directory and be writable; a new one needs a
// writable directory. false with errno telling why.
bool output_file_creatable(const char *name);

// True when both names exist and are the same file (same device and inode).
bool same_file(const char *a, const char *b);
