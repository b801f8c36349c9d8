// The boot monitor's side of the protocol: ready marker, two-letter commands, numbers with echo,
// and one handler per command.
#include <algorithm>
#include <cctype>

#include "board_impl.h"
#include "protocol.h"

namespace zb {

namespace {

// zelk paces its command letters 3 s apart and sends a number only after it has read the prompt,
// so the monitor waits this long for each byte before it gives a command up.
constexpr int HOST_BYTE_TIMEOUT_MS = 10000;
// After "SP" zelk reads the echo and only then switches its own line. Markers wait until it has,
// so that none crosses at mismatched speeds however late a loaded machine lets it switch; a host
// that never follows is offered them (garbled) after this long.
constexpr int SPEED_SETTLE_MS = 10000;
constexpr int SILENT_POLL_MS = 1000;
constexpr int HANG_UP_DRAIN_MS = 10000;  // for a host that has stopped reading
// A host that opens the line and never flushes its input is offered its first marker this long
// after the open was seen.
constexpr int HOST_SETUP_MS = 1000;
constexpr U32 READ_CHUNK_BYTES = 256;

enum class Flow { Go, Abandon };  // Abandon: silence, hang-up or stop ended the command

struct CommandSpec;

// One command being served.
struct Command {
    const CommandSpec *spec = nullptr;
    std::string letters;
    int occurrence = 0;
    std::size_t record = 0;  // index in Impl::commands
    const Fault *fault = nullptr;
    U32 number = 0;  // valid for commands that take one, once received
};

using Handler = Flow (*)(Board::Impl &, Command &);

struct CommandSpec {
    const char *letters;
    bool takes_number;  // prompt with the letters, then 8 hex digits, echoed
    Handler handler;
};

// ---- Line helpers -------------------------------------------------------------------------------

void note(Board::Impl &b, const std::string &text)
{
    if (b.cfg.log)
        b.cfg.log(text);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - b.started).count();
    std::lock_guard<std::mutex> lock(b.mu);
    b.story.push_back(std::to_string(ms) + " ms: " + text);
}

// Bytes already sent still reach the host, as from a UART's buffer, before the line drops
// (closing the master discards what the host has not read yet).
void hang(Board::Impl &b)
{
    note(b, "hang-up");
    b.line.wait_read_by_host(HANG_UP_DRAIN_MS);
    b.line.hang_up();
}

// A byte from zelk as the line delivers it: with the configured noise, and the line dropped
// once the configured number of bytes came.
Rx rx_byte(Board::Impl &b, U8 &byte, int timeout_ms)
{
    if (b.cfg.hang_up_after_bytes >= 0 && b.bytes_in >= b.cfg.hang_up_after_bytes) {
        hang(b);
        return Rx::Closed;
    }
    const Rx r = b.line.read_byte(byte, timeout_ms);
    if (r != Rx::Byte)
        return r;
    b.bytes_in++;
    if (b.cfg.noise_per_byte > 0 &&
        std::uniform_real_distribution<double>(0, 1)(b.noise) < b.cfg.noise_per_byte) {
        byte = static_cast<U8>(byte ^ (1u << (b.noise() % 8)));
        b.flipped++;
        note(b, "noise flipped a bit");
    }
    return r;
}

Flow out(Board::Impl &b, const std::string &bytes)
{
    return b.line.send(bytes) ? Flow::Go : Flow::Abandon;
}

constexpr int TAKEN_POLL_MS = 10;
constexpr int TAKEN_LIMIT_MS = 60000;

Flow run_script(Board::Impl &b, const Script &script)
{
    for (const Step &s : script) {
        switch (s.kind) {
        case Step::Kind::Send:
            if (!b.line.send(s.bytes))
                return Flow::Abandon;
            break;
        case Step::Kind::Pause:
            if (!b.line.sleep_ms(s.ms))
                return Flow::Abandon;
            break;
        case Step::Kind::Silence:
            note(b, "silent");
            b.silent = true;
            return Flow::Abandon;
        case Step::Kind::HangUp:
            hang(b);
            return Flow::Abandon;
        case Step::Kind::Taken:
        case Step::Kind::Held: {
            const auto done = [&] {
                return s.kind == Step::Kind::Taken ? b.line.queued_for_host() == 0
                                                   : b.released.load();
            };
            for (int waited = 0; !done() && waited < TAKEN_LIMIT_MS; waited += TAKEN_POLL_MS)
                if (!b.line.sleep_ms(TAKEN_POLL_MS))
                    return Flow::Abandon;
            break;
        }
        }
    }
    return Flow::Go;
}

// The reply override of the command's fault, else the normal reply.
Flow reply(Board::Impl &b, const Command &c, const Script &normal)
{
    return run_script(b, c.fault && c.fault->reply ? *c.fault->reply : normal);
}

bool lower_hex(const Command &c) { return c.fault && c.fault->lower_hex; }

// Whether a data fault ends the command at data byte `i`, before that byte is handled.
bool stops_at(const Command &c, long i)
{
    return c.fault && c.fault->data_fault_at == i &&
           (c.fault->data_fault == DataFault::Silence || c.fault->data_fault == DataFault::HangUp);
}

// Silent until the line is opened again. The opens are counted now: the run's own open may not
// have been seen yet (a marker offered before it can carry zelk's whole link test), and must not
// lift it.
void go_mute(Board::Impl &b)
{
    b.mute = true;
    b.muted_at_opens = b.line.host_opens();
}

// A monitor that stops in the middle of the data stays silent for the rest of the run: the
// bytes zelk goes on sending (a chunk of the byte write) must not wake it up as commands.
Flow stop_data(Board::Impl &b, const Command &c)
{
    if (c.fault->data_fault == DataFault::Silence)
        go_mute(b);
    return run_script(b, {c.fault->data_fault == DataFault::Silence ? go_silent() : hang_up()});
}

bool corrupts(const Command &c, long i)
{
    return c.fault && c.fault->data_fault == DataFault::WrongByte && c.fault->data_fault_at == i;
}

U8 corrupt(U8 b) { return static_cast<U8>(~b); }

const Fault *match_fault(const Board::Impl &b, const std::string &letters, int occurrence,
                         const std::optional<U32> &number)
{
    for (std::size_t i = 0; i < b.cfg.faults.size(); i++) {
        const Fault &f = b.cfg.faults[i];
        if (f.command != letters || (f.occurrence >= 0 && f.occurrence != occurrence))
            continue;
        if (f.times >= 0 && b.fault_uses[i] >= f.times)
            continue;
        if (f.number && (!number || *f.number != *number))
            continue;
        return &f;
    }
    return nullptr;
}

// ---- Command handlers ---------------------------------------------------------------------------

Flow do_chip_erase(Board::Impl &b, Command &c)
{
    bool normal = !(c.fault && c.fault->reply);
    if (normal && out(b, MON_CHIP_ERASE) == Flow::Abandon)
        return Flow::Abandon;
    if (b.cfg.erase_ms > 0 && !b.line.sleep_ms(b.cfg.erase_ms))
        return Flow::Abandon;
    {
        std::lock_guard<std::mutex> lock(b.mu);
        flash_erase_all(b.flash);
    }
    return normal ? out(b, "OK") : reply(b, c, {});
}

Flow do_sector_erase(Board::Impl &b, Command &c)
{
    bool ok;
    {
        std::lock_guard<std::mutex> lock(b.mu);
        ok = flash_erase_sector(b.flash, c.number);
    }
    return reply(b, c, {send(ok ? "OK" : "Bad sector\r\n")});
}

// Byte write: every byte is echoed on receipt and programmed from offset 0 on.
Flow do_byte_write(Board::Impl &b, Command &c)
{
    for (U32 i = 0; i < c.number; i++) {
        if (stops_at(c, i))
            return stop_data(b, c);
        U8 byte;
        if (rx_byte(b, byte, HOST_BYTE_TIMEOUT_MS) != Rx::Byte)
            return Flow::Abandon;
        if (corrupts(c, i))
            byte = corrupt(byte);
        {
            std::lock_guard<std::mutex> lock(b.mu);
            flash_program(b.flash, i, &byte, 1);
        }
        if (out(b, std::string(1, static_cast<char>(byte))) == Flow::Abandon)
            return Flow::Abandon;
    }
    return Flow::Go;
}

// Block write: 512 raw bytes, programmed at the offset, answered by their block CRC alone.
Flow do_block_write(Board::Impl &b, Command &c)
{
    U8 block[MON_BLOCK_BYTES];
    for (int i = 0; i < MON_BLOCK_BYTES; i++) {
        if (stops_at(c, i))
            return stop_data(b, c);
        if (rx_byte(b, block[i], HOST_BYTE_TIMEOUT_MS) != Rx::Byte)
            return Flow::Abandon;
        if (corrupts(c, i))
            block[i] = corrupt(block[i]);
    }
    {
        std::lock_guard<std::mutex> lock(b.mu);
        flash_program(b.flash, c.number, block, MON_BLOCK_BYTES);
    }
    return reply(b, c, {send(hex8(block_check_value(c.number, block), lower_hex(c)))});
}

// Flash read: exactly the asked number of raw bytes from offset 0; past the chip, erased bytes.
Flow do_read(Board::Impl &b, Command &c)
{
    std::string chunk;
    for (U32 pos = 0; pos < c.number; pos++) {
        if (stops_at(c, pos))
            return out(b, chunk) == Flow::Abandon ? Flow::Abandon : stop_data(b, c);
        U8 byte = FLASH_ERASED;
        if (pos < FLASH_BYTES) {
            std::lock_guard<std::mutex> lock(b.mu);
            byte = b.flash.bytes[pos];
        }
        chunk += static_cast<char>(corrupts(c, pos) ? corrupt(byte) : byte);
        if (chunk.size() == READ_CHUNK_BYTES) {
            if (out(b, chunk) == Flow::Abandon)
                return Flow::Abandon;
            chunk.clear();
        }
    }
    return out(b, chunk);
}

// Line speed: the echo went out at the old speed; from here on the board speaks at the new one.
Flow do_speed(Board::Impl &b, Command &c)
{
    int baud = static_cast<int>(c.number);
    if (c.number > 0x7FFFFFFF || code_of_baud(baud) == 0) {
        note(b, "speed " + std::to_string(c.number) + " not supported, kept " +
                    std::to_string(b.line.baud()));
        return Flow::Go;
    }
    b.line.set_baud(baud);
    b.speed_switched = true;
    b.host_followed = false;
    b.switched_at = Clock::now();
    note(b, "speed now " + std::to_string(baud));
    return Flow::Go;
}

Flow do_manufacturer(Board::Impl &b, Command &c)
{
    return reply(b, c, {send(MON_MANUFACTURER + hex8(b.cfg.manufacturer_code, lower_hex(c)))});
}

Flow do_device_id(Board::Impl &b, Command &c)
{
    return reply(b, c, {send(MON_DEVICE_ID + hex8(b.cfg.device_id, lower_hex(c)))});
}

// DRAM tests: a report with two timed phases, each opened by "Wait", ended by "OK".
Flow do_dram_test(Board::Impl &b, Command &c)
{
    const char *kind = c.letters == MON_DRAM_BYTE       ? "byte"
                       : c.letters == MON_DRAM_HALFWORD ? "half word"
                       : c.letters == MON_DRAM_WORD     ? "word"
                                                        : "general";
    int ms = b.cfg.dram_phase_ms;
    return reply(
        b, c,
        {send(std::string("\r\nDRAM ") + kind + " test 0x01000000-0x01FFFFFF\r\nWrite Wait"),
         pause(ms), send("\r\nVerify Wait"), pause(ms), send("\r\nOK")});
}

Flow do_registers(Board::Impl &b, Command &c)
{
    return reply(b, c, {send(MON_REGISTERS + register_listing())});
}

constexpr CommandSpec COMMANDS[] = {
    {MON_CHIP_ERASE, false, do_chip_erase},     // erase the whole chip
    {MON_SECTOR_ERASE, true, do_sector_erase},  // erase one 64 KiB sector
    {MON_BYTE_WRITE, true, do_byte_write},      // write bytes from offset 0, each echoed
    {MON_SET_SPEED, true, do_speed},            // switch the line speed (baud)
    {MON_BLOCK_WRITE, true,
     do_block_write},           // write one 512-byte block at an offset, answer its CRC
    {MON_READ, true, do_read},  // read bytes from offset 0
    {MON_MANUFACTURER, false, do_manufacturer},  // flash manufacturer code
    {MON_DEVICE_ID, false, do_device_id},        // flash device id
    {MON_DRAM_TEST, false, do_dram_test},        // general DRAM test
    {MON_DRAM_BYTE, false, do_dram_test},        // DRAM byte access test
    {MON_DRAM_HALFWORD, false, do_dram_test},    // DRAM half-word access test
    {MON_DRAM_WORD, false, do_dram_test},        // DRAM word access test
    {MON_REGISTERS, false, do_registers},        // system-manager register listing
};

const CommandSpec *find_command(U8 first, U8 second)
{
    for (const CommandSpec &s : COMMANDS)
        if (s.letters[0] == first && s.letters[1] == second)
            return &s;
    return nullptr;
}

bool starts_command(U8 first)
{
    return std::any_of(std::begin(COMMANDS), std::end(COMMANDS),
                       [&](const CommandSpec &s) { return s.letters[0] == first; });
}

// ---- Numbers ------------------------------------------------------------------------------------

bool parse_hex(const std::string &digits, U32 &v)
{
    v = 0;
    for (char ch : digits) {
        U32 d;
        if (ch >= '0' && ch <= '9')
            d = static_cast<U32>(ch - '0');
        else if (ch >= 'A' && ch <= 'F')
            d = static_cast<U32>(ch - 'A' + 10);
        else if (ch >= 'a' && ch <= 'f')
            d = static_cast<U32>(ch - 'a' + 10);
        else
            return false;
        v = v << 4 | d;
    }
    return true;
}

std::string echo_of(const std::string &digits, Echo mode)
{
    std::string e = digits;
    switch (mode) {
    case Echo::Upper:
        for (char &ch : e)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        break;
    case Echo::Lower:
        for (char &ch : e)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        break;
    case Echo::Wrong:
        e.back() = 'O';
        break;
    case Echo::Missing:
        e.clear();
        break;
    }
    return e;
}

// Prompt, 8 digits, echo. The fault is chosen again once the number is known.
Flow take_number(Board::Impl &b, Command &c)
{
    Script prompt = c.fault && c.fault->prompt ? *c.fault->prompt : Script{send(c.letters)};
    if (run_script(b, prompt) == Flow::Abandon)
        return Flow::Abandon;
    std::string digits;
    while (digits.size() < MON_NUMBER_DIGITS) {
        U8 ch;
        if (rx_byte(b, ch, HOST_BYTE_TIMEOUT_MS) != Rx::Byte) {
            note(b, c.letters + ": number incomplete [" + digits + "]");
            return Flow::Abandon;
        }
        digits += static_cast<char>(ch);
    }
    U32 value = 0;
    bool valid = parse_hex(digits, value);
    if (valid) {
        c.fault = match_fault(b, c.letters, c.occurrence, value);
        if (c.fault && c.fault->number_taken_as) {
            note(b, c.letters + " " + digits + " taken as " + hex8(*c.fault->number_taken_as));
            value = *c.fault->number_taken_as;
            digits = hex8(value);
        }
        c.number = value;
        std::lock_guard<std::mutex> lock(b.mu);
        b.commands[c.record].number = value;
        b.changed.notify_all();
    }
    note(b, c.letters + " " + digits);
    Script echo = c.fault && c.fault->echo_script
                      ? *c.fault->echo_script
                      : Script{send(echo_of(digits, c.fault ? c.fault->echo : Echo::Upper))};
    if (run_script(b, echo) == Flow::Abandon || !valid)
        return Flow::Abandon;
    note(b, c.letters + " echoed");
    return Flow::Go;
}

// ---- Idle loop ----------------------------------------------------------------------------------

// Reads the second letter (the first has arrived) and serves the command. An unknown pair drops
// its first letter; a missing second letter drops the command.
void take_command(Board::Impl &b, U8 first)
{
    const CommandSpec *spec = nullptr;
    while (!spec) {
        if (!starts_command(first))
            return;
        U8 second;
        if (rx_byte(b, second, HOST_BYTE_TIMEOUT_MS) != Rx::Byte)
            return;
        spec = find_command(first, second);
        first = second;
    }
    b.marker_unread = false;  // zelk sends a command once it has read a marker
    Command c;
    c.spec = spec;
    // GCC 12 at -O3: false positive inside std::string (clang knows no such warning).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    c.letters = spec->letters;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    c.occurrence = b.seen[c.letters]++;
    c.fault = match_fault(b, c.letters, c.occurrence, std::nullopt);
    if (c.fault && c.fault->taken_as) {
        const std::string &as = *c.fault->taken_as;
        if (const CommandSpec *other =
                find_command(static_cast<U8>(as[0]), static_cast<U8>(as[1]))) {
            note(b, c.letters + " taken as " + as);
            b.fault_uses[static_cast<std::size_t>(c.fault - b.cfg.faults.data())]++;
            spec = other;
            c.spec = spec;
            c.letters = spec->letters;
            c.fault = nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> lock(b.mu);
        c.record = b.commands.size();
        b.commands.push_back({c.letters, std::nullopt, b.line.baud()});
        b.changed.notify_all();
    }
    if (!spec->takes_number)
        note(b, c.letters);
    if (c.fault && c.fault->hang_up_on_command) {
        hang(b);
        return;
    }
    if (spec->takes_number && take_number(b, c) == Flow::Abandon)
        return;
    if (c.fault)
        b.fault_uses[static_cast<std::size_t>(c.fault - b.cfg.faults.data())]++;
    spec->handler(b, c);
    if (b.cfg.silent_after_commands >= 0 &&
        static_cast<int>(c.record) + 1 >= b.cfg.silent_after_commands) {
        note(b, "silent from here on");
        go_mute(b);
    }
}

void offer_marker(Board::Impl &b)
{
    const Ready &r = b.cfg.ready;
    b.marker_chances++;
    int opens = b.line.host_opens();
    if (opens != b.host_opens) {
        b.host_opens = opens;
        b.offers = 0;
        b.marker_unread = false;
        b.host_set_up = false;
        b.opened_at = Clock::now();
    }
    // zelk flushes its input as it sets the line up (and as it switches speed). A marker it had
    // not read is wiped then, never seen, and is offered again; one the flush found still on its
    // way (in the kernel's hand-over) arrives all the same. The queue is looked at before the
    // flush, so a marker the flush emptied it of is never taken for one that was read.
    const bool emptied = b.line.queued_for_host() == 0;
    if (b.line.host_flushed()) {
        b.host_set_up = true;
        if (b.marker_unread && b.line.queued_for_host() == 0) {
            b.offers--;
            b.marker_unread = false;
        }
    }
    if (emptied)
        b.marker_unread = false;
    if (b.line.input_pending())  // a command has begun
        return;
    // The first marker waits for the host's flush, so that it never crosses it; a host that
    // does not flush gets it a moment after the open.
    if (!b.host_set_up && Clock::now() - b.opened_at < std::chrono::milliseconds(HOST_SETUP_MS))
        return;
    if (r.offers >= 0 && b.offers >= r.offers)
        return;
    // A counted marker is meant for a run: one offered before zelk opens the line could cross
    // its set-up and arrive on top of the one offered after it.
    if (r.offers >= 0 && b.host_opens == 0)
        return;
    if (b.speed_switched) {
        if (!r.after_speed_switch)
            return;
        b.host_followed = b.host_followed || b.line.host_baud() == b.line.baud();
        if (!b.host_followed &&
            Clock::now() - b.switched_at < std::chrono::milliseconds(SPEED_SETTLE_MS))
            return;
    }
    // The marker is offered again and again while the monitor is idle, but only once the
    // previous one has been read (or wiped): nothing piles up meanwhile.
    if (b.line.queued_for_host() > 0)
        return;
    b.offers++;
    b.markers++;
    b.marker_unread = true;
    b.line.send(r.junk + r.marker);
}

}  // namespace

void monitor_run(Board::Impl &b)
{
    b.line.on_slow_read = [&b](const std::string &what) { note(b, what); };
    const auto period = std::chrono::milliseconds(b.cfg.ready.period_ms);
    auto next_offer = Clock::now();
    for (;;) {
        if (b.mute) {
            if (b.line.host_opens() == b.muted_at_opens) {
                U8 ignored;
                if (rx_byte(b, ignored, SILENT_POLL_MS) == Rx::Closed)
                    return;
                continue;
            }
            b.mute = false;  // a new run has opened the line
        }
        int wait_ms = SILENT_POLL_MS;
        if (!b.silent) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(next_offer - Clock::now());
            wait_ms = static_cast<int>(std::max<long>(0, left.count()));
        }
        U8 first;
        Rx r = rx_byte(b, first, wait_ms);
        if (r == Rx::Closed)
            return;
        if (r == Rx::Byte) {
            b.silent = false;
            take_command(b, first);
            next_offer = Clock::now();
        } else if (!b.silent && Clock::now() >= next_offer) {
            offer_marker(b);
            next_offer = Clock::now() + period;
        }
    }
}

struct RegisterValue {
    const char *name;
    U32 value;
};

// A board with 2 MiB of 16-bit flash in ROM bank 0 and 16 MiB of 32-bit SDRAM in DRAM bank 0 at
// 0x01000000; special registers at 0x03FF0000.
// One row a line, as the table reads.
// clang-format off
constexpr RegisterValue REGISTERS[] = {
    {"SYSCFG", 0x07FFFF80},     // special register bank 0x3FF, SRAM base 0x3FE, cache off
    {"EXTDBWTH", 0x00003002},   // ROM bank 0 16 bits, DRAM bank 0 32 bits
    {"ROMCON0", 0x02000060},    // 0x00000000-0x001FFFFF
    {"ROMCON1", 0x00000060},    // unused
    {"ROMCON2", 0x00000060},
    {"ROMCON3", 0x00000060},
    {"ROMCON4", 0x00000060},
    {"ROMCON5", 0x00000060},
    {"DRAMCON0", 0x2004038E},   // 0x01000000-0x01FFFFFF
    {"DRAMCON1", 0x00000000},   // unused
    {"DRAMCON2", 0x00000000},
    {"DRAMCON3", 0x00000000},
    {"REFEXTCON", 0xCE3983FD},  // refresh on, external I/O base 0x3FD
};
// clang-format on

std::string register_listing()
{
    std::string s = "\r\nSystem manager registers\r\n";
    for (const RegisterValue &r : REGISTERS) {
        std::string name = r.name;
        name.resize(10, ' ');
        s += name + hex8(r.value) + "\r\n";
    }
    return s;
}

}  // namespace zb
