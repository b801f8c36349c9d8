// zelk-board: a simulated S3C4510B board on a pseudo-terminal, for trying zelk without hardware.
// Prints the serial device to give zelk, then serves until SIGINT or SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "pty_line.h"

namespace {

const char USAGE[] =
    "Usage: zelk-board [options]\n"
    "Simulates the boot monitor of an S3C4510B board on a pseudo-terminal.\n"
    "Prints the terminal's path (give it to zelk as its device), then serves until\n"
    "interrupted.\n"
    "\n"
    "  --flash FILE     keep the 2 MiB flash in FILE (loaded if present, updated on change)\n"
    "  --speed BAUD     the board's line speed at start (default 38400)\n"
    "  --wire-speed     take 10 bit times per byte, as a real line does\n"
    "  --byte-by-byte   send every byte alone, the next once zelk has read it, as a\n"
    "                   slow line or some USB adapters deliver them\n"
    "  --timing FILE    time the line's traffic; written to FILE when the board stops\n"
    "  --dram-ms MS     length of each timed phase of the DRAM tests (default 300)\n"
    "  --marker TEXT    what the idle monitor offers in place of its ready marker rr:\n"
    "                   \"\" for a silent board, other bytes for one that garbles it\n"
    "  --garble-block OFFSET[,POS]\n"
    "                   store the byte at POS (0-511, default 511, the last: the check\n"
    "                   value shows it) of the next block written at OFFSET inverted, once\n"
    "  --garble-block-always OFFSET[,POS]\n"
    "                   the same for every block written at OFFSET\n"
    "  --noise P        flip one random bit of a byte received with probability P (0-1)\n"
    "  --noise-seed N   seed of the noise (default 1): the same seed, the same bytes hit\n"
    "  --take-as CMD,AS[,N]\n"
    "                   take the command CMD (its N-th, counted from 0; else the first)\n"
    "                   as the command AS, as a garbled letter makes it (SE,CE: a chip erase)\n"
    "  --take-number CMD,NUMBER,AS[,N]\n"
    "                   take NUMBER of the command CMD (its N-th; else the first with it) as\n"
    "                   AS and echo AS, as a garbled digit makes it (SE,1,3: sector 3 erased)\n"
    "  --hang-up-after N  drop the line once N bytes came from zelk\n"
    "  --silent-after K stop answering once K commands were taken, until the line is\n"
    "                   opened again\n"
    "  --verbose        log each command on standard error\n"
    "  --detach         go to the background once the path is printed (its process id\n"
    "                   goes to standard error), so that dev=$(zelk-board --detach) works\n"
    "  --version        show the version\n"
    "  --help, -h       show this text\n";

int usage_error(const char *what, const char *arg)
{
    std::fprintf(stderr, "zelk-board: %s%s\n%s", what, arg ? arg : "", USAGE);
    return 2;
}

bool to_int(const char *text, int &v)
{
    char *end = nullptr;
    long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 0 || n > 100000000)
        return false;
    v = static_cast<int>(n);
    return true;
}

bool to_u32(const char *text, U32 &v)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || n > 0xFFFFFFFFULL || text[0] == '-')
        return false;
    v = static_cast<U32>(n);
    return true;
}

// "OFFSET[,POS]" of --garble-block: a block-write fault storing byte POS inverted.
bool to_garble(const char *text, bool always, zb::Fault &f)
{
    std::string t = text;
    U32 pos = zb::MON_BLOCK_BYTES - 1;
    const std::size_t comma = t.find(',');
    if (comma != std::string::npos) {
        if (!to_u32(t.c_str() + comma + 1, pos) || pos >= static_cast<U32>(zb::MON_BLOCK_BYTES))
            return false;
        t.resize(comma);
    }
    U32 offset = 0;
    if (!to_u32(t.c_str(), offset))
        return false;
    f.command = zb::MON_BLOCK_WRITE;
    f.number = offset;
    f.data_fault = zb::DataFault::WrongByte;
    f.data_fault_at = pos;
    f.times = always ? -1 : 1;
    return true;
}

// The comma-separated fields of `text`.
std::vector<std::string> fields(const char *text)
{
    std::vector<std::string> v(1);
    for (const char *p = text; *p; p++) {
        if (*p == ',')
            v.emplace_back();
        else
            v.back() += *p;
    }
    return v;
}

bool is_letters(const std::string &s) { return s.size() == 2; }

// "CMD,AS[,N]" of --take-as, "CMD,NUMBER,AS[,N]" of --take-number: a garbled command or number,
// once.
bool to_taken(const char *text, bool number, zb::Fault &f)
{
    const std::vector<std::string> v = fields(text);
    const std::size_t need = number ? 3 : 2;
    U32 n = 0, taken = 0, occurrence = 0;
    if (v.size() < need || v.size() > need + 1 || !is_letters(v[0]) ||
        (v.size() > need && !to_u32(v[need].c_str(), occurrence)))
        return false;
    f.command = v[0];
    f.times = 1;
    if (v.size() > need)
        f.occurrence = static_cast<int>(occurrence);
    if (!number) {
        f.taken_as = v[1];
        return is_letters(v[1]);
    }
    if (!to_u32(v[1].c_str(), n) || !to_u32(v[2].c_str(), taken))
        return false;
    f.number = n;
    f.number_taken_as = taken;
    return true;
}

bool to_probability(const char *text, double &p)
{
    char *end = nullptr;
    p = std::strtod(text, &end);
    return end != text && *end == '\0' && p >= 0 && p <= 1;
}

// Write end of the pipe on which a detached board tells its parent that the path is out.
int detach_ready_fd = -1;

// Forks. The parent waits until the child has printed the path and let go of standard output
// (so a caller reading that to its end does not wait for the board), then exits with `status`.
// Returns true in the child.
bool detach(int &status)
{
    int ready[2];
    if (pipe(ready) != 0) {
        std::perror("zelk-board: pipe");
        status = 1;
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("zelk-board: fork");
        status = 1;
        return false;
    }
    if (pid == 0) {
        close(ready[0]);
        fcntl(ready[1], F_SETFD, FD_CLOEXEC);
        detach_ready_fd = ready[1];
        setsid();
        return true;
    }
    close(ready[1]);
    char ok = 0;
    status = read(ready[0], &ok, 1) == 1 ? 0 : 1;
    return false;
}

// In a detached board: standard output is done with once the path is out.
void release_stdout()
{
    if (detach_ready_fd < 0)
        return;
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    std::fprintf(stderr, "zelk-board: pid %d\n", static_cast<int>(getpid()));
    char ok = 1;
    [[maybe_unused]] ssize_t w = write(detach_ready_fd, &ok, 1);
    close(detach_ready_fd);
    detach_ready_fd = -1;
}

}  // namespace

int main(int argc, char **argv)
{
    zb::Config cfg;
    bool want_detach = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zelk-board %s\n", ZELK_VERSION);
            return 0;
        } else if (a == "--flash" && has_value) {
            cfg.flash_file = argv[++i];
        } else if (a == "--speed" && has_value) {
            if (!to_int(argv[++i], cfg.baud) || zb::code_of_baud(cfg.baud) == 0)
                return usage_error("unsupported speed ", argv[i]);
        } else if (a == "--dram-ms" && has_value) {
            if (!to_int(argv[++i], cfg.dram_phase_ms))
                return usage_error("bad duration ", argv[i]);
        } else if (a == "--marker" && has_value) {
            cfg.ready.marker = argv[++i];
        } else if (a == "--timing" && has_value) {
            cfg.timing_file = argv[++i];
        } else if ((a == "--garble-block" || a == "--garble-block-always") && has_value) {
            zb::Fault f;
            if (!to_garble(argv[++i], a == "--garble-block-always", f))
                return usage_error("bad block offset or position ", argv[i]);
            cfg.faults.push_back(f);
        } else if ((a == "--take-as" || a == "--take-number") && has_value) {
            zb::Fault f;
            if (!to_taken(argv[++i], a == "--take-number", f))
                return usage_error("bad command, number or count ", argv[i]);
            cfg.faults.push_back(f);
        } else if (a == "--noise" && has_value) {
            if (!to_probability(argv[++i], cfg.noise_per_byte))
                return usage_error("bad probability ", argv[i]);
        } else if (a == "--noise-seed" && has_value) {
            U32 seed = 0;
            if (!to_u32(argv[++i], seed))
                return usage_error("bad seed ", argv[i]);
            cfg.noise_seed = seed;
        } else if (a == "--hang-up-after" && has_value) {
            int n = 0;
            if (!to_int(argv[++i], n))
                return usage_error("bad byte count ", argv[i]);
            cfg.hang_up_after_bytes = n;
        } else if (a == "--silent-after" && has_value) {
            if (!to_int(argv[++i], cfg.silent_after_commands))
                return usage_error("bad command count ", argv[i]);
        } else if (a == "--wire-speed") {
            cfg.wire_speed = true;
        } else if (a == "--byte-by-byte") {
            cfg.byte_by_byte = true;
        } else if (a == "--detach") {
            want_detach = true;
        } else if (a == "--verbose") {
            cfg.log = [](const std::string &line) {
                std::fprintf(stderr, "zelk-board: %s\n", line.c_str());
            };
        } else {
            return usage_error("unknown option or missing value: ", argv[i]);
        }
    }

    int status = 0;
    if (want_detach && !detach(status))
        return status;

    // The board thread inherits this mask, so the signals reach sigwait below and nothing else.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    zb::Board board(cfg);
    std::string err;
    if (!board.start(&err)) {
        std::fprintf(stderr, "zelk-board: %s\n", err.c_str());
        return 1;
    }
    std::printf("%s\n", board.path().c_str());
    std::fflush(stdout);
    release_stdout();

    int sig = 0;
    sigwait(&stop_signals, &sig);
    board.stop();
    return 0;
}
