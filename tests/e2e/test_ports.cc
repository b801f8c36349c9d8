// "ports" on this machine, and a device word naming no file, which offers the same list.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

using zt::RunResult;
using zt::TempDir;

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string first_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Names of serial nodes opened under /dev while `run` ran.
std::set<std::string> serial_nodes_opened(const std::function<void()> &run)
{
    std::set<std::string> opened;
    const int in = inotify_init1(IN_NONBLOCK);
    if (in < 0 || inotify_add_watch(in, "/dev", IN_OPEN) < 0) {
        ADD_FAILURE() << "inotify on /dev";
        return opened;
    }
    run();
    alignas(inotify_event) char buf[8192];
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
        for (char *p = buf; p < buf + n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(p);
            const std::string name = ev->len ? ev->name : "";
            if (std::regex_match(name, std::regex("tty(S|USB|ACM)[0-9]+")))
                opened.insert(name);
            p += sizeof(inotify_event) + ev->len;
        }
    close(in);
    return opened;
}

}  // namespace

TEST(PortsE2E, ListsThisMachinesPortsWithoutOpeningThem)
{
    TempDir dir;
    RunResult r;
    const std::set<std::string> opened =
        serial_nodes_opened([&] { r = zt::run_zelk({"ports"}, {.cwd = dir.path}); });
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(opened.empty()) << *opened.begin();

    // Every line: an existing serial node, then its fields, two blanks apart.
    const std::regex line_form("(/dev/tty(S|USB|ACM)[0-9]+)(  [^ ].*)?");
    std::set<std::string> listed;
    for (const std::string &line : lines_of(r.out)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_form)) << line;
        const std::string device = m[1];
        struct stat st;
        EXPECT_EQ(stat(device.c_str(), &st), 0) << device;
        const std::string name = device.substr(5);
        if (name.starts_with("ttyS")) {
            EXPECT_NE(first_line("/sys/class/tty/" + name + "/type"), "0") << device;
        }
        listed.insert(device);
    }
    // Every USB and ACM node is there; phantom ttyS ports are not.
    for (const char *pattern : {"/dev/ttyUSB", "/dev/ttyACM"})
        for (int n = 0; n < 64; n++) {
            const std::string device = pattern + std::to_string(n);
            if (access(device.c_str(), F_OK) == 0) {
                EXPECT_TRUE(listed.count(device)) << device;
            }
        }
    EXPECT_EQ(r.err, listed.empty() ? "No serial ports found\n" : "");
}

TEST(PortsE2E, NeedsNoCommandAndEndsTheRun)
{
    TempDir dir;
    RunResult plain = zt::run_zelk({"ports"}, {.cwd = dir.path});
    // Words after it are not looked at, as after --help; the device is never opened.
    RunResult after = zt::run_zelk({"erase", "ports", "/dev/ttyzelk-missing"}, {.cwd = dir.path});
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.out, plain.out);
}

TEST(PortsE2E, MissingDeviceNamesItAndOffersThePorts)
{
    TempDir dir;
    const std::string ports = zt::run_zelk({"ports"}, {.cwd = dir.path}).out;
    const std::string tail =
        ports.empty() ? "; no serial ports present\n" : "; serial ports present:\n" + ports;
    for (auto [word, path] : {std::pair{"/dev/ttyzelk-missing", "/dev/ttyzelk-missing"},
                              std::pair{"ttyzelk-missing", "/dev/ttyzelk-missing"},
                              std::pair{"/dev/zelk/none", "/dev/zelk/none"}}) {
        SCOPED_TRACE(word);
        RunResult r = zt::run_zelk({"manufactory", word}, {.cwd = dir.path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nDevice [") + path + "] not found" + tail);
        EXPECT_EQ(r.out, "");  // no usage listing: the word was a device, not an option
    }
    // Other words stay unknown options.
    RunResult r = zt::run_zelk({"manufactory", "Tty0"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("\nLogview:Unknown option 'Tty0'\n", 0), 0u) << r.err;
}
