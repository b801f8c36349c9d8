// The station's records: each board's result read from its report (or, without one, from its
// log), its row in summary.tsv and in the table, and the events of the slots and boards.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "clock/clock.h"
#include "station.h"
#include "json/json_text.h"

namespace {

int events_fd = -1;
int summary_fd = -1;
constexpr const char *SUMMARY = "summary.tsv";

std::string read_text(const std::string &path, bool *found = nullptr)
{
    std::ifstream in(path, std::ios::binary);
    if (found != nullptr)
        *found = static_cast<bool>(in);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The first (or last) line of a log with more than blanks on it; "" when none has.
std::string log_line(const std::string &log, bool last)
{
    std::istringstream in(read_text(log));
    std::string found;
    for (std::string line; std::getline(in, line);) {
        if (line.find_first_not_of(" \t\r\v\f") == std::string::npos)
            continue;
        found = line;
        if (!last)
            break;
    }
    return found;
}

void write_all(int fd, const std::string &text)
{
    // One write for the whole line: appends of other writers land before or after it, never
    // inside. Only a write cut short (a full disk) takes another for the rest.
    for (std::size_t at = 0; fd >= 0 && at < text.size();) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        at += static_cast<std::size_t>(n);
    }
}

// An event as one line: texts kept as they are when they are valid UTF-8, other bytes replaced
// (a device's name is any bytes), never refused.
void put_event(const event_json &e)
{
    put_event_line(e.dump(-1, ' ', false, event_json::error_handler_t::replace));
}

struct board_outcome {
    std::string result;
    std::string seconds = "-";  // as the table shows them, one decimal
    event_json seconds_value;   // the same as a number, or null
    event_json report;          // the report as read, or null
};

std::string one_decimal(double sec)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", std::round(sec * 10) / 10);
    return buf;
}

// The result from a report of this run for this device: "ok", or the first operation that did not
// succeed with its message. "no report" for a report of another run, "device not taken" for one of
// another device, "unreadable report" for anything that is not a report.
void read_report(board_outcome &o, const std::string &key, const std::string &device)
{
    bool found = false;
    const std::string text = read_text(key + ".json", &found);
    if (!found) {
        o.result = "no report";
        return;
    }
    const event_json r = event_json::parse(text, nullptr, false);
    o.report = r.is_discarded() ? event_json() : r;
    o.result = "unreadable report";
    if (!r.is_object())
        return;
    if (r.value("run_id", event_json()) != settings.run + "/" + key) {
        o.result = "no report";
        return;
    }
    const event_json dev = r.value("device", event_json());
    if (dev != device && dev != "/dev/" + device) {
        o.result = "device not taken";
        return;
    }
    if (!r.contains("operations") || !r["operations"].is_array() || !r.contains("seconds") ||
        !r["seconds"].is_number())
        return;
    const event_json *failed = nullptr;
    bool all_ok = true;
    for (const event_json &op : r["operations"]) {
        const event_json result = op.value("result", event_json());
        all_ok = all_ok && result == "ok";
        if (failed == nullptr && result != "ok" && result != "not run")
            failed = &op;
    }
    const event_json status = r.value("exit_status", event_json());
    const std::string name = failed ? failed->value("name", std::string("?")) : "";
    if (status == 0 && all_ok)
        o.result = "ok";
    else if (failed == nullptr)
        o.result = "failed (exit status " + status.dump() + ")";
    else if ((*failed)["result"] == "terminated")
        o.result = name + " terminated";
    else if (failed->contains("message") && (*failed)["message"].is_string())
        o.result = name + ": " + (*failed)["message"].get<std::string>();
    else
        o.result = name + " failed";
    const double sec = std::round(r["seconds"].get<double>() * 10) / 10;
    o.seconds = one_decimal(sec);
    o.seconds_value = sec;
}

board_outcome outcome(const std::string &key, const std::string &device, int status)
{
    board_outcome o;
    read_report(o, key, device);
    // Without a report, zelk's words in the log say why: its last (a run cut short), or its first
    // when the run did not take the device (a device that is not there).
    const std::string log = key + ".log";
    if (o.result == "no report") {
        const std::string last = log_line(log, true);
        if (!last.empty())
            o.result = "no report: " + last;
    } else if (o.result == "device not taken") {
        const std::string first = log_line(log, false);
        o.result = first.empty() ? "no report" : first;
    }
    if (o.result == "ok" && status != 0)
        o.result = "failed (exit status " + std::to_string(status) + ")";
    return o;
}

}  // namespace

bool records_open()
{
    events_fd = open(settings.events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (events_fd < 0) {
        std::fprintf(stderr, "zelk-station: cannot open %s: %s\n", settings.events.c_str(),
                     std::strerror(errno));
        return false;
    }
    summary_fd = open(SUMMARY, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (summary_fd < 0) {
        std::fprintf(stderr, "zelk-station: cannot open %s/%s: %s\n", settings.logs.c_str(),
                     SUMMARY, std::strerror(errno));
        return false;
    }
    return true;
}

std::string event_time()
{
    char text[40];
    json_buf b{text, sizeof text};
    json_utc_time(b, wall_clock_us());
    return std::string(text, static_cast<std::size_t>(b.len));
}

void put_event_line(std::string line)
{
    line += '\n';
    write_all(events_fd, line);
}

void slot_event(const slot &s, const char *name)
{
    put_event(event_json{
        {"time", event_time()}, {"device", s.device}, {"event", name}, {"slot", s.number}});
}

void board_start_event(const slot &s)
{
    const std::string key = record_key(s);
    put_event(event_json{{"time", event_time()},
                         {"device", s.device},
                         {"run_id", settings.run + "/" + key},
                         {"event", "board_start"},
                         {"board", key}});
}

std::string record_board(const slot &s)
{
    const std::string key = record_key(s);
    const board_outcome o = outcome(key, s.device, s.job.status);
    write_all(summary_fd, key + "\t" + s.device + "\t" + o.result + "\n");
    show_row(table_row(key, s.device, o.result, o.seconds));
    put_event(event_json{{"time", event_time()},
                         {"device", s.device},
                         {"run_id", settings.run + "/" + key},
                         {"event", "board_end"},
                         {"board", key},
                         {"result", o.result},
                         {"seconds", o.seconds_value},
                         {"exit_status", s.job.status},
                         {"report", o.report}});
    return o.result;
}

void ending_event() { put_event(event_json{{"time", event_time()}, {"event", "station_ending"}}); }

std::string table_row(const std::string &n, const std::string &device, const std::string &result,
                      const std::string &seconds)
{
    char head[128];
    std::snprintf(head, sizeof head, "%-5s ", n.c_str());
    std::string row = head + device;
    row.append(device.size() < 40 ? 40 - device.size() : 0, ' ');
    row += " " + result;
    row.append(result.size() < 40 ? 40 - result.size() : 0, ' ');
    std::snprintf(head, sizeof head, " %7s", seconds.c_str());
    return row + head;
}

int summary_status()
{
    std::istringstream in(read_text(SUMMARY));
    for (std::string line; std::getline(in, line);) {
        const std::size_t a = line.find('\t');
        const std::size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos || line.substr(b + 1, line.find('\t', b + 1) - b - 1) != "ok")
            return 1;
    }
    return 0;
}
