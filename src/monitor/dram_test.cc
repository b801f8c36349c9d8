// DRAM tests: starts one of the monitor's tests, shows everything it reports and times its
// "Wait" phases, until "OK" or "Ok".

#include <array>
#include <cstdio>

#include "monitor/inspect.h"
#include "monitor/link.h"
#include "monitor/progress.h"
#include "serial/serial.h"

namespace {

struct dram_command {
    int bytes;  // access width of the test in bytes; 0 is the general test
    const char *letters;
};

constexpr std::array<dram_command, 4> dram_commands{{
    {0, CMD_DRAM_TEST},
    {1, CMD_DRAM_BYTE},
    {2, CMD_DRAM_HALFWORD},
    {4, CMD_DRAM_WORD},
}};

// A 32-bit window over the last four bytes received, the earliest in the high byte.
constexpr U32 shift_word(U32 code, U8 byte) { return (code << 8) | byte; }
constexpr U32 word_code(const char *four)
{
    U32 code = 0;
    for (int i = 0; i < 4; i++)
        code = shift_word(code, static_cast<U8>(four[i]));
    return code;
}

constexpr U32 PHASE_MARKER = word_code("Wait");  // a timed phase begins after its last byte
constexpr U16 REPLY_OK_LOWER = pair_code("Ok");  // ends the test as "OK" does
constexpr int DRAM_WAIT_SEC = 30;                // one read; the test itself has no time limit

const char *command_letters(int bytes)
{
    for (const dram_command &c : dram_commands)
        if (c.bytes == bytes)
            return c.letters;
    return nullptr;
}

void print_phase(const timeval &tstart)
{
    timeval tend{};
    tend = monotonic_now();
    const phase_time t = phase_interval(tstart, tend);
    std::printf("(%ld sec %ld us)", t.sec, t.us);
    std::fflush(stdout);
}

// Shows the monitor's report byte by byte until it ends the test. The test has no time limit:
// only a termination request, or a line that has hung up, ends the wait otherwise.
void follow_report()
{
    timeval tstart{};
    U32 code = 0;
    for (;;) {
        end_run_if_interrupted(TERM_DRAM_TEST);
        unsigned char byte = 0;
        if (!read_tty(&byte, 1, DRAM_WAIT_SEC))
            continue;
        if (code == PHASE_MARKER)
            print_phase(tstart);
        std::printf("%c", byte);
        std::fflush(stdout);
        code = shift_word(code, byte);
        const U16 pair = static_cast<U16>(code);
        if (pair == REPLY_OK || pair == REPLY_OK_LOWER)
            return;
        if (code == PHASE_MARKER)
            tstart = monotonic_now();
    }
}

}  // namespace

int proc_DramTest(int bytes)
{
    std::printf("Dram Test ...\n");
    if (!read_id())
        return 0;
    const char *letters = command_letters(bytes);
    if (letters == nullptr) {
        std::fprintf(stderr, "\nInternal Error\n");
        return 0;
    }
    if (!send_command(letters, true, TERM_DRAM_TEST))
        return 0;
    follow_report();
    std::printf("\nOK\n");
    return 1;
}
