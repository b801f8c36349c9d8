// The report's file: it appears whole or not at all, written under a temporary name in the same
// directory and renamed over the file the report's name leads to through the user's own links.
#pragma once

// Writes `len` bytes of text as the report's file (named by reportfilenam). 1 = it is in place;
// 0 after "\nReport file [NAME] open error: ..." or "... write error" on stderr.
int write_report_file(const char *text, int len);
// "\nReport file [NAME" and `what` on stderr, without stdio.
void report_file_error(const char *what);
// A temporary file being written goes. Async-signal-safe.
void abandon_report_file();
