// The command line: option words, the device word, and the settings that only work together.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "serial/ports.h"

namespace {

constexpr std::string_view DEV_PREFIX = "/dev/";
constexpr std::string_view TTY_PREFIX = "tty";

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

}  // namespace

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

int check_option_combinations()
{
    if (verify_opt && fastwrite_cmd != 1) {
        option_error(option_row(&verify_opt), "only the block write \"write\" can be verified");
        return 0;
    }
    if (resumefilenam[0] && fastwrite_cmd != 1) {
        option_error(option_row(resumefilenam), "only the block write \"write\" can be resumed");
        return 0;
    }
    // What the interrupted run wrote below its first incomplete sector is kept, not written again.
    if (resumefilenam[0] && (erase_cmd || erase_sectors_cmd || erase_needed_opt)) {
        option_error(option_row(resumefilenam),
                     "a resumed write keeps what the interrupted run wrote: no erase with it");
        return 0;
    }
    if (erase_needed_opt && fastwrite_cmd != 1) {
        option_error(option_row(&erase_needed_opt),
                     "only the block write \"write\" has an image to erase for");
        return 0;
    }
    // "read speed 115200" once meant the read and then the line speed: that command line would
    // now read nothing.
    if (read_speed != 0 && !read_cmd) {
        option_error(option_row(&read_speed),
                     "sets the speed of the flash read \"read\", which is not selected "
                     "(\"speed\" sets the line speed)");
        return 0;
    }
    return 1;
}
