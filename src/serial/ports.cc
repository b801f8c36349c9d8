// Serial port enumeration from sysfs: /sys/class/tty/NAME links to the tty's device directory,
// whose "device" link leads into the hardware tree (a UART, a USB serial port or a USB
// interface). Driver and USB identification are found by walking up that tree.
#include "serial/ports.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <tuple>

namespace fs = std::filesystem;

namespace {

// Device names listed, by prefix; the suffix must be a number.
constexpr std::array<std::string_view, 3> PORT_PREFIXES{"ttyS", "ttyUSB", "ttyACM"};

// serial8250 ports sit below two serial-base devices ("port", "ctrl") in recent kernels; their
// driver tells nothing, the UART's own driver is higher up.
constexpr std::string_view SERIAL_BASE_BUS = "/bus/serial-base/";
constexpr int MAX_LINK_STEPS = 40;  // as the kernel follows them (a loop ends the walk)

bool is_port_name(std::string_view name)
{
    for (std::string_view prefix : PORT_PREFIXES) {
        if (!name.starts_with(prefix) || name.size() == prefix.size())
            continue;
        const std::string_view number = name.substr(prefix.size());
        if (std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return true;
    }
    return false;
}

// First line of a sysfs attribute, without its line feed; empty when unreadable.
std::string read_attribute(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A ttyS node exists for every possible 8250 port; only those with a UART have a type above 0.
bool uart_present(const fs::path &tty_dir)
{
    const std::string type = read_attribute(tty_dir / "type");
    return !type.empty() && type != "0";
}

// Walks up from the tty's hardware device: the first driver that is not serial-base's, and the
// USB device (the first directory with idVendor) for the ids and the product string.
void describe_hardware(const fs::path &tty_dir, serial_port &port)
{
    std::error_code ec;
    fs::path dir = fs::canonical(tty_dir / "device", ec);
    if (ec)
        return;
    for (; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        const fs::path driver = fs::read_symlink(dir / "driver", ec);
        if (!ec && port.driver.empty() &&
            driver.string().find(SERIAL_BASE_BUS) == std::string::npos)
            port.driver = driver.filename().string();
        const std::string vendor = read_attribute(dir / "idVendor");
        if (!vendor.empty()) {
            port.usb_id = vendor + ":" + read_attribute(dir / "idProduct");
            port.product = read_attribute(dir / "product");
            return;
        }
        if (dir.filename() == "devices")
            return;
    }
}

// The by-id link that leads to `device` (the first in name order, so that two names of one
// adapter always give the same), or "". A link leads to the device when its target, read
// relative to its folder, is the device's path or a path the device's own links lead through
// (a device named by its by-id link, or by another link to its node).
std::string by_id_link(const fs::path &by_id_dir, const fs::path &device)
{
    std::error_code ec;
    if (!fs::exists(device, ec))
        return "";
    std::vector<fs::path> chain{device.lexically_normal()};
    for (int step = 0; step < MAX_LINK_STEPS && fs::is_symlink(chain.back(), ec); step++) {
        const fs::path target = fs::read_symlink(chain.back(), ec);
        if (ec)
            break;
        chain.push_back((chain.back().parent_path() / target).lexically_normal());
    }
    std::vector<std::string> names;
    for (fs::directory_iterator it(by_id_dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().starts_with('.'))
            continue;
        const fs::path target = fs::read_symlink(it->path(), ec);
        if (ec) {
            ec.clear();
            continue;
        }
        const fs::path resolved = (by_id_dir / target).lexically_normal();
        if (std::find(chain.begin(), chain.end(), resolved) != chain.end())
            names.push_back(it->path().string());
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

// Name order with the numbers compared as numbers: ttyS2 before ttyS10 (a shorter run of
// digits is the smaller number; names carry no leading zeros).
bool port_order(const serial_port &a, const serial_port &b)
{
    auto split = [](const std::string &s) {
        const std::size_t digits = s.find_last_not_of("0123456789") + 1;
        return std::make_tuple(s.substr(0, digits), s.size() - digits, s.substr(digits));
    };
    return split(a.device) < split(b.device);
}

}  // namespace

std::vector<serial_port> find_serial_ports(const char *sysfs_root, const char *dev_root)
{
    const fs::path class_tty = fs::path(sysfs_root) / "class" / "tty";
    const fs::path dev = dev_root;
    std::vector<serial_port> ports;
    std::error_code ec;
    for (fs::directory_iterator it(dev, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // A port is a character device: a file or folder of that name is none.
        if (!is_port_name(name) || !it->is_character_file(ec)) {
            ec.clear();
            continue;
        }
        const fs::path tty_dir = class_tty / name;
        if (name.starts_with("ttyS") && !uart_present(tty_dir))
            continue;
        serial_port port;
        port.device = (dev / name).string();
        describe_hardware(tty_dir, port);
        port.by_id = by_id_link(dev / "serial" / "by-id", dev / name);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(), port_order);
    return ports;
}

int stable_device_name(const char *dev, const char *by_id, char *out, int size)
{
    if (size <= 0)
        return 0;
    out[0] = '\0';
    const std::string found = by_id_link(by_id, dev);
    if (found.empty() || found.size() >= static_cast<std::size_t>(size))
        return 0;
    std::memcpy(out, found.c_str(), found.size() + 1);
    return 1;
}

std::string printable(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // The length of a well-formed UTF-8 sequence starting here, 0 when there is none.
        std::size_t len = c < 0x80             ? 1
                          : (c & 0xE0) == 0xC0 ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
        if (len == 0 || i + len > text.size() || (len == 2 && c < 0xC2))
            len = 0;
        for (std::size_t k = 1; len && k < len; k++)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                len = 0;
        // C0 controls, DEL, and the C1 controls U+0080 to U+009F (C2 80 to C2 9F).
        const bool control =
            len == 1 ? (c < 0x20 || c == 0x7F)
                     : len == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (len == 0 || control) {
            out += '?';
            i += len ? len : 1;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

void print_serial_ports(std::FILE *out, const std::vector<serial_port> &ports)
{
    for (const serial_port &p : ports) {
        std::string line = printable(p.device);
        // What sysfs says comes from the adapter (its product string is the maker's, or anyone's
        // who programmed it): no control character reaches the user's terminal.
        for (const std::string *field : {&p.driver, &p.usb_id, &p.product, &p.by_id})
            if (!field->empty())
                line += "  " + printable(*field);
        std::fprintf(out, "%s\n", line.c_str());
    }
}
