// Applying one option: matching its name words, reading its argument, storing the setting, and
// the table's parser functions ("erase sector", "format").
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "options.h"

int name_words(std::string_view name)
{
    return 1 + static_cast<int>(std::count(name.begin(), name.end(), ' '));
}

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

// ---- Messages --------------------------------------------------------------------------------

namespace {

constexpr int ERROR_BUF_SIZE = 512;
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

}  // namespace

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

// The list is one word of sector numbers separated by blanks or commas. A number above 31 names
// no sector: it is a slip of the user, so the run is refused before the device is opened, naming
// every such number as written. A new list replaces an earlier one.
int parseSectors(char **argv, int *argc)
{
    if (!argv || !argc)
        return 0;
    const OPTION *row = option_row(reinterpret_cast<void *>(&parseSectors));
    require_word(row, argv, true);
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
    const OPTION *row = option_row(reinterpret_cast<void *>(&parseFormat));
    require_word(row, argv, true);
    image_format f;
    if (!format_from_word(argv[0], &f)) {
        option_error(row, "Unknown format '%s' (bin, hex, srec or elf)", argv[0]);
        fail();
    }
    image_format_opt = f;
    *argc = 1;
    return 1;
}
