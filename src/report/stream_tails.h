// The latest text of standard output and standard error, kept while a report or a progress
// file is asked for, so that a failed operation's record carries the message it printed.
#pragma once

// From here on stdout and stderr are streams that write to the same descriptors, as before, and
// keep their latest text. stdout keeps the line buffering the driver gave it, stderr stays
// unbuffered. Without them (no stream could be made) nothing is kept.
void keep_tails();
// Forgets the text kept so far: an operation begins.
void clear_tails();
// The last line kept of descriptor `fd` (STDOUT_FILENO or STDERR_FILENO) into out, as last_line
// gives it. 0 = there is none.
int tail_last_line(int fd, char *out, int out_size);

// The last non-empty line of text (of len bytes, which need not be terminated) copied into out
// (out_size bytes, always terminated), blanks at its ends dropped. 0 = there is none.
int last_line(const char *text, int len, char *out, int out_size);
