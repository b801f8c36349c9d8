// flash-many's live lines while GNU parallel runs its boards at once: the events file followed as
// it grows, one line per board drawn by the station's renderer, until flash-many says the run is
// done. A Ctrl-C is flash-many's to handle: the lines stay until the run's end is written.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "station.h"

namespace {

constexpr std::size_t BOARD_LABEL_WIDTH = 3;  // the batch table's N column
constexpr mono_ns LOOK_NS = NS_PER_SEC / 20;  // how often the file is looked at for more
constexpr std::size_t READ_BYTES = 65536;

// Board N of an event ("board": N, or the last part of "run_id": "RUN/N"), or 0.
std::size_t board_of(const nlohmann::json &e)
{
    std::string n;
    if (e.contains("board") && e["board"].is_number_unsigned())
        return e["board"].get<std::size_t>();
    if (e.contains("board") && e["board"].is_string())
        n = e["board"].get<std::string>();
    else if (e.contains("run_id") && e["run_id"].is_string())
        n = e["run_id"].get<std::string>().substr(e["run_id"].get<std::string>().rfind('/') + 1);
    if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::strtoul(n.c_str(), nullptr, 10);
}

// One line of the file; false at the run's end.
bool take(const std::string &line)
{
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (!e.is_object())
        return true;
    if (e.value("event", "") == "run_done")
        return false;
    const std::size_t n = board_of(e);
    const std::string text = event_text(e);
    if (n >= 1 && n <= slots.size() && !text.empty() && slots[n - 1].live != text) {
        slots[n - 1].live = text;
        live_changed();
    }
    return true;
}

}  // namespace

int follow_events(const std::string &path)
{
    // Ends with flash-many, should flash-many end without saying the run is done.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGINT, SIG_IGN);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "zelk-station: cannot read %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    for (std::size_t i = 0; i < settings.devices.size(); i++) {
        slot s;
        s.number = static_cast<int>(i + 1);
        s.device = settings.devices[i];
        s.live = "waiting";
        slots.push_back(std::move(s));
    }
    live_begin(BOARD_LABEL_WIDTH);
    static char buf[READ_BYTES];
    std::string partial;
    for (bool more = true; more;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            partial.append(buf, static_cast<std::size_t>(n));
            std::size_t from = 0;
            for (std::size_t nl; more && (nl = partial.find('\n', from)) != std::string::npos;
                 from = nl + 1)
                more = take(partial.substr(from, nl - from));
            partial.erase(0, from);
            continue;
        }
        // At the file's end for now: more is written as the boards go on.
        live_draw_due(monotonic_ns());
        const struct timespec wait = {0, static_cast<long>(LOOK_NS)};
        nanosleep(&wait, nullptr);
    }
    live_redraw();  // the final state, whatever the last tenth of a second held back
    close(fd);
    return 0;
}
