// The fault matrix: every board operation against the simulated board failing at each step it
// has, one row per cell. A cell names the words, the board's fault, the signal sent (and when),
// and what must come out: stdout and stderr byte for byte, the exit status, the output file as
// it was left. Every run must end by itself, and put the serial device's attributes and node
// mode back as it found them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "moment.h"

namespace {

using zb::DataFault;
using zb::go_silent;
using zb::hang_up;
using zb::held;
using zb::pause;
using zb::send;
using zb::taken;
using Words = std::vector<std::string>;
using zt::In;
using zt::Moment;
using zt::reach;
using zt::with_fault;

// ---- The operations ---------------------------------------------------------------------------

const Words MC = {"manufactory"};
const Words ID = {"device", "id"};
const Words CE = {"erase"};
const Words SE = {"erase", "sector", "10"};
const Words DT = {"dram", "test"};
const Words WB = {"write", "input", "image.bin"};
const Words WBS = {"write", "write", "speed", "115200", "input", "image.bin"};
const Words WBSV = {"write", "write", "speed", "115200", "verify", "input", "image.bin"};
const Words WR = {"bwrite", "input", "image.bin"};
// The chunked byte write, and a read that must never start after a termination request.
const Words WRC_RD = {"bwrite",    "block", "size",   "256",    "input",
                      "image.bin", "read",  "output", "out.bin"};
const Words WR_RD = {"bwrite", "input", "image.bin", "read", "output", "out.bin"};
const Words WB_RD = {"write", "input", "image.bin", "read", "output", "out.bin"};
const Words RD = {"read", "size", "300", "output", "out.bin"};
const Words RDS = {"read", "size", "300", "output", "out.bin", "read", "speed", "115200"};
const Words RR = {"registers"};

// stdout up to the point where each operation waits for the monitor.
const std::string SET = "Set speed=38400\n";
const std::string LINK_OK = "Test link ...Ok\n";
const std::string LINK_FAIL = "Test link ...Fail\n";
const std::string MC_HEAD = SET + LINK_OK + "Read Manufactory Code...\n";
const std::string ID_HEAD = SET + LINK_OK + "Read Flash Device Id...\n";
const std::string CE_HEAD = SET + LINK_OK + "Erase flash ...";
const std::string SE_HEAD = SET + LINK_OK + "\nErase flash sectors\n Sector 10 ...";
const std::string DT_TITLE = SET + "Dram Test ...\n";
const std::string DT_HEAD = DT_TITLE + LINK_OK;
const std::string WB_HEAD = SET + LINK_OK + "Fast Write flash ..." + LINK_OK;
const std::string WBS_FAST = SET + LINK_OK + "Fast Write flash ...\nSet Write Speed 115200\n";
const std::string WBS_HEAD = WBS_FAST + LINK_OK;
const std::string WBS_RESTORE = "\nRestote Speed 38400\n\n";
const std::string WR_HEAD = SET + LINK_OK + "Write flash ...";
const std::string RD_HEAD = SET + LINK_OK + "Read flash ...";
const std::string RR_TITLE = SET + "Read Registers ...\n";
const std::string RR_HEAD = RR_TITLE + LINK_OK;

// The measured figures, which vary from run to run, masked.
const std::string TIMES = "\nTransfer time = T sec\nSpeed = S bytes/sec";
const std::string DRAM_REPORT =
    "\r\nDRAM general test 0x01000000-0x01FFFFFF\r\nWrite Wait(T)\r\nVerify Wait(T)\r\nOK\nOK\n";

std::string sigline(int sig)
{
    return "Received signal " + std::to_string(sig) + ". Terminating.\n";
}

// A line that hangs up is reported as such, whatever step zelk was at: it is not a timeout, nor a
// bad check value. Its attributes cannot be put back once the line is gone.
const std::string HUNG_UP = "\nSerial line hung up\n";

const std::string STAYS = zt::may_stay(115200);  // the board could not be brought back

// The rest of a byte write left unsent.
std::string left_in_the_middle(const std::string &count)
{
    return "\nThe monitor was left in the middle of \"WR\", waiting for " + count +
           " more bytes: reset the board before the next run\n";
}

constexpr int READ_SIZE = 300;
constexpr long DATA_STOP = 100;   // the flash read stops here
constexpr long ECHO_STOP = 10;    // the byte write's echo stops here
constexpr int IMAGE_SIZE = 1300;  // three blocks; the second ends in four zero bytes

// Bytes that are never zero, so the check value of a block that ends in them is never zero.
std::string pattern(std::size_t len)
{
    std::string s(len, '\0');
    for (std::size_t i = 0; i < len; i++)
        s[i] = static_cast<char>((i * 31 + 7) % 251 + 1);
    return s;
}

// The file the writes send. Its second block ends in four zero bytes: its check value is 0.
std::string image()
{
    std::string s = pattern(IMAGE_SIZE);
    for (std::size_t i = 1020; i < 1024; i++)
        s[i] = '\0';
    return s;
}

// The flash the read gets.
std::string flash_content() { return pattern(READ_SIZE); }

// The register listing as zelk shows it: up to the last digit of the last register.
std::string listing_shown()
{
    std::string l = zb::register_listing();
    return l.substr(0, l.size() - 2) + "\n";
}

// ---- Boards -----------------------------------------------------------------------------------

// Faults on the cell's own command (see cell()), or on the one `on` names.
zb::Fault prompt_is(zb::Script s) { return {.prompt = std::move(s)}; }
zb::Fault echo_script_is(zb::Script s) { return {.echo_script = std::move(s)}; }
zb::Fault reply_is(zb::Script s) { return {.reply = std::move(s)}; }
zb::Fault data_fault(zb::DataFault f, long at) { return {.data_fault = f, .data_fault_at = at}; }
zb::Fault on(const std::string &cmd, zb::Fault f)
{
    f.command = cmd;
    return f;
}

std::string junk(std::size_t n) { return std::string(n, '~'); }

// ---- The cells --------------------------------------------------------------------------------

// The signal sent at the cell's moment (a second SIGTERM comes during the way back).
enum class Action { None, Sigint, Sigterm, Sighup, TwoSigterms, Sigpipe, Sigwinch };
constexpr int SIGNAL_OF[] = {0, SIGINT, SIGTERM, SIGHUP, SIGTERM, SIGPIPE, SIGWINCH};
int signal_of(Action a) { return SIGNAL_OF[static_cast<int>(a)]; }

// The wait after the command letters, once zelk has read the first `consumed` bytes of the answer.
constexpr Moment after_letters(long consumed = 0) { return {.command = 1, .consumed = consumed}; }
constexpr Moment AFTER_LETTERS = after_letters();
constexpr Moment IN_ECHO_WAIT{.command = 1, .number = true};  // the echo of the number
// The wait for what follows the number's echo (the prompt's two letters and the 8 digits), once
// zelk has read `more` bytes beyond it.
constexpr Moment after_echo(long more = 0)
{
    return {.command = 1, .number = true, .consumed = 2 + 8 + more};
}
constexpr Moment AFTER_NUMBER = after_echo();

struct Cell {
    std::string name;
    Words words;
    zb::Config board;
    Action action = Action::None;
    Moment at;
    std::string out;                      // exact, measured figures masked
    std::optional<std::string> out_tail;  // when set, `out` is an exact prefix and this a suffix
    std::string err;                      // "DEV" stands for the board's device
    bool err_regex = false;  // `err` is a regular expression (a count the moment does not fix)
    int status = 1;
    std::optional<std::string> file;      // out.bin as left; none: never created
    std::optional<std::string> received;  // all the board got from zelk by the moment
    std::string then;       // what zelk sends after the signal: the harmless end of a frame it cut
    bool hangs_up = false;  // the board closes the line: its attributes are gone
};

void PrintTo(const Cell &c, std::ostream *os) { *os << c.name; }

// An operation as its cells see it.
struct Op {
    std::string name;     // its cells' names begin with it
    std::string letters;  // its command, the one the cells' faults hit
    Words words;
    std::string title;                // stdout before the handshake
    std::string head;                 // stdout up to the wait for the monitor
    std::string stop;                 // what it says when a termination request ends it
    int occurrence = -1;              // the command the faults hit (0-based); -1 every one
    std::optional<std::string> file;  // out.bin once its command has gone out
    bool paced = true;                // it sends its command letters one at a time
};

// A cell of `op` on `board`: `out` is what stdout has after the head, `err` all of stderr.
Cell cell(const Op &op, const std::string &what, zb::Config board, const std::string &out,
          const std::string &err = "")
{
    return {.name = op.name + what,
            .words = op.words,
            .board = std::move(board),
            .out = op.head + out,
            .err = err,
            .file = op.file,
            .hangs_up = err == HUNG_UP};
}

// The same on a board with one fault: on the operation's own command unless it names another.
Cell cell(const Op &op, const std::string &what, zb::Fault f, const std::string &out,
          const std::string &err = "")
{
    if (f.command.empty()) {
        f.command = op.letters;
        f.occurrence = op.occurrence;
    }
    return cell(op, what, with_fault(std::move(f)), out, err);
}

// `c` with other words: what the operation is run with.
Cell as(Cell c, Words words)
{
    c.words = std::move(words);
    return c;
}

// The signal cells of one wait: `c` with each of `actions` at `at`. zelk names a SIGHUP as unknown
// before it ends the run; `c.err` is what the way back and the step say.
void signalled(std::vector<Cell> &v, const Cell &c, Moment at,
               std::initializer_list<Action> actions = {Action::Sigint, Action::Sigterm})
{
    static const char *const TAG[] = {"", "Sigint", "Sigterm", "Sighup", "TwoSigterms"};
    for (Action a : actions) {
        const int sig = a == Action::Sighup ? 0 : signal_of(a);
        Cell s = c;
        s.name += TAG[static_cast<int>(a)];
        s.action = a;
        s.at = at;
        s.out += (sig ? sigline(sig) : "") + (a == Action::TwoSigterms ? sigline(sig) : "");
        s.err = (sig ? "" : "Received unknown signal 1\n") + c.err;
        v.push_back(std::move(s));
    }
}

// A signal zelk takes in its stride, at `at` (resizes come all along the run): the run succeeds.
Cell unharmed(Cell c, Moment at, Action a = Action::Sigwinch)
{
    c.action = a;
    c.at = at;
    c.status = 0;
    return c;
}

// The exchange of a command that takes a number: its prompt and its echo of the number failing,
// and a termination request in the wait for each.
struct Exchange {
    const Op &op;
    Moment letters;              // the wait after its letters
    std::string digits;          // the number as sent
    std::string no_prompt;       // stdout after the head when the prompt fails
    std::string no_echo;         // stdout after the head when the echo fails
    std::string also = "";       // stderr after each failure's own message
    std::string echo_stop = "";  // said first when a request ends the wait for the echo
};

void exchange(std::vector<Cell> &v, const Exchange &x)
{
    const Op &op = x.op;
    const std::string prompt_timeout = "Data length prompt timeout\n" + x.also;
    v.push_back(cell(op, "JunkBeforePrompt", prompt_is({send(junk(30) + op.letters)}), x.no_prompt,
                     prompt_timeout));
    v.push_back(
        cell(op, "SilentInsteadOfPrompt", prompt_is({go_silent()}), x.no_prompt, prompt_timeout));
    v.push_back(cell(op, "SilentAfterPrompt", echo_script_is({go_silent()}), x.no_echo,
                     "Data length read timeout\n" + x.also));
    // The last digit comes back as the letter 'O'.
    v.push_back(cell(op, "WrongEcho", {.echo = zb::Echo::Wrong}, x.no_echo,
                     "Read data length [" + x.digits.substr(0, 7) + "O] not equal writed [" +
                         x.digits + "]\n" + x.also));
    signalled(v,
              cell(op, "PromptWait", prompt_is({go_silent()}), "", "\nWrite Length terminated.\n"),
              x.letters);
    Moment echo = x.letters;
    echo.number = true;
    signalled(v,
              cell(op, "EchoWait", echo_script_is({go_silent()}), "",
                   x.echo_stop + "\nRead Length terminated\n"),
              echo);
}

std::vector<Cell> cells()
{
    const std::string img = image();
    const std::string flash = flash_content();
    std::vector<Cell> v;

    const Op mc{"Mc", "MC", MC, SET, MC_HEAD, "\nRead manufactory code terminated.\n"};
    const Op id{"Id", "ID", ID, SET, ID_HEAD, "\nRead device code terminaded.\n"};
    const Op ce{"Ce", "CE", CE, SET, CE_HEAD, "\nFlash erase terminated."};
    const Op se{"Se", "SE", SE, SET, SE_HEAD, "\nFlash erase terminated."};
    const Op dt{"Dt", "DT", DT, DT_TITLE, DT_HEAD, "\nDRAM test terminated.\n"};
    // The block write's faults hit its second block.
    const Op wb{"Wb", "WB", WB, SET, WB_HEAD, "\nFlash write terminated.", 1, {}, false};
    const Op wbs{"Wbs", "WB", WBS, SET, WBS_HEAD, "\nFlash write terminated.", 1, {}, false};
    const Op wr{"Wr", "WR", WR, SET, WR_HEAD, "\nFlash write terminated."};
    // The read creates its file before its command goes out.
    const Op rd{"Rd", "RD", RD, SET, RD_HEAD, "\nFlash read terminated.", -1, ""};
    const Op rr{"Rr", "RR", RR, RR_TITLE, RR_HEAD, "\nRead registers terminated\n"};

    // A board that takes 10 bit times per byte, so that a transfer lasts long enough to be cut.
    const zb::Config on_the_wire{.wire_speed = true};

    // ---- Every operation: silent or junk before the marker (one marker, after more bytes than
    // the handshake reads past), a hang-up on the command, a pause after each paced letter ------
    for (const Op *op : {&mc, &id, &ce, &se, &dt, &wb, &wr, &rd, &rr}) {
        v.push_back({.name = op->name + "SilentBeforeMarker",
                     .words = op->words,
                     .board = {.ready = {.offers = 0}},
                     .out = op->title + LINK_FAIL,
                     .err = zt::link_failure("DEV", zt::NOTHING_CAME)});
        v.push_back(
            {.name = op->name + "JunkBeforeMarker",
             .words = op->words,
             .board = {.ready = {.junk = std::string(20, 'x'), .offers = 1}},
             .out = op->title + LINK_FAIL,
             .err = zt::link_failure("DEV", "21 bytes came but no ready marker: reset the board")});
        v.push_back(cell(*op, "HangUpOnCommand", {.hang_up_on_command = true}, "", HUNG_UP));
        if (!op->paced)
            continue;
        // In the pause after a letter the next never goes out, and the frame is completed: 0xFF
        // for the second letter, eight for a number.
        Cell first = cell(*op, "FirstLetterPause", zb::Config{}, "", op->stop);
        first.received = op->letters.substr(0, 1);
        first.then = "\xFF";
        signalled(v, first, {.command = 0, .received = 1, .in = In::Pause});
        if (op == &dt)
            continue;
        const bool number = op == &se || op == &wr || op == &rd;
        Cell second = cell(*op, "SecondLetterPause", zb::Config{}, "", op->stop);
        second.received = op->letters;
        second.then = number ? std::string(8, '\xFF') : "";
        signalled(v, second, {.command = 1, .received = 2, .in = In::Pause});
    }
    // The DRAM test spends the pause after its last letter reading the report, to time its
    // phases as they run: a request there cuts a read.
    signalled(v, cell(dt, "SecondLetterPause", reply_is({go_silent()}), "", dt.stop),
              {.command = 1, .received = 2, .in = In::Read});
    // After the switch to the write speed the monitor does not announce itself again.
    v.push_back({.name = "WbsSilentBeforeSecondMarker",
                 .words = WBS,
                 .board = {.ready = {.after_speed_switch = false}},
                 .out = WBS_FAST + LINK_FAIL,
                 .err = zt::link_failure("DEV", zt::NOTHING_CAME, 115200) + STAYS});

    // ---- Manufacturer code and device id: the letters' echo, then 8 hex digits -----------------
    const struct {
        const Op &op;
        std::string code;           // as the board sends it
        std::string bad;            // 8 characters, one not a hex digit
        std::string label;          // the code as the failures name it
        std::string short_timeout;  // said when 7 digits came
        std::string code_stop;      // said when a termination request ends the wait for the code
        std::string shown;          // stdout after the head on success
    } codes[] = {
        {mc, "00000001", "0000 001", "Manufactory Code", "\nRead Manufactory Code Timeout\n",
         "\nRead manufactory code terminaded.\n", "\n Manufactory code = [0x00000001]\n"},
        {id, "000000C8", "000000G8", "Device Id", "\nRead Flash Device Id Timeout\n",
         "\nRead device ID terminaded.\n", "\nDevice Id = [0x000000c8]\n"},
    };
    for (const auto &k : codes) {
        const std::string timeout = "\nRead " + k.label + " Timeout\n";
        const std::string &l = k.op.letters;
        v.push_back(cell(k.op, "JunkBeforeEcho",
                         reply_is({send(junk(12) + l + k.code), go_silent()}), "", timeout));
        v.push_back(cell(k.op, "SilentAfterCommand", reply_is({go_silent()}), "",
                         "\nRead byte timeout\n" + timeout));
        v.push_back(cell(k.op, "SevenDigitsThenSilence",
                         reply_is({send(l + k.code.substr(0, 7)), go_silent()}), "",
                         k.short_timeout));
        v.push_back(cell(k.op, "BadCharacter", reply_is({send(l + k.bad)}), "",
                         "\nError " + k.label + " [" + k.bad + "]\n"));
        signalled(v, cell(k.op, "EchoWait", reply_is({go_silent()}), "", k.op.stop), AFTER_LETTERS);
        signalled(v, cell(k.op, "CodeWait", reply_is({send(l), go_silent()}), "", k.code_stop),
                  after_letters(2));
        // The answer is held until the signal of the moment has gone, so zelk is waiting in
        // its read while the signals arrive.
        v.push_back(unharmed(cell(k.op, "Sigwinch", reply_is({held(), send(l + k.code)}), k.shown),
                             AFTER_LETTERS));
    }
    v.push_back(cell(mc, "HangUpInTheCode", reply_is({send("MC0000"), pause(4000), hang_up()}), "",
                     HUNG_UP));

    // ---- Chip erase ----------------------------------------------------------------------------
    // A chip erase that never answers takes 31 reads of 3 s each (93 s) by design: not a cell.
    v.push_back(cell(ce, "JunkInsteadOfOk", reply_is({send(junk(31))}), "Fail\n"));
    signalled(v, cell(ce, "ReplyWait", reply_is({go_silent()}), "", ce.stop), AFTER_LETTERS);
    v.push_back(
        unharmed(cell(ce, "Sigwinch", zb::Config{.erase_ms = 4500}, "Ok\n"), AFTER_LETTERS));

    // ---- Sector erase --------------------------------------------------------------------------
    // A sector whose "OK" never comes takes 93 s, as the chip erase: not a cell.
    exchange(v, {se, AFTER_LETTERS, "0000000A", "Fail\n\nFail\n", "\nFail\n"});
    v.push_back(cell(se, "JunkInsteadOfOk", reply_is({send(junk(31))}), junk(31) + "Fail\nFail\n"));
    v.push_back(cell(se, "HangUpAfterEcho", reply_is({send("Eras"), hang_up()}), "Eras", HUNG_UP));
    signalled(v, cell(se, "ReplyWait", reply_is({go_silent()}), "", se.stop), AFTER_NUMBER);
    v.push_back(
        unharmed(cell(se, "Sigwinch", reply_is({held(), send("OK")}), "OKOk\nOk\n"), AFTER_NUMBER));

    // ---- DRAM test -----------------------------------------------------------------------------
    // The test has no budget: junk goes by and a silent monitor is waited for until a termination
    // request, so neither is a failure of its own.
    const std::string write_wait = "\r\nWrite Wait";
    v.push_back(cell(dt, "HangUpInThePhase", reply_is({send(write_wait), pause(4000), hang_up()}),
                     write_wait, HUNG_UP));
    signalled(v,
              cell(dt, "PhaseWait", reply_is({send(write_wait), go_silent()}), write_wait, dt.stop),
              after_letters(12));
    v.push_back(unharmed(cell(dt, "Sigwinch", zb::Config{.dram_phase_ms = 3000}, DRAM_REPORT),
                         AFTER_LETTERS));

    // ---- Block write: the second block fails ---------------------------------------------------
    // No erase in these runs, and the image fills no sector: no sector may be rebuilt, and the
    // failure says so after today's text.
    const std::string NO_REBUILD =
        "sector 0 holds bytes outside the image that this run did not erase\n";
    const std::string BAD_CRC = "\nRead CRC Error\n" + NO_REBUILD;
    // A frame is the letters, the offset's 8 digits and the block's data.
    constexpr std::size_t FRAME = 2 + 8 + 512;
    const Moment block1_crc{.command = 2, .number = true, .received = 2 * FRAME};
    exchange(v, {wb, {.command = 2}, "00000200", "Fail\n\n", "\n", NO_REBUILD});
    v.push_back(cell(wb, "SilentInTheBlock", data_fault(DataFault::Silence, 100), "\n", BAD_CRC));
    v.push_back(cell(wb, "CheckValueNeverComes", reply_is({go_silent()}), "\n", BAD_CRC));
    v.push_back(cell(wb, "CheckValueShort", reply_is({send("0000"), go_silent()}), "\n", BAD_CRC));
    v.push_back(
        cell(wb, "CheckValueWrong", reply_is({send("0000C0DE")}), "\n",
             "\nReceived CRC [0x0000c0de] is not equal calculated [0x00000000]\n" + NO_REBUILD));
    v.push_back(cell(wb, "CheckValueNotHex", reply_is({send("0000g000")}), "\n",
                     "\nError in received CRC [0000g000]\n" + NO_REBUILD));
    v.push_back(cell(wb, "HangUpInTheBlock", data_fault(DataFault::HangUp, 100), "", HUNG_UP));
    signalled(v, cell(wb, "CheckValueWait", reply_is({go_silent()}), "", wb.stop), block1_crc);
    v.push_back(unharmed(cell(wb, "Sigwinch", reply_is({held(), send("00000000")}), TIMES + "\n"),
                         block1_crc));
    // Once the first block is on its way, every check value arriving: nothing after it, the
    // read included.
    signalled(v, as(cell(wb, "InTheData", on_the_wire, "", wb.stop), WB_RD),
              {.command = 1, .number = true, .received = 2 + 8 + 200, .in = In::Anything});

    // ---- Block write at the write speed: the speed goes back whatever happens ------------------
    // After "SP" and the speed's 8 digits.
    const Moment fast_block1_crc{.command = 3, .number = true, .received = 10 + 2 * FRAME};
    v.push_back({.name = "WbsSilentInsteadOfSpeedPrompt",
                 .words = WBS,
                 .board = with_fault(on("SP", prompt_is({go_silent()}))),
                 .out = WBS_FAST + "Fail\n",
                 .err = "Data length prompt timeout\n"});
    v.push_back(cell(wbs, "CheckValueNeverComes", reply_is({go_silent()}), WBS_RESTORE, BAD_CRC));
    v.push_back(cell(wbs, "HangUpInTheBlock", data_fault(DataFault::HangUp, 100), "", HUNG_UP));
    signalled(v, cell(wbs, "CheckValueWait", reply_is({go_silent()}), "", wbs.stop),
              fast_block1_crc);
    // Each moment at the write speed: the prompt, the echo, the data, verify's read-back.
    signalled(v,
              cell(wbs, "PromptWait", prompt_is({go_silent()}), "", "\nWrite Length terminated.\n"),
              {.command = 3}, {Action::Sighup, Action::TwoSigterms});
    signalled(
        v, cell(wbs, "EchoWait", echo_script_is({go_silent()}), "", "\nRead Length terminated\n"),
        {.command = 3, .number = true}, {Action::Sigint});
    signalled(v, cell(wbs, "DataStops", data_fault(DataFault::Silence, 100), "", STAYS + wbs.stop),
              fast_block1_crc, {Action::Sigterm});
    signalled(v,
              as(cell(wbs, "VerifyDataStops", on("RD", data_fault(DataFault::Silence, DATA_STOP)),
                      TIMES + "\nVerify flash ...", STAYS + "\nFlash read terminated."),
                 WBSV),
              {.command = 5, .number = true, .consumed = 2 + 8 + DATA_STOP},
              {Action::Sigint, Action::Sighup});
    const zb::Fault late_crc = reply_is({held(), send("00000000")});
    v.push_back(unharmed(cell(wbs, "Sigpipe", late_crc, TIMES + WBS_RESTORE), fast_block1_crc,
                         Action::Sigpipe));
    v.push_back(unharmed(cell(wbs, "Sigwinch", late_crc, TIMES + WBS_RESTORE), fast_block1_crc));
    // The restore's pause before the host follows the monitor back to the start-up speed.
    signalled(
        v, cell(wbs, "SpeedSettlePause", zb::Config{}, TIMES + "\nRestote Speed 38400\n", wbs.stop),
        {.command = 5, .number = true, .in = In::Pause});

    // ---- Byte write ----------------------------------------------------------------------------
    exchange(v, {wr, AFTER_LETTERS, "00000514", "Fail\n", "", "", left_in_the_middle("1300")});
    v.push_back(cell(wr, "EchoStops", data_fault(DataFault::Silence, ECHO_STOP), "",
                     "\nTimeout for read writed byte\n"));
    {
        const U8 sent = static_cast<U8>(img[ECHO_STOP]);
        char msg[120];
        std::snprintf(msg, sizeof msg,
                      "\nRead byte [0x%02x] is not equal writed byte [0x%02x],position [10][0xa]\n",
                      static_cast<U8>(~sent), sent);
        v.push_back(cell(wr, "EchoDiffers", data_fault(DataFault::WrongByte, ECHO_STOP), "", msg));
    }
    v.push_back(cell(wr, "HangUpInTheData", data_fault(DataFault::HangUp, ECHO_STOP), "", HUNG_UP));
    signalled(v,
              cell(wr, "DataWait", data_fault(DataFault::Silence, ECHO_STOP), "",
                   left_in_the_middle("1289") + wr.stop),
              after_echo(ECHO_STOP));
    // In the middle of the data, every echo arriving: the per-byte write at one of its bytes,
    // the chunked one in a pause of its chunk. Nothing after it, the read included.
    const auto cut = [&](const char *what, zb::Config board, const Words &words, Moment at) {
        Cell c =
            as(cell(wr, what, std::move(board), "", left_in_the_middle("\\d+") + wr.stop), words);
        c.err_regex = true;
        signalled(v, c, at);
    };
    cut("InTheData", on_the_wire, WR_RD,
        {.command = 1, .number = true, .received = 2 + 8 + 100, .in = In::Anything});
    cut("ChunkPause", {}, WRC_RD,
        {.command = 1, .number = true, .received = 2 + 8 + 100, .in = In::Pause});
    cut("SecondChunk", {}, WRC_RD,
        {.command = 1, .number = true, .received = 2 + 8 + 256 + 50, .in = In::Pause});
    v.push_back(unharmed(cell(wr, "Sigwinch", echo_script_is({held(), send("00000514")}), "Ok\n"),
                         IN_ECHO_WAIT));

    // ---- Flash read ----------------------------------------------------------------------------
    exchange(v, {rd, AFTER_LETTERS, "0000012C", "Fail\n", ""});
    Op stopped = rd;  // its data stops: what arrived is kept
    stopped.file = flash.substr(0, DATA_STOP);
    const zb::Fault stop = data_fault(DataFault::Silence, DATA_STOP);
    v.push_back(
        cell(stopped, "SilentInTheData", stop, "", "\nRead byte timeout, offset [100][0x64]\n"));
    v.push_back(
        cell(stopped, "HangUpInTheData", data_fault(DataFault::HangUp, DATA_STOP), "", HUNG_UP));
    signalled(v, cell(stopped, "DataWait", stop, "", rd.stop), after_echo(DATA_STOP));
    // The fast read's data: the board has stopped, and keeps the read's speed.
    Op fast = stopped;
    fast.name = "Rds";
    fast.words = RDS;
    fast.head = SET + LINK_OK + "Set Read Speed 115200\n" + LINK_OK + "Read flash ...";
    signalled(v, cell(fast, "DataStops", stop, "", STAYS + rd.stop),
              {.command = 2, .number = true, .consumed = 2 + 8 + DATA_STOP}, {Action::TwoSigterms});
    Op whole = rd;
    whole.file = flash;
    v.push_back(unharmed(
        cell(whole, "Sigwinch", echo_script_is({held(), send("0000012C")}), "Ok\n"), IN_ECHO_WAIT));

    // ---- Register dump -------------------------------------------------------------------------
    const std::string some = "\r\nSYSCFG    07FFFF80\r\nEXTDBWTH  00003002\r\nROMCON0   0200";
    v.push_back(
        cell(rr, "SilentAfterCommand", reply_is({go_silent()}), "", "\nRead byte timeout\n"));
    v.push_back(cell(rr, "JunkOverflowsTheListing",
                     reply_is({send("RR" + junk(1100)), go_silent()}), "",
                     "\nRead buffer overflow\n"));
    // A listing cut short is shown and decoded as far as it goes, with the registers it lacks
    // named, and the dump fails: it did not read all thirteen.
    Cell cut_short = cell(rr, "ListingStops", reply_is({send("RR" + some), go_silent()}),
                          some + "\n", "\nRead byte timeout\n");
    cut_short.out_tail = "\nREFEXTCON register is not readed.";
    v.push_back(cut_short);
    v.push_back(cell(rr, "HangUpInTheListing",
                     reply_is({send("RR" + some), taken(), pause(500), hang_up()}), "", HUNG_UP));
    signalled(v, cell(rr, "EchoWait", reply_is({go_silent()}), "", rr.stop), AFTER_LETTERS);
    signalled(v, cell(rr, "ListingWait", reply_is({send("RR" + some), go_silent()}), "", rr.stop),
              after_letters(static_cast<long>(2 + some.size())));
    Cell all =
        unharmed(cell(rr, "Sigwinch", reply_is({held(), send("RR" + zb::register_listing())}),
                      listing_shown()),
                 AFTER_LETTERS);
    all.out_tail = "\n          [0.000008]";
    v.push_back(all);
    return v;
}

// ---- Running a cell ---------------------------------------------------------------------------

constexpr int RUN_LIMIT_S = 60;

std::string masked(const std::string &out)
{
    static const std::regex dram(R"(\(\d+ sec \d{1,6} us\))");
    static const std::regex time(R"(Transfer time = \d+\.\d{3} sec)");
    static const std::regex speed(R"(Speed = \d+\.\d bytes/sec)");
    std::string s = std::regex_replace(out, dram, "(T)");
    s = std::regex_replace(s, time, "Transfer time = T sec");
    return std::regex_replace(s, speed, "Speed = S bytes/sec");
}

// True once zelk has ended; it is not reaped, so its pid stays its own.
bool ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
           info.si_pid == pid;
}

// Resize signals all along the run, 20 a second, and one at the cell's moment.
void resize_all_along(zb::Board &board, zt::Proc &p, const Moment &m)
{
    std::thread at_moment;
    bool reached = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(RUN_LIMIT_S);
    std::atomic<bool> moment_done{false};
    at_moment = std::thread([&] {
        reached = reach(board, m, p.pid());
        moment_done = true;
    });
    bool sent_at_moment = false;
    while (!ended(p.pid()) && std::chrono::steady_clock::now() < end) {
        if (moment_done && !sent_at_moment) {
            sent_at_moment = true;
            if (reached)
                p.signal(SIGWINCH);
            board.release();  // a reply held for the moment comes now
        }
        p.signal(SIGWINCH);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    at_moment.join();
    EXPECT_TRUE(reached && sent_at_moment) << "the run ended before the moment of the signal";
}

// The device node, held open by the test: its mode can be read even once a hang-up has taken the
// node's name away.
class Witness {
public:
    explicit Witness(const std::string &path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~Witness()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Witness(const Witness &) = delete;
    Witness &operator=(const Witness &) = delete;
    mode_t mode() const
    {
        struct stat st;
        return fd_ >= 0 && fstat(fd_, &st) == 0 ? st.st_mode & 07777 : 0;
    }

private:
    int fd_;
};

// With zelk stopped: still in the wait of the cell's moment and, where the cell names all the
// board gets, having put exactly that on the line (the board's count includes what is still
// queued for it).
bool still_at_moment(const zt::Bench &b, const Cell &c, pid_t pid)
{
    const bool in_wait = c.at.in == In::Pause  ? zt::asleep(pid)
                         : c.at.in == In::Read ? zt::waiting_for_line(pid)
                                               : true;
    return in_wait && (!c.received || b.board.sent_by_host() == c.received->size());
}

class FaultMatrix : public testing::TestWithParam<Cell> {};

// One run of a cell. False when the moment of its signal went by unseen or was gone by the time
// zelk was stopped, as on a heavily loaded machine the pause of a few seconds can, and `last` is
// not set: the run was ended and proves nothing either way.
bool run_cell(const Cell &c, bool last)
{
    zt::Bench b(c.board);
    const std::string flash = flash_content();
    b.board.load_flash(0, std::vector<U8>(flash.begin(), flash.end()));
    b.image(image());
    // As a serial node usually is: the owner and the dialout group may write. zelk takes the
    // group's write permission away for the length of the run.
    EXPECT_EQ(chmod(b.board.path().c_str(), 0620), 0);
    const Witness node(b.board.path());
    const mode_t mode_before = node.mode();
    EXPECT_EQ(mode_before, 0620u);
    const struct termios attrs_before = zt::attrs_of(b.board.path());

    zt::Proc p(b.words(c.words), {.cwd = b.dir.path, .timeout_s = RUN_LIMIT_S});
    switch (c.action) {
    case Action::None:
        break;
    case Action::Sigint:
    case Action::Sigterm:
    case Action::Sighup:
    case Action::TwoSigterms:
    case Action::Sigpipe:
        // Seen at the moment, zelk is stopped and looked at again before the signal goes: a
        // test kept waiting between the look and the signal would otherwise send it later, when
        // zelk may have gone on.
        if (reach(b.board, c.at, p.pid()) && zt::stop(p.pid())) {
            const bool still = still_at_moment(b, c, p.pid());
            if (still) {
                EXPECT_EQ(node.mode(), 0600u) << "the node is not protected during the run";
                p.signal(signal_of(c.action));
            }
            p.signal(SIGCONT);
            b.board.release();  // a reply held for the moment comes now
            // The second request comes in the middle of the way back, once the first was taken.
            if (still && c.action == Action::TwoSigterms &&
                p.wait_for_out(sigline(SIGTERM), RUN_LIMIT_S * 1000))
                p.signal(SIGTERM);
            if (still)
                break;
        }
        if (!last) {
            p.signal(SIGTERM);
            p.finish();
            return false;
        }
        ADD_FAILURE() << "zelk was never seen stopped at the moment of the signal";
        break;
    case Action::Sigwinch:
        resize_all_along(b.board, p, c.at);
        break;
    }
    zt::RunResult r = p.finish();

    EXPECT_FALSE(r.timed_out) << "zelk did not end by itself";
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, c.status);
    const std::string out = masked(r.out);
    if (c.out_tail) {
        EXPECT_EQ(out.substr(0, c.out.size()), c.out) << r.out;
        EXPECT_TRUE(out.ends_with(*c.out_tail)) << r.out;
    } else {
        EXPECT_EQ(out, c.out);
    }
    const std::string err = std::regex_replace(c.err, std::regex("DEV"), b.board.path());
    if (c.err_regex)
        EXPECT_TRUE(std::regex_match(r.err, std::regex(err))) << r.err;
    else
        EXPECT_EQ(r.err, err);
    if (c.received) {
        EXPECT_EQ(b.board.received_all(), *c.received + c.then) << "zelk went on sending";
    }
    // No run strands the board at another speed without naming it.
    if (err.find("give \"speed") == std::string::npos && !c.hangs_up) {
        EXPECT_EQ(b.board.baud(), zb::DEFAULT_BAUD) << "the board was left at another speed";
    }
    if (c.file)
        EXPECT_EQ(zt::read_file(b.dir.file("out.bin")), *c.file);
    else
        EXPECT_FALSE(zt::file_exists(b.dir.file("out.bin")));
    if (!c.hangs_up) {
        EXPECT_TRUE(zt::same_line_attrs(zt::attrs_of(b.board.path()), attrs_before))
            << "the line's attributes were not put back";
    }
    EXPECT_EQ(node.mode(), mode_before) << "the node's mode was not put back";
    return true;
}

TEST_P(FaultMatrix, Cell)
{
    constexpr int ATTEMPTS = 3;
    for (int attempt = 1; !run_cell(GetParam(), attempt == ATTEMPTS); attempt++)
        ;
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, FaultMatrix, testing::ValuesIn(cells()),
                         [](const testing::TestParamInfo<Cell> &i) { return i.param.name; });

}  // namespace
