// The usage listing, the version, and the table's options that print and end the run: "--help",
// "-h", "--version", "ports".
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "options.h"
#include "serial/ports.h"

namespace {

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

}  // namespace

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
