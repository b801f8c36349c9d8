// zelk options: the global settings, the option table, command-line parsing, usage and version.
#include "options.h"
#include "serial/ports.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

// ---- Global settings -------------------------------------------------------------------------

char devnam[NAME_BUF_SIZE] = "/dev/ttyS0";
char reportfilenam[NAME_BUF_SIZE] = "";
char inpfilenam[NAME_BUF_SIZE] = "zelk.bin";
char outfilenam[NAME_BUF_SIZE] = "zelk.out";
char protfilenam[NAME_BUF_SIZE] = "";
char tracefilenam[NAME_BUF_SIZE] = "";
int inspeed = 38400;

int terminal_cmd = 0, echo_test_cmd = 0;
int manufactory_cmd = 0, deviceid_cmd = 0;
int erase_cmd = 0;
U32 erase_sectors_cmd = 0;
int dram_test_cmd = 0, dram_byte_test_cmd = 0, dram_halfword_test_cmd = 0, dram_word_test_cmd = 0;
int fastwrite_cmd = 0, write_cmd = 0, read_cmd = 0, read_registers = 0;

int file_size = 0, block_size = 0, hash = 0;
int verify_opt = 0;
int write_offset = 0, write_speed = 0;
int read_speed = 0;
int terminal_hex_opt = 0, echo_opt = 0;
int dram_timeout = 120;
int timestamps_opt = 0, reconnect_opt = 0;
int idle_seconds = 2;
int image_format_opt = -1;
U32 flash_base = 0;
int erase_needed_opt = 0, plan_opt = 0;
int ready_wait = 0;
char label_text[LABEL_BUF_SIZE] = "";
char run_id_text[LABEL_BUF_SIZE] = "";
char progressfilenam[NAME_BUF_SIZE] = "";
int write_retries = 3;
char resumefilenam[NAME_BUF_SIZE] = "";
int pause_ms = 3000;

// ---- Option table ----------------------------------------------------------------------------

namespace {

constexpr U32 OPT_FLAG = OPT_INT | OPT_NOARG;                   // command or switch: stores 1
constexpr U32 OPT_INT_RANGE = OPT_INT | OPT_LOWER | OPT_UPPER;  // number within limits
constexpr U32 OPT_U32_RANGE = OPT_U32 | OPT_LOWER | OPT_UPPER;  // limits carried, not applied
static_assert(OPT_FLAG == 0x100005 && OPT_INT_RANGE == 0x30005 && OPT_U32_RANGE == 0x30004);

constexpr int BLOCK_LIMIT = 1024;
constexpr int DRAM_TIMEOUT_LIMIT = 86400;  // a day: longer is no test
constexpr int IDLE_LIMIT = 3600;           // an hour of silence
constexpr int READY_WAIT_LIMIT = 86400;    // a day: a station waits for its next board
constexpr int RETRIES_LIMIT = 10;          // sector rebuilds of one write
constexpr int PAUSE_LIMIT = 3000;          // the monitor's own need: never longer than it asks

// Version text, printed with "%s.%d%s" (0.1.0): major.minor, patch level and suffix of the
// project's version, which the build passes in.
constexpr const char *VERSION_TEXT = ZELK_VERSION_TEXT;
constexpr int VERSION_NUMBER = ZELK_VERSION_NUMBER;
constexpr const char *VERSION_SUFFIX = "";
constexpr const char *PROGRAM_NAME = "zelk";
constexpr const char *NOTICE = "Flash loader and boot monitor client for S3C4510B boards";

const char usage_string[] =
    "ZELK %s.%d%s %s\n %s [ options ] ttyname, where :\n ttyname is ttyS0 or ttyS1\n";

constexpr std::string_view HEADER_NAME = "Option name ";
constexpr std::string_view HEADER_DESCRIPTION = "Option description";

constexpr std::string_view DEV_PREFIX = "/dev/";
constexpr std::string_view TTY_PREFIX = "tty";

// Where the serial ports are looked for.
constexpr const char *SYSFS_ROOT = "/sys";
constexpr const char *DEV_ROOT = "/dev";
constexpr int ERROR_BUF_SIZE = 512;

}  // namespace

// Table order is the usage listing order and decides ties in matching. Parser functions sit in
// the untyped `addr`; their casts are address constants, so the table is initialised statically.
const OPTION general_options[] = {
    {"terminal", OPT_FLAG, &terminal_cmd, "ANSI/HEX Terminal", 1, 0, 0},
    {"hex", OPT_FLAG, &terminal_hex_opt, "Terminal HEX mode option", 1, 0, 0},
    {"echo", OPT_FLAG, &echo_opt, "Terminal echo option", 1, 0, 0},
    {"manufactory", OPT_FLAG, &manufactory_cmd, "Read Flash manufactory code", 1, 0, 0},
    {"device id", OPT_FLAG, &deviceid_cmd, "Read Flash Device Id", 1, 0, 0},
    {"erase", OPT_FLAG, &erase_cmd, "Erase Flash", 1, 0, 0},
    {"erase sector", OPT_FUNC, reinterpret_cast<void *>(&parseSectors),
     "Erase Flash Sectors (0,1,2...)", 0, 0, 0},
    {"read", OPT_FLAG, &read_cmd, "Read Flash", 1, 0, 0},
    {"bwrite", OPT_FLAG, &write_cmd, "Byte Write Flash", 1, 0, 0},
    {"write", OPT_FLAG, &fastwrite_cmd, "Block Write Flash", 1, 0, 0},
    {"registers", OPT_FLAG, &read_registers, "Read Registers", 1, 0, 0},
    {"size", OPT_INT_RANGE, &file_size, "Size for read/write", 0, 1, FLASH_BYTES},
    {"offset", OPT_U32_RANGE, &write_offset, "Flash offset for write", 0, 0, FLASH_BYTES},
    {"write speed", OPT_U32_RANGE, &write_speed, "Baudrate for flash write", 0, 0, FLASH_BYTES},
    {"speed", OPT_INT, &inspeed, "Speed (default value 38400)", 0, 0, 0},
    {"dram test", OPT_FLAG, &dram_test_cmd, "DRAM test", 1, 0, 0},
    {"dram byte test", OPT_FLAG, &dram_byte_test_cmd, "DRAM Byte read & write test", 1, 0, 0},
    {"dram half word test", OPT_FLAG, &dram_halfword_test_cmd, "DRAM half word read & write test",
     1, 0, 0},
    {"dram word test", OPT_FLAG, &dram_word_test_cmd, "DRAM word read & write test", 1, 0, 0},
    {"echo test", OPT_FLAG, &echo_test_cmd, "tty echo test", 1, 0, 0},
    {"block size", OPT_INT_RANGE, &block_size, "Read & Write block size", 0, 1, BLOCK_LIMIT},
    {"hash", OPT_FLAG, &hash, "Hash", 1, 0, 0},
    {"input", OPT_STRING, inpfilenam, "Input file name for write operation", 0, 0, NAME_BUF_SIZE},
    {"output", OPT_STRING, outfilenam, "Output file name for read operation", 0, 0, NAME_BUF_SIZE},
    // "defaul" as the listing has always read: the text is part of the interface.
    {"protocol", OPT_STRING, protfilenam, "Terminal protocol file name (defaul = zelk.txt)", 0, 0,
     NAME_BUF_SIZE},
    {"--version", OPT_FUNC, reinterpret_cast<void *>(&showversion), "Show Version", 0, 0, 0},
    {"--help", OPT_FUNC, reinterpret_cast<void *>(&showhelp), "Help", 0, 0, 0},
    {"-h", OPT_FUNC, reinterpret_cast<void *>(&showhelp), "Help", 0, 0, 0},
    {"verify", OPT_FLAG, &verify_opt, "Verify flash after block write", 1, 0, 0},
    {"ports", OPT_FUNC, reinterpret_cast<void *>(&showports), "List serial ports", 0, 0, 0},
    {"report", OPT_STRING, reportfilenam, "Report file name (JSON) written when the run ends", 0, 0,
     NAME_BUF_SIZE},
    {"dram timeout", OPT_INT_RANGE, &dram_timeout,
     "Seconds a DRAM test may go without\nprogress (default 120, 0 = no limit)", 0, 0,
     DRAM_TIMEOUT_LIMIT},
    {"timestamps", OPT_FLAG, &timestamps_opt, "Terminal: local time at the start of each line", 1,
     0, 0},
    {"reconnect", OPT_FLAG, &reconnect_opt, "Terminal: wait for a lost device and reopen it", 1, 0,
     0},
    {"idle", OPT_INT_RANGE, &idle_seconds,
     "Terminal without a console: seconds of silence after\nthe input's end (default 2)", 0, 0,
     IDLE_LIMIT},
    {"format", OPT_FUNC, reinterpret_cast<void *>(&parseFormat),
     "Input file format: bin, hex, srec or elf\n(default: recognised by content)", 0, 0, 0},
    {"flash base", OPT_U32, &flash_base, "Address of flash offset 0 in a hex, srec or elf image", 0,
     0, 0},
    {"erase needed", OPT_FLAG, &erase_needed_opt, "Erase the sectors the write's image touches", 1,
     0, 0},
    {"plan", OPT_FLAG, &plan_opt, "Print what the run would do; open no device", 1, 0, 0},
    {"read speed", OPT_U32_RANGE, &read_speed, "Baudrate for flash read (default: write speed)", 0,
     0, FLASH_BYTES},
    {"wait", OPT_INT_RANGE, &ready_wait,
     "Seconds the first link test waits for the board (default 0 = 5 s)", 0, 0, READY_WAIT_LIMIT},
    {"label", OPT_STRING, label_text, "Label recorded in the report (a serial number)", 0, 0,
     LABEL_BUF_SIZE},
    {"run id", OPT_STRING, run_id_text, "Run id recorded in the report and progress", 0, 0,
     LABEL_BUF_SIZE},
    {"progress", OPT_STRING, progressfilenam, "Progress file name (JSON lines, appended)", 0, 0,
     NAME_BUF_SIZE},
    {"retries", OPT_INT_RANGE, &write_retries,
     "Sector rebuilds a block write may make after\nfaults on the line (0-10, default 3)", 0, 0,
     RETRIES_LIMIT},
    {"trace", OPT_STRING, tracefilenam, "Trace file: every byte on the serial line, timed", 0, 0,
     NAME_BUF_SIZE},
    {"resume", OPT_STRING, resumefilenam, "Resume the block write that this run report records", 0,
     0, NAME_BUF_SIZE},
    {"pause", OPT_INT_RANGE, &pause_ms,
     "Milliseconds of pause after each paced command\nletter (0-3000, default 3000)", 0, 0,
     PAUSE_LIMIT},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0},
};
static_assert(std::size(general_options) == 49, "48 options and the terminator");

// ---- Messages --------------------------------------------------------------------------------

namespace {

std::string error_preface;

}  // namespace

void set_option_error_preface(std::string text) { error_preface = std::move(text); }

void option_error(const OPTION *opt, const char *fmt, ...)
{
    const int saved_errno = errno;  // "%m" must name the caller's error
    std::fputs(error_preface.c_str(), stderr);
    error_preface.clear();
    char buf[ERROR_BUF_SIZE];
    int n = (opt && opt->name) ? std::snprintf(buf, sizeof buf, "Option [%s] error:", opt->name)
                               : std::snprintf(buf, sizeof buf, "Logview:");
    if (n < 0)
        n = 0;
    if (n < ERROR_BUF_SIZE - 1) {
        va_list ap;
        va_start(ap, fmt);
        errno = saved_errno;
        std::vsnprintf(buf + n, sizeof buf - n, fmt, ap);
        va_end(ap);
    }
    std::fprintf(stderr, "\n%s\n", buf);
}

namespace {

// A bad or missing argument ends the run before the device is touched.
[[noreturn]] void fail() { end_program(1); }

// ---- Matching --------------------------------------------------------------------------------

int name_words(std::string_view name)
{
    return 1 + static_cast<int>(std::count(name.begin(), name.end(), ' '));
}

// Number of the name's leading words that the leading input words match, word by word.
int leading_words(std::string_view name, char **args)
{
    int count = 0;
    for (;;) {
        const std::size_t blank = name.find(' ');
        const std::string_view word = name.substr(0, blank);
        if (!args[count] || word != std::string_view(args[count]))
            return count;
        ++count;
        if (blank == std::string_view::npos)
            return count;
        name.remove_prefix(blank + 1);
    }
}

// Number of input words the whole name matches word by word, or 0 when it does not match.
int match_name(std::string_view name, char **args)
{
    const int count = leading_words(name, args);
    return count == name_words(name) ? count : 0;
}

// ---- Processing ------------------------------------------------------------------------------

// First argument word, or the "Option requery parameter" report and exit when it is missing.
// The unsigned kinds report without the full stop, the others with it.
const char *require_word(const OPTION *opt, char **argv, bool full_stop)
{
    if (!argv[0]) {
        // "requery" as scripts have always read it: the text is part of the interface.
        option_error(opt, full_stop ? "Option requery parameter." : "Option requery parameter");
        fail();
    }
    return argv[0];
}

// The number word of an OPT_U32 or OPT_INT row, converted by `convert` (read_u32 or read_int). A
// missing word, or one in which no digit was read, is reported and ends the program.
template <typename T>
T number_argument(const OPTION *opt, char **argv, bool full_stop,
                  bool (*convert)(const char *, int, T *))
{
    const char *word = require_word(opt, argv, full_stop);
    int base = 10;
    const char *digits = number_digits(word, false, &base);
    T number = 0;
    if (!convert(digits, base, &number)) {
        option_error(opt, "Invalid argument (must be number) '%s'", digits);
        fail();
    }
    return number;
}

int process_unsigned(const OPTION *opt, char **argv, int *arg_proc)
{
    U32 *target = static_cast<U32 *>(opt->addr);
    if (opt->type & OPT_NOARG) {
        *target = static_cast<U32>(opt->value);
        return 1;
    }
    *target = number_argument<U32>(opt, argv, false, read_u32);
    *arg_proc = 1;
    return 1;
}

void check_limits(const OPTION *opt, int number)
{
    const bool lower = opt->type & OPT_LOWER;
    const bool upper = opt->type & OPT_UPPER;
    const bool fails = (lower && number < opt->lower_limit) || (upper && number > opt->upper_limit);
    if (!fails)
        return;
    if (lower && upper)
        option_error(opt, "must be >= %d and <= %d", opt->lower_limit, opt->upper_limit);
    else if (upper)
        option_error(opt, "must be <= %d", opt->upper_limit);
    else
        option_error(opt, "must be >= %d", opt->lower_limit);
    fail();
}

int process_int(const OPTION *opt, char **argv, int *arg_proc)
{
    int *target = static_cast<int *>(opt->addr);
    if (opt->type & OPT_NOARG) {
        *target = opt->value;
        return 1;
    }
    const int number = number_argument<int>(opt, argv, true, read_int);
    check_limits(opt, number);
    *target = number;
    *arg_proc = 1;
    return 1;
}

// A word longer than the buffer is refused: a name cut short would name another file.
int process_string(const OPTION *opt, char **argv, int *arg_proc)
{
    const char *word = require_word(opt, argv, true);
    char *target = static_cast<char *>(opt->addr);
    const std::size_t room =
        opt->upper_limit > 1 ? static_cast<std::size_t>(opt->upper_limit) - 1 : 0;
    if (std::strlen(word) > room) {
        option_error(opt, "Name too long (more than %zu characters)", room);
        fail();
    }
    const std::size_t len = std::strlen(word);
    std::memcpy(target, word, len);
    target[len] = '\0';
    *arg_proc = 1;
    return 1;
}

int process_func(const OPTION *opt, char **argv, int *arg_proc)
{
    if (!opt->addr) {
        std::fputs("Internal error\n", stderr);
        fail();
    }
    const auto parser = reinterpret_cast<option_func>(opt->addr);
    return parser(argv, arg_proc) ? 1 : 0;
}

// ---- Usage -----------------------------------------------------------------------------------

void print_blanks(std::size_t count)
{
    for (; count > 0; --count)
        std::putchar(' ');
}

// Each newline of a description starts a continuation line indented to the description column.
void print_description(std::string_view text, std::size_t width)
{
    for (;;) {
        const std::size_t newline = text.find('\n');
        std::fwrite(text.data(), 1, text.substr(0, newline).size(), stdout);
        if (newline == std::string_view::npos)
            return;
        std::putchar('\n');
        text.remove_prefix(newline + 1);
        if (text.empty())
            return;
        print_blanks(width);
    }
}

void print_listing(const OPTION *table)
{
    if (!table->name)
        return;
    std::size_t width = HEADER_NAME.size();
    for (const OPTION *opt = table; opt->name; ++opt)
        width = std::max(width, std::strlen(opt->name) + 1);

    std::printf("\n%s", HEADER_NAME.data());
    print_blanks(width - HEADER_NAME.size());
    std::fwrite(HEADER_DESCRIPTION.data(), 1, HEADER_DESCRIPTION.size(), stdout);
    for (const OPTION *opt = table; opt->name; ++opt) {
        std::printf("\n%s ", opt->name);
        print_blanks(width - std::strlen(opt->name) - 1);
        if (opt->description)
            print_description(opt->description, width);
    }
}

// Row of the table whose parser function is `f` (for messages of a parser function).
const OPTION *row_of(option_func f)
{
    for (const OPTION *opt = general_options; opt->name; ++opt)
        if ((opt->type & OPT_KIND_MASK) == OPT_FUNC && opt->addr == reinterpret_cast<void *>(f))
            return opt;
    return nullptr;
}

// A word that can only have been meant as a device: a path under /dev/ or a tty name.
bool looks_like_device(std::string_view word)
{
    return word.starts_with(DEV_PREFIX) || word.starts_with(TTY_PREFIX);
}

// A device word that names nothing, usually an adapter not plugged in: say so and offer the
// ports that are there, instead of taking the word for a misspelt option.
void report_missing_device(std::string_view word)
{
    const std::string_view prefix = word.starts_with(DEV_PREFIX) ? "" : DEV_PREFIX;
    const std::vector<serial_port> ports = find_serial_ports(SYSFS_ROOT, DEV_ROOT);
    std::fprintf(stderr, "\nDevice [%.*s%.*s] not found", static_cast<int>(prefix.size()),
                 prefix.data(), static_cast<int>(word.size()), word.data());
    if (ports.empty()) {
        std::fputs("; no serial ports present\n", stderr);
        return;
    }
    std::fputs("; serial ports present:\n", stderr);
    print_serial_ports(stderr, ports);
}

// Edits (insertion, deletion, substitution, swap of neighbours) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); i++)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); j++)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); i++)
        for (std::size_t j = 1; j <= b.size(); j++) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The row nearest to what was typed: the fewest edits as `edits` counts them for each row (the
// earlier row on a tie), within two. `edits` gives SIZE_MAX for a row that is no candidate.
template <typename Edits> const OPTION *nearest_option(Edits edits)
{
    constexpr std::size_t MAX_EDITS = 2;
    const OPTION *best = nullptr;
    std::size_t best_edits = MAX_EDITS + 1;
    for (const OPTION *opt = general_options; opt->name; ++opt) {
        const std::size_t e = edits(std::string_view(opt->name));
        if (e < best_edits) {
            best = opt;
            best_edits = e;
        }
    }
    return best;
}

// A text no longer than its edits is no misspelling of anything: every name that short is that
// many edits away from it.
std::size_t misspelling(std::size_t edits, std::string_view typed)
{
    return edits < typed.size() ? edits : SIZE_MAX;
}

}  // namespace

const OPTION *closest_option(std::string_view word)
{
    // A word of a longer name is compared with that name's first word: "devce" for "device id".
    return nearest_option([word](std::string_view name) {
        return misspelling(std::min(edit_distance(word, name),
                                    edit_distance(word, name.substr(0, name.find(' ')))),
                           word);
    });
}

const OPTION *closest_option_line(char **words, int known)
{
    return nearest_option([words, known](std::string_view name) {
        const int n = name_words(name);
        if (n <= known)
            return SIZE_MAX;
        std::string typed;
        for (int i = 0; i < n && words[i]; i++)
            typed += (i ? " " : "") + std::string(words[i]);
        return misspelling(edit_distance(typed, name), typed);
    });
}

int option_leading_words(char **words)
{
    int most = 0;
    for (const OPTION *opt = general_options; opt->name; ++opt)
        most = std::max(most, leading_words(opt->name, words));
    return most;
}

std::string suggestion(const OPTION *opt)
{
    if (!opt)
        return "";
    // One word with a blank inside ("erase sector" quoted) names no option.
    constexpr std::array<const char *, 5> counts{"", "", " (two words)", " (three words)",
                                                 " (four words)"};
    const auto n = static_cast<std::size_t>(name_words(opt->name));
    return std::string("Did you mean \"") + opt->name + "\"" +
           (n < counts.size() ? counts[n] : " (several words)") + "?";
}

// ---- Numbers ---------------------------------------------------------------------------------

const char *number_digits(const char *word, bool hex, int *base)
{
    while (*word == ' ' || *word == '\t')
        ++word;
    if (word[0] == 'x' || word[0] == 'X') {
        *base = 16;
        return word + 1;
    }
    if (word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        *base = 16;
        return word + 2;
    }
    *base = hex ? 16 : 10;
    return word;
}

// A number word is all digits (after its blanks, sign and base prefix): "10k" or "1e3" is no
// number, and a value beyond its setting's width is refused rather than cut or saturated, so
// that "size 10k" never reads 10 and "offset 0x1FFFFFFFF" never reads 0xffffffff.
namespace {

bool whole_word(const char *digits, const char *end) { return end != digits && *end == '\0'; }

}  // namespace

bool read_u32(const char *digits, int base, U32 *out)
{
    const char *sign = digits;
    while (std::isspace(static_cast<unsigned char>(*sign)))
        ++sign;
    if (*sign == '-')
        return false;  // an unsigned setting holds no negative number
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(digits, &end, base);
    if (!whole_word(digits, end) || errno == ERANGE || value > 0xFFFFFFFFULL)
        return false;
    *out = static_cast<U32>(value);
    return true;
}

bool read_int(const char *digits, int base, int *out)
{
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(digits, &end, base);
    if (!whole_word(digits, end) || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    *out = static_cast<int>(value);
    return true;
}

// ---- Matching and processing -----------------------------------------------------------------

const OPTION *find_option(char **args, int *argc)
{
    if (!args || !argc)
        return nullptr;
    const OPTION *best = nullptr;
    int best_count = 0;
    for (const OPTION *opt = general_options; opt->name; ++opt) {
        const int count = match_name(opt->name, args);
        if (count > best_count) {
            best = opt;
            best_count = count;
        }
    }
    *argc = best_count;
    return best;
}

int option_argument_words(const OPTION *opt)
{
    if (opt->type & OPT_NOARG)
        return 0;
    // Parser functions that take a word; the others (--help, --version, ports) take none.
    if ((opt->type & OPT_KIND_MASK) == OPT_FUNC)
        return opt->addr == reinterpret_cast<void *>(&parseSectors) ||
                       opt->addr == reinterpret_cast<void *>(&parseFormat)
                   ? 1
                   : 0;
    return 1;
}

int process_option(const OPTION *opt, char **argv, int *arg_proc)
{
    if (!opt || !argv || !arg_proc)
        return 0;
    *arg_proc = 0;
    const U32 kind = opt->type & OPT_KIND_MASK;
    switch (kind) {
    case OPT_U32:
        return process_unsigned(opt, argv, arg_proc);
    case OPT_INT:
        return process_int(opt, argv, arg_proc);
    case OPT_STRING:
        return process_string(opt, argv, arg_proc);
    case OPT_FUNC:
        return process_func(opt, argv, arg_proc);
    default:
        return 1;  // unknown kinds are accepted and store nothing
    }
}

// ---- Command line ----------------------------------------------------------------------------

int setdevname(const char *cp, int quiet)
{
    if (!cp || !*cp)
        return 0;
    char path[NAME_BUF_SIZE];
    const std::string_view word(cp);
    const std::string_view prefix = word.starts_with(DEV_PREFIX) ? "" : DEV_PREFIX;
    if (prefix.size() + word.size() > NAME_BUF_SIZE - 1) {
        option_error(nullptr, "Device name too long (more than %d characters)", NAME_BUF_SIZE - 1);
        return -1;
    }
    std::snprintf(path, sizeof path, "%s%s", prefix.data(), cp);

    struct stat st;
    if (stat(path, &st) == 0) {
        std::memcpy(devnam, path, std::strlen(path) + 1);
        return 1;
    }
    if (errno == ENOENT || quiet)
        return 0;
    option_error(nullptr, "stat() call error  %s: %m", path);
    return -1;
}

int parse_args(int argc, char **argv)
{
    if (!argv)
        return 0;
    std::string device_word;  // the device a word of this command line named, as a path
    int i = 0;
    while (i < argc) {
        int olen = 0;
        const OPTION *opt = find_option(argv + i, &olen);
        if (opt) {
            i += olen;
            int arg_proc = 0;
            if (!process_option(opt, argv + i, &arg_proc))
                return 0;
            i += arg_proc;
            continue;
        }
        const int dev = setdevname(argv[i], 0);
        if (dev == 0 && looks_like_device(argv[i])) {
            report_missing_device(argv[i]);
            return 0;
        }
        if (dev == 0) {
            const std::string hint = suggestion(closest_option(argv[i]));
            option_error(nullptr, "Unknown option '%s'", argv[i]);
            if (!hint.empty())
                std::fprintf(stderr, "%s\n", hint.c_str());
            usage();
            // The listing pushes those lines off a small screen: the run's last line says it again.
            option_error(nullptr, "Unknown option '%s'%s%s", argv[i], hint.empty() ? "" : ". ",
                         hint.c_str());
            return 0;
        }
        if (dev < 0)
            return 0;
        // Two boards on the bench and a slip of the fingers: the run would flash the wrong one.
        if (!device_word.empty() && device_word != devnam) {
            std::fprintf(stderr, "\nTwo devices named: [%s] and [%s]\n", device_word.c_str(),
                         devnam);
            return 0;
        }
        device_word = devnam;
        ++i;
    }
    return 1;
}

// The table's row that sets `setting`.
static const OPTION *row_of(const void *setting)
{
    const OPTION *row = general_options;
    while (row->name && row->addr != setting)
        ++row;
    return row;
}

int check_option_combinations()
{
    if (verify_opt && fastwrite_cmd != 1) {
        option_error(row_of(&verify_opt), "only the block write \"write\" can be verified");
        return 0;
    }
    if (resumefilenam[0] && fastwrite_cmd != 1) {
        option_error(row_of(resumefilenam), "only the block write \"write\" can be resumed");
        return 0;
    }
    // What the interrupted run wrote below its first incomplete sector is kept, not written again.
    if (resumefilenam[0] && (erase_cmd || erase_sectors_cmd || erase_needed_opt)) {
        option_error(row_of(resumefilenam),
                     "a resumed write keeps what the interrupted run wrote: no erase with it");
        return 0;
    }
    if (erase_needed_opt && fastwrite_cmd != 1) {
        option_error(row_of(&erase_needed_opt),
                     "only the block write \"write\" has an image to erase for");
        return 0;
    }
    // "read speed 115200" once meant the read and then the line speed: that command line would
    // now read nothing.
    if (read_speed != 0 && !read_cmd) {
        option_error(row_of(&read_speed),
                     "sets the speed of the flash read \"read\", which is not selected "
                     "(\"speed\" sets the line speed)");
        return 0;
    }
    return 1;
}

void usage()
{
    std::printf(usage_string, VERSION_TEXT, VERSION_NUMBER, VERSION_SUFFIX, NOTICE, PROGRAM_NAME);
    print_listing(general_options);
    std::fflush(stdout);
}

void version_text(char *buf, int size)
{
    std::snprintf(buf, static_cast<std::size_t>(size), "%s.%d%s", VERSION_TEXT, VERSION_NUMBER,
                  VERSION_SUFFIX);
}

int showversion(char **, int *)
{
    std::fprintf(stderr, "Version ZELK %s.%d%s\n", VERSION_TEXT, VERSION_NUMBER, VERSION_SUFFIX);
    end_program(0);
}

int showhelp(char **, int *)
{
    usage();
    end_program(0);
}

int showports(char **, int *)
{
    const std::vector<serial_port> ports = find_serial_ports(SYSFS_ROOT, DEV_ROOT);
    if (ports.empty())
        std::fputs("No serial ports found\n", stderr);
    print_serial_ports(stdout, ports);
    std::fflush(stdout);
    end_program(0);
}

// The list is one word of sector numbers separated by blanks or commas. A number above 31 names
// no sector: it is a slip of the user, so the run is refused before the device is opened, naming
// every such number as written. A new list replaces an earlier one.
int parseSectors(char **argv, int *argc)
{
    if (!argv || !argc)
        return 0;
    const OPTION *row = row_of(parseSectors);
    if (!argv[0]) {
        option_error(row, "Option requery parameter.");
        fail();
    }
    const char *word = argv[0];
    if (word[std::strspn(word, "0123456789 \t,")] != '\0') {
        option_error(row, "Invalid sector list '%s'", word);
        fail();
    }
    erase_sectors_cmd = 0;
    std::string missing;
    for (const char *p = word; *p;) {
        if (*p < '0' || *p > '9') {
            ++p;
            continue;
        }
        const char *number = p;
        unsigned sector = 0;
        bool beyond = false;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (!beyond)
                sector = sector * 10 + static_cast<unsigned>(*p - '0');
            if (sector >= static_cast<unsigned>(FLASH_SECTORS))
                beyond = true;
        }
        if (!beyond)
            erase_sectors_cmd |= U32{1} << sector;
        else
            missing.append(missing.empty() ? "" : ", ").append(number, p);
    }
    if (!missing.empty()) {
        std::fprintf(stderr, "\nSector numbers above %d do not exist: %s\n", FLASH_SECTORS - 1,
                     missing.c_str());
        fail();
    }
    *argc = 1;
    return 1;
}

namespace {

constexpr std::array<const char *, 4> FORMAT_WORDS{"bin", "hex", "srec", "elf"};

}  // namespace

const char *format_word(image_format f) { return FORMAT_WORDS[f]; }

int format_from_word(const char *word, image_format *f)
{
    for (std::size_t i = 0; i < FORMAT_WORDS.size(); i++)
        if (std::strcmp(word, FORMAT_WORDS[i]) == 0) {
            *f = static_cast<image_format>(i);
            return 1;
        }
    return 0;
}

int parseFormat(char **argv, int *argc)
{
    if (!argv || !argc)
        return 0;
    const OPTION *row = row_of(parseFormat);
    if (!argv[0]) {
        option_error(row, "Option requery parameter.");
        fail();
    }
    image_format f;
    if (!format_from_word(argv[0], &f)) {
        option_error(row, "Unknown format '%s' (bin, hex, srec or elf)", argv[0]);
        fail();
    }
    image_format_opt = f;
    *argc = 1;
    return 1;
}
