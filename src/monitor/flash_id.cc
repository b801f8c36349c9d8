// Flash identification: the manufacturer code ("MC") and the device id ("ID"). One exchange;
// what differs between the two commands is data.
#include <cstdio>

#include "monitor/inspect.h"
#include "monitor/link/link.h"
#include "monitor/recovery/resume.h"
#include "report/report.h"
#include "serial/serial.h"

namespace {

struct flash_id_read {
    const char *start_msg;
    const char *letters;        // sent paced; the monitor echoes them before the code
    int echo_wait_sec;          // one-second waits per echo byte
    const char *echo_term_msg;  // a termination request while waiting for the echo
    const char *echo_timeout_msg;
    const char *reply_term_msg;  // a termination request while reading the 8 digits
    const char *reply_timeout_msg;
    const char *error_fmt;   // eight %c: the reply as received
    const char *result_fmt;  // one %08x: the code
};

constexpr flash_id_read MANUFACTURER_READ = {
    "Read Manufactory Code...\n",
    CMD_MANUFACTURER,
    3,
    "\nRead manufactory code terminated.\n",
    "\nRead Manufactory Code Timeout\n",
    "\nRead manufactory code terminaded.\n",
    "\nRead Manufactory Code Timeout\n",
    "\nError Manufactory Code [%c%c%c%c%c%c%c%c]\n",
    "\n Manufactory code = [0x%08x]\n",
};

// The chip may take longer to answer its id than its maker's code.
constexpr flash_id_read DEVICE_ID_READ = {
    "Read Flash Device Id...\n",
    CMD_DEVICE_ID,
    10,
    "\nRead device code terminaded.\n",
    "\nRead Device Id Timeout\n",
    "\nRead device ID terminaded.\n",
    "\nRead Flash Device Id Timeout\n",
    "\nError Device Id [%c%c%c%c%c%c%c%c]\n",
    "\nDevice Id = [0x%08x]\n",
};

constexpr int ECHO_READS = 11;      // bytes read while waiting for the echo of the letters
constexpr int REPLY_WAIT_SEC = 10;  // one-second waits for all 8 digits of the code

int wait_echo(const flash_id_read &r)
{
    switch (wait_pairs({pair_code(r.letters)}, ECHO_READS, r.echo_wait_sec, true, false,
                       r.echo_term_msg)) {
    case WAIT_SEEN:
        return 1;
    case WAIT_TIMEOUT:
        std::fprintf(stderr, "\nRead byte timeout\n");
        break;
    case WAIT_BUDGET:
    case WAIT_OTHER:  // none watched for
        break;
    }
    std::fputs(r.echo_timeout_msg, stderr);
    return 0;
}

// Reads the 8 digits that follow the echo; all 32 bits of the code are kept.
int read_code(const flash_id_read &r, U32 &code)
{
    end_run_if_interrupted(r.reply_term_msg);
    char mbuf[NUMBER_DIGITS] = {};
    if (!read_tty(reinterpret_cast<unsigned char *>(mbuf), NUMBER_DIGITS, REPLY_WAIT_SEC)) {
        end_run_if_interrupted(r.reply_term_msg);
        std::fputs(r.reply_timeout_msg, stderr);
        return 0;
    }
    if (!parse_hex8(mbuf, code)) {
        std::fprintf(stderr, r.error_fmt, mbuf[0], mbuf[1], mbuf[2], mbuf[3], mbuf[4], mbuf[5],
                     mbuf[6], mbuf[7]);
        return 0;
    }
    return 1;
}

int read_flash_id(const flash_id_read &r)
{
    if (!read_id())
        return 0;
    std::printf("%s", r.start_msg);
    if (!send_command(r.letters, true, r.echo_term_msg))
        return 0;
    U32 code = 0;
    if (!wait_echo(r) || !read_code(r, code))
        return 0;
    std::printf(r.result_fmt, code);
    report_flash_code(&r == &DEVICE_ID_READ, code);
    // A resumed write goes on only on the board whose flash the report records.
    return check_resume_flash_code(&r == &DEVICE_ID_READ, code);
}

}  // namespace

int proc_Manufactory() { return read_flash_id(MANUFACTURER_READ); }

int proc_Deviceid() { return read_flash_id(DEVICE_ID_READ); }
