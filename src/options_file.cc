// zelk options file: one option per line, the same words as on the command line, "#" comments.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "files.h"
#include "options.h"

namespace {

constexpr int LINE_BUF_SIZE = 512;  // a line keeps at most 511 characters and its NUL
constexpr int MAX_WORDS = 32;       // word vector: at most 31 words and the null entry
// A physical line longer than this is no options line; the file is taken for something else
// (one with no newline at all, say) instead of being read to its end in search of one.
constexpr long MAX_LINE_CHARS = 4096;

// The options the last file applied, as "erase, speed 115200", and the file's name.
std::string applied;
std::string applied_from;

std::string options_line(const std::string &options)
{
    return "Options from " + applied_from + ": " + options + "\n";
}

// A line that names no option, or one with words left after its option: the word no option takes
// there (`bad`, the words' count when the line ends too soon) and the option perhaps meant.
void report_parse_error(const char *filename, int line, char **argv, int argc, int bad)
{
    if (bad == argc)
        option_error(nullptr, "File [%s] parse error. Line [%d] at its end", filename, line);
    else if (!argv[bad][0])
        option_error(nullptr, "File [%s] parse error. Line [%d] begins with a blank", filename,
                     line);
    else
        option_error(nullptr, "File [%s] parse error. Line [%d] at word '%s'", filename, line,
                     argv[bad]);
    const std::string hint = suggestion(closest_option_line(argv, bad));
    if (!hint.empty())
        std::fprintf(stderr, "%s\n", hint.c_str());
}

enum class line_end { NEWLINE, END_OF_FILE, READ_ERROR, TOO_LONG };

// Reads one physical line into `buf`, already reduced to what the splitter needs: tabs become
// blanks, runs of blanks become one, a "#" and everything after the 511th kept character are
// dropped. `any` tells whether a character (newline included) was read at all. A line of more
// than MAX_LINE_CHARS characters before its newline ends the reading.
line_end read_line(std::FILE *file, char *buf, bool *any)
{
    int len = 0;
    long physical = 0;
    bool discarding = false;
    *any = false;
    for (;;) {
        if (physical++ > MAX_LINE_CHARS) {
            buf[len] = '\0';
            return line_end::TOO_LONG;
        }
        int c = std::getc(file);
        if (c == EOF) {
            buf[len] = '\0';
            return std::ferror(file) ? line_end::READ_ERROR : line_end::END_OF_FILE;
        }
        *any = true;
        if (c == '\n') {
            // A line written on another system ends in CR LF: the CR is no part of its words.
            if (!discarding && len > 0 && buf[len - 1] == '\r')
                --len;
            buf[len] = '\0';
            return line_end::NEWLINE;
        }
        if (discarding)
            continue;
        if (c == '#' || len == LINE_BUF_SIZE - 1) {
            discarding = true;
            continue;
        }
        if (c == '\t')
            c = ' ';
        if (c == ' ' && len > 0 && buf[len - 1] == ' ')
            continue;
        buf[len++] = static_cast<char>(c);
    }
}

// Splits `buf` in place at each blank. A leading blank yields an empty first word, which names
// no option; a trailing blank adds no word. Returns the word count, or -1 for 32 words or more.
int split_words(char *buf, char **argv)
{
    int argc = 0;
    for (char *p = buf; *p;) {
        if (argc == MAX_WORDS - 1)
            return -1;
        argv[argc++] = p;
        char *blank = std::strchr(p, ' ');
        if (!blank)
            break;
        *blank = '\0';
        p = blank + 1;
    }
    argv[argc] = nullptr;
    return argc;
}

// One option per line. A line with words left after the option's name and arguments ("erase
// sectors 3" is "erase" and two stray words) is not applied: it is reported like a line that
// names no option, since it is not what its writer meant.
void apply_line(file_ptr &file, const char *filename, int line, char *buf)
{
    char *argv[MAX_WORDS];
    const int argc = split_words(buf, argv);
    if (argc < 0) {
        std::fprintf(stderr, "\nFile [%s] line [%d] too long\n", filename, line);
        end_program(1);
    }
    if (argc == 0)
        return;

    int olen = 0;
    const OPTION *opt = find_option(argv, &olen);
    const int words = opt ? olen + option_argument_words(opt) : 0;
    if (!opt || argc > words) {
        report_parse_error(filename, line, argv, argc, opt ? words : option_leading_words(argv));
        return;
    }
    std::string entry = applied.empty() ? "" : ", ";
    entry += opt->name;
    for (int i = olen; i < words && argv[i]; i++)
        entry += std::string(" ") + argv[i];
    // A refused value ends the run: the options from the file, this one with them, come first.
    set_option_error_preface(options_line(applied + entry));
    int arg_proc = 0;
    if (!process_option(opt, argv + olen, &arg_proc)) {
        file.reset();
        option_error(opt, "Option parse error");
        end_program(1);
    }
    set_option_error_preface("");
    applied += entry;
}

}  // namespace

// Messages give the physical line number, counting every line read from 1.
int options_from_file(const char *filename)
{
    applied.clear();
    if (!filename)
        return 0;
    applied_from = filename;
    // A FIFO or a device (a link to /dev/zero, say) might never end: only a regular file is read.
    bool not_regular = false;
    file_ptr file = open_regular_file(filename, &not_regular);
    if (not_regular) {
        option_error(nullptr, "File [%s] is not a regular file: not read", filename);
        return 0;
    }
    if (!file) {
        // No options file is the usual case; one that is there and cannot be read is not.
        // (When not even its folder may be looked at, nothing tells that one is there.)
        const int err = errno;
        struct stat st;
        if (stat(filename, &st) == 0) {
            errno = err;
            option_error(nullptr, "File [%s] open error: %m", filename);
        }
        return 0;
    }

    char buf[LINE_BUF_SIZE];
    for (int line = 1;; ++line) {
        bool any = false;
        const line_end end = read_line(file.get(), buf, &any);
        if (end == line_end::READ_ERROR) {
            option_error(nullptr, "File [%s] read error: %m", filename);
            return 0;
        }
        if (end == line_end::TOO_LONG) {
            file.reset();
            std::fprintf(stderr, "\nFile [%s] line [%d] too long\n", filename, line);
            end_program(1);
        }
        if (end == line_end::END_OF_FILE && !any)
            break;
        apply_line(file, filename, line, buf);
        if (end == line_end::END_OF_FILE)
            break;
    }
    return 1;
}

const std::string &options_file_applied() { return applied; }

void report_options_file()
{
    if (!applied.empty())
        std::fputs(options_line(applied).c_str(), stderr);
}
