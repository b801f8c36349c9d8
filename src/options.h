// zelk options: the option table and the global settings (options.cc), applying one option
// (option_apply.cc), suggestions for a misspelt one (option_suggest.cc), the command line
// (command_line.cc), the usage and version texts (usage.cc), and the options file
// (options_file.cc).
#pragma once

#include <string>
#include <string_view>

#include "zelk.h"

// The table's row whose `addr` is `addr`: the row of a setting, or of a parser function (its
// address as void *). Null when no row has it.
const OPTION *option_row(const void *addr);

// Words in an option's name ("erase sector": 2).
int name_words(std::string_view name);
// How many of the name's leading words the leading input words (null-terminated) match, word by
// word.
int leading_words(std::string_view name, char **args);

// Best-matching row for the words of `args` (null-terminated): the row whose whole name matches
// the most leading words; on equal counts the earlier row wins. Stores in *argc the number of
// name words consumed (0 when nothing matched). Null `args` or `argc`: null, *argc untouched.
const OPTION *find_option(char **args, int *argc);

// Applies one option; `argv` is positioned after its name words and null-terminated. Stores in
// *arg_proc the number of argument words consumed. Returns 1, or 0 when a pointer is null or a
// parser function fails. A missing or bad argument is reported and ends the program (exit 1).
int process_option(const OPTION *opt, char **argv, int *arg_proc);

// How many argument words `opt` takes after its name: 0 for a switch, a command or a parser
// function that takes none, else 1.
int option_argument_words(const OPTION *opt);

// One message on stderr, framed by newlines, prefixed "Option [name] error:" for a row with a
// name and "Logview:" otherwise. printf-like; "%m" gives strerror(errno) as found at the call.
void option_error(const OPTION *opt, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Text printed on stderr before the next option_error, once: where the option being applied came
// from. Empty for none.
void set_option_error_preface(std::string text);

// Applies the `argc` words of `argv` (null-terminated after them). A word that names no option
// names the serial device; one that starts with "/dev/" or "tty" and names no file is reported
// as a missing device, with the serial ports present. Returns 1 when every word was accepted,
// 0 otherwise (reported).
int parse_args(int argc, char **argv);

// The option whose name (or whose name's first word) lies within two edits of `word`, the
// nearest, the earlier row on a tie; null when none does or the word is too short to tell.
const OPTION *closest_option(std::string_view word);

// The same for a line of words (null-terminated) in which no option takes the word after the
// first `known`: each name of more words than that is compared with as many leading words as it
// has ("write sped" with "write speed").
const OPTION *closest_option_line(char **words, int known);

// How many leading words of `words` (null-terminated) begin some option's name, word by word:
// the first word past them is one that no option takes there.
int option_leading_words(char **words);

// 'Did you mean "write"?' for `opt`, saying how many words a longer name has ('"erase sector"
// (two words)'); empty for null.
std::string suggestion(const OPTION *opt);

// Settings that only work together: "verify" needs the block write "write" (the byte write's
// flash offset is the monitor's choice, so there is nothing to compare it with). 1 = they agree;
// 0 after a message on stderr.
int check_option_combinations();

// Sets devnam from a device word ("ttyS1" means "/dev/ttyS1"). Returns 1 when the path exists,
// 0 when it does not (or `quiet` hides a failed status query), -1 after reporting an error.
int setdevname(const char *cp, int quiet);

// zelk's version ("0.1.0") into buf of size bytes.
void version_text(char *buf, int size);

// The usage listing on stdout, without a final newline.
void usage();

// Parser functions of the table ("--version", "--help"/"-h", "ports", "erase sector").
int showversion(char **argv, int *arg_proc);  // never returns: exit(0)
int showhelp(char **argv, int *arg_proc);     // never returns: exit(0)
int showports(char **argv, int *arg_proc);    // lists the serial ports on stdout; exit(0)
int parseSectors(char **argv, int *argc);     // fills erase_sectors_cmd from one list word
int parseFormat(char **argv, int *argc);      // sets image_format_opt from bin, hex, srec, elf

// "bin", "hex", "srec", "elf": the words of the "format" option.
const char *format_word(image_format f);
// 1 = `word` names a format, stored in *f.
int format_from_word(const char *word, image_format *f);

// Where the digits of a number word start: leading blanks/tabs and an "x"/"X"/"0x"/"0X" prefix
// are skipped. Stores the base: 16 after a prefix, else 16 when `hex` is set, else 10.
const char *number_digits(const char *word, bool hex, int *base);

// Reads a number word as the unsigned kinds do: every character after the leading blanks must
// be a digit of the base (a sign "+" allowed), and the value must fit 32 bits unsigned. Returns
// false for anything else: no digit, characters after the digits, a minus sign, a larger value.
bool read_u32(const char *digits, int base, U32 *out);

// Reads a number word as OPT_INT does: the same whole-word rule, a sign allowed, the value within
// the int range. Returns false otherwise.
bool read_int(const char *digits, int base, int *out);

// Applies the options file, one option per line. Returns 0 when `filename` is null, the file
// cannot be opened (silently), is not a regular file or a read error ended it (both reported);
// 1 after the whole file. A line of more than 4096 characters ends the program (exit 1).
int options_from_file(const char *filename);

// The options the last options_from_file applied, each with its argument words, separated by
// ", " ("erase, speed 115200"); empty when it applied none.
const std::string &options_file_applied();

// "Options from ./zelk.cfg: erase, speed 115200" on stderr when the file applied any.
void report_options_file();
