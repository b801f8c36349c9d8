// The serial port enumerator on a fake sysfs and /dev tree laid out as the kernel lays them out:
// a 16550 behind serial-base, a phantom 8250 port, an FTDI adapter with a by-id link, a CDC-ACM
// board, a USB node sysfs says nothing about, and tty names that are not serial ports.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/ports.h"

namespace fs = std::filesystem;

namespace {

struct FakeTree {
    fs::path root;
    fs::path sys, dev;

    FakeTree()
    {
        char templ[] = "/tmp/zelk-ports-XXXXXX";
        root = mkdtemp(templ);
        sys = root / "sys";
        dev = root / "dev";
        fs::create_directories(sys / "class" / "tty");
        fs::create_directories(sys / "bus" / "serial-base" / "drivers" / "port");
        for (const char *d : {"pnp/drivers/serial", "usb-serial/drivers/ftdi_sio",
                              "usb/drivers/cdc_acm", "usb/drivers/usb"})
            fs::create_directories(sys / "bus" / d);
        fs::create_directories(dev / "serial" / "by-id");
    }
    ~FakeTree() { fs::remove_all(root); }

    void put(const fs::path &file, const std::string &text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    // A device node: a link to /dev/null, a character device that needs no privilege to make.
    void node(const std::string &name) { fs::create_symlink("/dev/null", dev / name); }
    void link(const fs::path &from, const fs::path &to)
    {
        fs::create_directories(from.parent_path());
        fs::create_symlink(to, from);
    }
    // The tty's class entry, its "device" link to `hw` and, for serial_core ports, its type.
    void tty(const std::string &name, const fs::path &hw, const char *type)
    {
        const fs::path dir = hw / "tty" / name;
        fs::create_directories(dir);
        if (type)
            put(dir / "type", type);
        link(dir / "device", hw);
        link(sys / "class" / "tty" / name, dir);
        node(name);
    }
    void driver(const fs::path &hw, const char *bus_driver)
    {
        link(hw / "driver", sys / "bus" / bus_driver);
    }
};

std::string listing(const std::vector<serial_port> &ports)
{
    char *buf = nullptr;
    size_t len = 0;
    std::FILE *out = open_memstream(&buf, &len);
    print_serial_ports(out, ports);
    std::fclose(out);
    std::string text(buf, len);
    std::free(buf);
    return text;
}

}  // namespace

TEST(SerialPorts, FakeTreeListedWithDriversAndUsbIds)
{
    FakeTree t;
    const fs::path devices = t.sys / "devices";
    // 16550 on the PNP bus: pnp device (driver "serial") > serial-base ctrl > serial-base port.
    const fs::path uart0 = devices / "pnp0" / "00:00";
    t.driver(uart0, "pnp/drivers/serial");
    t.driver(uart0 / "00:00:0" / "00:00:0.0", "serial-base/drivers/port");
    t.tty("ttyS0", uart0 / "00:00:0" / "00:00:0.0", "4");
    // Phantom ports: nodes exist, no UART.
    const fs::path platform = devices / "platform" / "serial8250";
    t.tty("ttyS1", platform / "serial8250:0.1", "0");
    t.tty("ttyS10", platform / "serial8250:0.10", "4");
    t.tty("ttyS2", platform / "serial8250:0.2", "4");
    // FTDI: USB device > interface > usb-serial port.
    const fs::path ftdi = devices / "pci0000:00" / "usb1" / "1-1";
    t.put(ftdi / "idVendor", "0403");
    t.put(ftdi / "idProduct", "6001");
    // A product string that would send escape sequences to the user's terminal.
    t.put(ftdi / "product", "FT232R\x1b]0;owned\x07 USB\x7f UART");
    t.driver(ftdi, "usb/drivers/usb");
    t.driver(ftdi / "1-1:1.0" / "ttyUSB0", "usb-serial/drivers/ftdi_sio");
    t.tty("ttyUSB0", ftdi / "1-1:1.0" / "ttyUSB0", nullptr);
    t.link(t.dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A10KZ1-if00-port0",
           "../../ttyUSB0");
    // CDC-ACM: the tty's device is the interface.
    const fs::path acm = devices / "pci0000:00" / "usb1" / "1-2";
    t.put(acm / "idVendor", "2341");
    t.put(acm / "idProduct", "0043");
    t.put(acm / "product", "Arduino Uno");
    t.driver(acm / "1-2:1.0", "usb/drivers/cdc_acm");
    t.tty("ttyACM0", acm / "1-2:1.0", nullptr);
    // Nodes without a class entry (one with a number no integer holds), and tty names that
    // are not serial ports.
    t.node("ttyUSB1");
    t.node("ttyUSB123456789012345678901234567890");
    for (const char *name : {"tty", "tty0", "ttyprintk", "ttyS", "ttySx1"})
        t.put(t.dev / name, "");
    // A port's name on something that is not a character device.
    t.put(t.dev / "ttyUSB7", "");
    fs::create_directories(t.dev / "ttyACM9");

    const std::string d = t.dev.string();
    EXPECT_EQ(listing(find_serial_ports(t.sys.c_str(), t.dev.c_str())),
              d + "/ttyACM0  cdc_acm  2341:0043  Arduino Uno\n" + d + "/ttyS0  serial\n" + d +
                  "/ttyS2\n" + d + "/ttyS10\n" + d +
                  "/ttyUSB0  ftdi_sio  0403:6001  FT232R?]0;owned? USB? UART  " + d +
                  "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ1-if00-port0\n" + d + "/ttyUSB1\n" +
                  d + "/ttyUSB123456789012345678901234567890\n");
}

TEST(SerialPorts, NothingThereListsNothing)
{
    FakeTree t;
    EXPECT_TRUE(find_serial_ports(t.sys.c_str(), t.dev.c_str()).empty());
    EXPECT_TRUE(find_serial_ports("/nonexistent-zelk-sys", "/nonexistent-zelk-dev").empty());
    // Without sysfs a ttyS node cannot be told from a phantom one; USB nodes still count.
    t.node("ttyS0");
    t.node("ttyACM3");
    EXPECT_EQ(listing(find_serial_ports("/nonexistent-zelk-sys", t.dev.c_str())),
              t.dev.string() + "/ttyACM3\n");
}

// Opening a port can hang on modem lines or reset a board (DTR); the enumerator reads names.
TEST(SerialPorts, NoDeviceNodeIsOpened)
{
    FakeTree t;
    t.tty("ttyS0", t.sys / "devices" / "pnp0" / "00:01", "4");
    t.node("ttyUSB0");
    t.node("ttyACM0");
    const int in = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(in, 0);
    ASSERT_GE(inotify_add_watch(in, t.dev.c_str(), IN_OPEN), 0);
    EXPECT_EQ(find_serial_ports(t.sys.c_str(), t.dev.c_str()).size(), 3u);
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
        for (char *p = buf; p < buf + n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(p);
            if (ev->len > 0)
                ADD_FAILURE() << "opened " << ev->name;
            p += sizeof(inotify_event) + ev->len;
        }
    close(in);
}

TEST(SerialPorts, PrintableReplacesEveryControlCharacter)
{
    const std::pair<std::string, std::string> cases[] = {
        {"FT232R USB UART", "FT232R USB UART"},
        {"Caf\xc3\xa9 \xe2\x82\xac", "Caf\xc3\xa9 \xe2\x82\xac"},  // UTF-8 stays
        {"a\tb\nc\x1b[2Jd\x7f", "a?b?c?[2Jd?"},                    // C0 and DEL
        {"x\xc2\x9b"
         "31m",
         "x?31m"},                        // C1: CSI
        {"\xff\xc3(\xe2\x82", "?\?(??"},  // not UTF-8
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(printable(in), out) << in;
}
