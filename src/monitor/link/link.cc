// The monitor link: command letters, ready handshake, number field exchange, and the monitor's
// damage and resynchronisation. The way back after a termination request: way_back.cc.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "monitor/link/link.h"

#include "monitor/link/block_crc.h"
#include "monitor/link/progress.h"
#include "report/report.h"
#include "serial/serial.h"

namespace {

// Reads away what the line holds now, at most max_bytes of it: a line that never stops sending
// is not waited out. Returns the pair its last two bytes made.
U16 read_away(int max_bytes)
{
    std::array<unsigned char, 256> junk;
    U16 code = 0;
    for (int left = max_bytes; left > 0;) {
        const int n = read_pending_tty(junk.data(), std::min(left, static_cast<int>(junk.size())));
        if (n <= 0)
            break;
        for (int i = 0; i < n; i++)
            code = shift_pair(code, junk[i]);
        left -= n;
    }
    return code;
}

// Before a command: a few markers the idle monitor repeated, or the tail of a cut reply.
constexpr int STALE_BYTES = 256;
// A resynchronisation: at most what a tty's input queue holds.
constexpr int DRAIN_BYTES = 4096;

}  // namespace

int send_command(const char *letters, bool paced, const char *term_msg, bool listen)
{
    end_run_if_interrupted(term_msg);
    // What came before the command (the idle monitor repeats its marker) is no part of its
    // reply: an operation that shows the reply must not show a marker offered meanwhile. A
    // line that never stops sending is not waited out here.
    read_away(STALE_BYTES);
    frame_begin(pair_code(letters), tty_bytes_sent);
    if (write_tty(reinterpret_cast<const unsigned char *>(letters), 2, 0, paced ? pause_ms : 0,
                  listen))
        return 1;
    end_run_if_interrupted(term_msg);  // a pause cut short by a termination request
    return 0;
}

wait_result wait_pairs(std::initializer_list<U16> pairs, int reads, int sec, bool timeout_ends,
                       bool show, const char *term_msg, std::span<const U16> others, U16 *other)
{
    const unsigned all = (1u << pairs.size()) - 1;
    unsigned seen = 0;
    U16 code = 0;
    for (int n = 0; n < reads; n++) {
        end_run_if_interrupted(term_msg);
        unsigned char byte = 0;
        // The bytes of a reply come together: after the first, the next is usually queued
        // already, and one read takes it without a wait.
        const int queued = n > 0 ? read_pending_tty(&byte, 1) : 0;
        if (queued < 0 || (queued == 0 && !read_tty(&byte, 1, sec))) {
            end_run_if_interrupted(term_msg);
            if (timeout_ends)
                return WAIT_TIMEOUT;
            continue;
        }
        if (show)
            std::printf("%c", byte);
        code = shift_pair(code, byte);
        if (std::find(others.begin(), others.end(), code) != others.end()) {
            if (other)
                *other = code;
            return WAIT_OTHER;
        }
        unsigned bit = 1;
        for (U16 p : pairs) {
            if (code == p) {
                seen |= bit;
                code = 0;
                break;
            }
            bit <<= 1;
        }
        if (seen == all)
            return WAIT_SEEN;
    }
    return WAIT_BUDGET;
}

int parse_hex8(const char *digits, U32 &val)
{
    U32 v = 0;
    for (int i = 0; i < NUMBER_DIGITS; i++) {
        int d = hex_digit(digits[i]);
        if (d < 0)
            return 0;
        v = (v << 4) | static_cast<U32>(d);
    }
    val = v;
    return 1;
}

namespace {

// The first link test of a run given "wait N" waits up to N seconds for the marker, one-second
// waits at a time, whatever comes meanwhile (a board being powered sends noise). Later tests,
// and a run without the option, wait as usual.
bool ready_waited = false;

wait_result wait_ready()
{
    if (ready_wait <= 0 || ready_waited)
        return wait_pairs({READY_MARKER}, READY_READS, READY_WAIT_SEC, true, false, TERM_LINK_TEST);
    ready_waited = true;
    const long long deadline = monotonic_us() + static_cast<long long>(ready_wait) * 1000000;
    wait_result r = WAIT_TIMEOUT;
    while (r != WAIT_SEEN && monotonic_us() < deadline)
        r = wait_pairs({READY_MARKER}, READY_READS, 1, true, false, TERM_LINK_TEST);
    return r;
}

}  // namespace

int read_id()
{
    std::printf("Test link ...");
    std::fflush(stdout);
    const unsigned long long received = tty_bytes_received;
    if (wait_ready() == WAIT_SEEN) {
        std::printf("Ok\n");
        return 1;
    }
    std::printf("Fail\n");
    std::fflush(stdout);
    explain_link_failure(static_cast<long>(tty_bytes_received - received));
    return 0;
}

int write_len(unsigned short prompt, int len, int ignorerepl)
{
    return exchange_number(prompt, len, ignorerepl, true);
}

namespace {

int damaged = 0;

// What the monitor took in place of the command prompting with `prompt`, seen as `other`.
// The chip erase runs to its end; another command's number is completed as no number.
void took_another_command(U16 prompt, U16 other)
{
    if (other == pair_code(CMD_CHIP_ERASE)) {
        note_monitor_damage("The monitor answered a chip erase: the whole flash is erased");
        wait_erase_done();
        return;
    }
    char what[96];
    std::snprintf(what, sizeof what,
                  "The monitor took the command \"%c%c\" for \"%c%c\": stopped before its number",
                  other >> 8, other & 0xFF, prompt >> 8, prompt & 0xFF);
    note_monitor_damage(what);
    std::array<U8, NUMBER_DIGITS> none;
    none.fill(0xFF);  // no hex digit: the monitor gives the frame up
    U8 echo[NUMBER_DIGITS];
    if (write_tty(none.data(), NUMBER_DIGITS, 0, 0))
        read_tty(echo, NUMBER_DIGITS, ECHO_WAIT_SEC);
}

}  // namespace

void note_monitor_damage(const char *what)
{
    progress_clear();
    std::fflush(stdout);
    std::fprintf(stderr, "\n%s\n", what);
    report_cause(what);
    damaged = 1;
}

int monitor_damaged() { return damaged; }

void wait_erase_done()
{
    wait_pairs({REPLY_OK}, ERASE_REPLY_READS, ERASE_WAIT_SEC, false, false, TERM_FLASH_ERASE);
}

int exchange_number(unsigned short prompt, int len, int ignorerepl, bool report, number_echo *echo)
{
    number_echo got;
    if (!echo)
        echo = &got;
    *echo = number_echo{};
    // What the monitor may have taken instead: a chip erase, another command that prompts.
    std::array<U16, PROMPTING.size() + 1> others{pair_code(CMD_CHIP_ERASE)};
    std::size_t n_others = 1;
    for (const char *letters : PROMPTING)
        if (pair_code(letters) != prompt)
            others[n_others++] = pair_code(letters);
    U16 other = 0;
    switch (wait_pairs({prompt}, PROMPT_READS, PROMPT_WAIT_SEC, true, false, TERM_WRITE_LENGTH,
                       std::span<const U16>(others.data(), n_others), &other)) {
    case WAIT_SEEN:
        break;
    case WAIT_OTHER:
        took_another_command(prompt, other);
        return 0;
    default:
        if (report) {
            std::printf("Fail\n");
            std::fprintf(stderr, "Data length prompt timeout\n");
        }
        return 0;
    }
    end_run_if_interrupted(TERM_WRITE_LENGTH);
    char wbuf[NUMBER_DIGITS + 1];
    std::snprintf(wbuf, sizeof wbuf, "%08X", static_cast<U32>(len));
    if (!write_tty(reinterpret_cast<const unsigned char *>(wbuf), NUMBER_DIGITS, 0, 0)) {
        end_run_if_interrupted(TERM_WRITE_LENGTH);
        if (report)
            std::fprintf(stderr, "Data length write error\n");
        return 0;
    }
    echo->sent = true;
    frame_number_sent(prompt, prompt == pair_code(CMD_BLOCK_WRITE)  ? FLASH_BLOCK_BYTES
                              : prompt == pair_code(CMD_BYTE_WRITE) ? len
                                                                    : 0);
    // A read's number taken, the monitor sends its echo and the data whatever happens here: a
    // request that comes while the echo is due must take them too.
    const bool reading = prompt == pair_code(CMD_READ);
    if (reading)
        monitor_sending(NUMBER_DIGITS + static_cast<long>(len));
    unsigned char rbuf[NUMBER_DIGITS + 1] = {};
    const bool echoed = read_tty(rbuf, NUMBER_DIGITS, ECHO_WAIT_SEC);
    end_run_if_interrupted(TERM_READ_LENGTH);
    if (reading)
        monitor_sending(0);  // the caller knows what follows an echo
    if (!echoed) {
        if (ignorerepl == 1)
            return 1;
        if (report)
            std::fprintf(stderr, "Data length read timeout\n");
        return 0;
    }
    echo->came = true;
    std::memcpy(echo->text, rbuf, NUMBER_DIGITS);
    echo->is_number = parse_hex8(echo->text, echo->value) == 1;
    for (int pos = 0; pos < NUMBER_DIGITS; pos++) {
        if (rbuf[pos] >= 'a' && rbuf[pos] <= 'f')
            rbuf[pos] = static_cast<unsigned char>(rbuf[pos] - 'a' + 'A');
        if (rbuf[pos] != static_cast<unsigned char>(wbuf[pos])) {
            if (ignorerepl == 1)
                return 1;
            rbuf[NUMBER_DIGITS] = 0;
            if (!report)
                return 0;
            std::fprintf(stderr, "Read data length [%8s] not equal writed [%8s]\n",
                         reinterpret_cast<char *>(rbuf), wbuf);
            return 0;
        }
    }
    return 1;
}

namespace {

bool monitor_ready(const char *term_msg)
{
    return wait_pairs({READY_MARKER}, READY_READS, 1, true, false, term_msg) == WAIT_SEEN;
}

}  // namespace

int resync_monitor(const char *term_msg)
{
    // What the line holds goes; when it ends in the marker, the monitor is ready already.
    if (read_away(DRAIN_BYTES) == READY_MARKER || monitor_ready(term_msg))
        return 1;
    if (stopped())
        return 0;
    std::array<U8, FRAME_FILL_BYTES> fill;
    fill.fill(ERASED_BYTE);
    return write_tty(fill.data(), FRAME_FILL_BYTES, 0, 0) && monitor_ready(term_msg);
}

void report_tty_write_error(int pos, U8 byte)
{
    std::fprintf(stderr, "\ntty write error, position [%d][0x%x], byte [0x%02x]\n", pos,
                 static_cast<unsigned>(pos), byte);
}
