// The monitor link: ready handshake, number field exchange, and the pair-code scanner.
#include <cstdio>

#include "monitor/link.h"
#include "monitor/progress.h"
#include "serial/serial.h"

void end_run_if_interrupted(const char *term_msg)
{
    take_requests();  // one that came since the last wait
    if (stopped()) {
        progress_clear();
        std::fputs(term_msg, stderr);
        end_program(1);
    }
    if (tty_hung_up()) {
        progress_clear();
        std::fputs("\nSerial line hung up\n", stderr);
        end_program(1);
    }
}

int send_command(const char *letters, bool paced, const char *term_msg)
{
    end_run_if_interrupted(term_msg);
    if (write_tty(reinterpret_cast<const unsigned char *>(letters), 2, paced ? CMD_PACE_SEC : 0, 0))
        return 1;
    end_run_if_interrupted(term_msg);  // a pause cut short by a termination request
    return 0;
}

wait_result wait_pairs(std::initializer_list<U16> pairs, int reads, int sec, bool timeout_ends,
                       bool show, const char *term_msg)
{
    const unsigned all = (1u << pairs.size()) - 1;
    unsigned seen = 0;
    U16 code = 0;
    for (int n = 0; n < reads; n++) {
        end_run_if_interrupted(term_msg);
        unsigned char byte = 0;
        if (!read_tty(&byte, 1, sec)) {
            end_run_if_interrupted(term_msg);
            if (timeout_ends)
                return WAIT_TIMEOUT;
            continue;
        }
        if (show)
            std::printf("%c", byte);
        code = shift_pair(code, byte);
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

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
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

int read_id()
{
    std::printf("Test link ...");
    std::fflush(stdout);
    if (wait_pairs({READY_MARKER}, READY_READS, READY_WAIT_SEC, true, false, TERM_LINK_TEST) ==
        WAIT_SEEN) {
        std::printf("Ok\n");
        return 1;
    }
    std::printf("Fail\n");
    return 0;
}

int write_len(unsigned short prompt, int len, int ignorerepl)
{
    if (wait_pairs({prompt}, PROMPT_READS, PROMPT_WAIT_SEC, true, false, TERM_WRITE_LENGTH) !=
        WAIT_SEEN) {
        std::printf("Fail\n");
        std::fprintf(stderr, "Data length prompt timeout\n");
        return 0;
    }
    end_run_if_interrupted(TERM_WRITE_LENGTH);
    char wbuf[NUMBER_DIGITS + 1];
    std::snprintf(wbuf, sizeof wbuf, "%08X", static_cast<U32>(len));
    if (!write_tty(reinterpret_cast<const unsigned char *>(wbuf), NUMBER_DIGITS, 0, 0)) {
        end_run_if_interrupted(TERM_WRITE_LENGTH);
        std::fprintf(stderr, "Data length write error\n");
        return 0;
    }
    unsigned char rbuf[NUMBER_DIGITS + 1] = {};
    if (!read_tty(rbuf, NUMBER_DIGITS, ECHO_WAIT_SEC)) {
        end_run_if_interrupted(TERM_READ_LENGTH);
        if (ignorerepl == 1)
            return 1;
        std::fprintf(stderr, "Data length read timeout\n");
        return 0;
    }
    end_run_if_interrupted(TERM_READ_LENGTH);
    for (int pos = 0; pos < NUMBER_DIGITS; pos++) {
        if (rbuf[pos] >= 'a' && rbuf[pos] <= 'f')
            rbuf[pos] = static_cast<unsigned char>(rbuf[pos] - 'a' + 'A');
        if (rbuf[pos] != static_cast<unsigned char>(wbuf[pos])) {
            if (ignorerepl == 1)
                return 1;
            rbuf[NUMBER_DIGITS] = 0;
            // "writed" as scripts have always read it: the text is part of the interface.
            std::fprintf(stderr, "Read data length [%8s] not equal writed [%8s]\n",
                         reinterpret_cast<char *>(rbuf), wbuf);
            return 0;
        }
    }
    return 1;
}

void report_tty_write_error(int pos, U8 byte)
{
    std::fprintf(stderr, "\ntty write error, position [%d][0x%x], byte [0x%02x]\n", pos,
                 static_cast<unsigned>(pos), byte);
}
