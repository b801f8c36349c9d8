// Register dump: the monitor's text listing of the thirteen system-manager registers, shown as
// received, then each value decoded field by field.
#include <array>
#include <cstdio>
#include <cstring>

#include "decoders/decoders.h"
#include "monitor/inspect.h"
#include "monitor/link/link.h"
#include "serial/serial.h"

namespace {

// An entry of the listing is the name, any number of spaces, then exactly 8 hex digits.
struct register_entry {
    const char *name;
    int (*decoder)(const char *nam, U32 val);
};

constexpr std::array<register_entry, REGISTER_COUNT> register_table{{
    {"SYSCFG", PrintSYSCFG},
    {"EXTDBWTH", PrintEXTDBWTH},
    {"ROMCON0", PrintROMCON},
    {"ROMCON1", PrintROMCON},
    {"ROMCON2", PrintROMCON},
    {"ROMCON3", PrintROMCON},
    {"ROMCON4", PrintROMCON},
    {"ROMCON5", PrintROMCON},
    {"DRAMCON0", PrintDRAMCON},
    {"DRAMCON1", PrintDRAMCON},
    {"DRAMCON2", PrintDRAMCON},
    {"DRAMCON3", PrintDRAMCON},
    {"REFEXTCON", PrintREFEXTCON},
}};

constexpr int LISTING_ECHO_READS = 10;    // bytes read while waiting for the "RR" echo
constexpr int LISTING_ECHO_WAIT_SEC = 5;  // one-second waits per echo byte
constexpr int TEXT_WAIT_SEC = 3;          // one-second waits per byte of the listing

// 0 only when no echo byte arrived in time; ten bytes without "RR" are no reason to stop.
int wait_echo()
{
    switch (wait_pairs({pair_code(CMD_REGISTERS)}, LISTING_ECHO_READS, LISTING_ECHO_WAIT_SEC, true,
                       false, TERM_REGISTERS)) {
    case WAIT_SEEN:
        return 1;
    case WAIT_TIMEOUT:
        std::fprintf(stderr, "\nRead byte timeout\n");
        return 0;
    case WAIT_BUDGET:
        std::fprintf(stderr, "Read Registers Timeout");
        return 1;
    case WAIT_OTHER:  // none watched for
        break;
    }
    return 0;
}

// Reads until every register is found or the line falls silent. 0 when the buffer fills first.
int collect(register_text &l)
{
    while (l.more != 0) {
        end_run_if_interrupted(TERM_REGISTERS);
        if (register_text_full(l)) {
            std::fprintf(stderr, "\nRead buffer overflow\n");
            return 0;
        }
        unsigned char c = 0;
        if (!read_tty(&c, 1, TEXT_WAIT_SEC)) {
            end_run_if_interrupted(TERM_REGISTERS);
            std::fprintf(stderr, "\nRead byte timeout\n");
            return 1;
        }
        take_register_char(l, static_cast<char>(c));
    }
    return 1;
}

void show_and_decode(const register_text &l)
{
    std::fwrite(l.text.data(), 1, static_cast<size_t>(l.pos), stdout);
    std::printf("\n");
    std::fflush(stdout);
    for (int i = 0; i < REGISTER_COUNT; i++) {
        const register_entry &r = register_table[static_cast<size_t>(i)];
        if (l.more & (U32{1} << i))
            // On standard output, with the listing.
            std::printf("\n%s register is not readed.", r.name);
        else
            r.decoder(r.name, l.values[static_cast<size_t>(i)]);
    }
}

}  // namespace

int registerval(const char *str, U32 &reg)
{
    if (str == nullptr)
        return 0;
    while (*str == ' ')
        str++;
    return parse_hex8(str, reg);
}

U32 find_registers(const char *text, register_values &values, U32 more)
{
    for (int i = 0; i < REGISTER_COUNT; i++) {
        const U32 bit = U32{1} << i;
        const char *name = register_table[static_cast<size_t>(i)].name;
        const char *at = (more & bit) ? std::strstr(text, name) : nullptr;
        if (at && registerval(at + std::strlen(name), values[static_cast<size_t>(i)]))
            more &= ~bit;
    }
    return more;
}

int register_text_full(const register_text &t) { return t.pos + 1 > REGISTER_TEXT_MAX_CHARS; }

void take_register_char(register_text &t, char c)
{
    t.text[static_cast<size_t>(t.pos)] = c;
    t.text[static_cast<size_t>(++t.pos)] = 0;
    t.more = find_registers(t.text.data(), t.values, t.more);
}

int proc_ReadRegisters()
{
    std::printf("Read Registers ...\n");
    if (!read_id())
        return 0;
    if (!send_command(CMD_REGISTERS, true, TERM_REGISTERS))
        return 0;
    if (!wait_echo())
        return 0;
    register_text l;
    if (!collect(l))
        return 0;
    show_and_decode(l);
    // A listing that lacked a register is no dump, whatever was shown of it.
    return l.more == 0 ? 1 : 0;
}
