// DRAM tests: starts one of the monitor's tests, shows everything it reports and times its
// "Wait" phases, until "OK" or "Ok".
#include <algorithm>
#include <array>
#include <cstdio>

#include "clock/clock.h"
#include "monitor/inspect.h"
#include "monitor/link/link.h"
#include "monitor/link/progress.h"
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
constexpr int DRAM_WAIT_SEC = 30;                // one read at the most

const char *command_letters(int bytes)
{
    for (const dram_command &c : dram_commands)
        if (c.bytes == bytes)
            return c.letters;
    return nullptr;
}

void print_phase(long long start_us, long long end_us)
{
    const phase_time t = phase_interval(start_us, end_us);
    std::printf("(%ld sec %ld us)", t.sec, t.us);
    std::fflush(stdout);
}

constexpr long long US_PER_SEC = 1000000;

// The test went dram_timeout seconds without a sign of life: no byte at all, or bytes but no
// phase and no end.
int report_stalled()
{
    std::fprintf(stderr, "\nDRAM test: no byte from the monitor for %d s\n", dram_timeout);
    return 0;
}

// Shows the monitor's report byte by byte until it ends the test. Each phase is timed from the
// arrival of its "Wait" to the arrival of the next byte, as the serial layer stamped them (the
// command's last pause is spent reading, so a phase that ends inside it is timed as it ran).
// 1 at the end of the test; 0 when dram_timeout seconds pass without a byte, or without a phase
// or the end (reported); a termination request or a hung-up line end the run.
int follow_report()
{
    long long phase_start = 0;
    long long last_byte = monotonic_us();  // for the silence limit
    long long last_sign = last_byte;       // the start, a "Wait" or the end, for the chatter limit
    const long long limit = static_cast<long long>(dram_timeout) * US_PER_SEC;
    U32 code = 0;
    for (;;) {
        end_run_if_interrupted(TERM_DRAM_TEST);
        int wait = DRAM_WAIT_SEC;
        if (limit > 0) {
            const long long left = last_byte + limit - monotonic_us();
            if (left <= 0)
                return report_stalled();
            wait =
                static_cast<int>(std::min<long long>(wait, (left + US_PER_SEC - 1) / US_PER_SEC));
        }
        unsigned char byte = 0;
        if (!read_tty(&byte, 1, wait))
            continue;
        const long long at = tty_last_arrival_us();
        last_byte = at;
        if (code == PHASE_MARKER)
            print_phase(phase_start, at);
        std::printf("%c", byte);
        std::fflush(stdout);
        code = shift_word(code, byte);
        const U16 pair = static_cast<U16>(code);
        if (pair == REPLY_OK || pair == REPLY_OK_LOWER)
            return 1;
        if (code == PHASE_MARKER)
            phase_start = last_sign = at;
        if (limit > 0 && at - last_sign >= limit)
            return report_stalled();
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
    if (!send_command(letters, true, TERM_DRAM_TEST, true) || !follow_report())
        return 0;
    if (!finish_owed_pause())
        end_run_if_interrupted(TERM_DRAM_TEST);
    std::printf("\nOK\n");
    return 1;
}
