// The serial ports present on the machine, found from sysfs and /dev without opening any of
// them: what "ports" lists and what a missing device's message offers instead.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// One serial port. Fields that sysfs does not tell are empty.
struct serial_port {
    std::string device;   // "/dev/ttyUSB0" (under the /dev root given)
    std::string driver;   // kernel driver of the port's hardware: "serial", "ftdi_sio", "cdc_acm"
    std::string usb_id;   // USB adapters: "vendor:product" in hexadecimal, "0403:6001"
    std::string product;  // USB adapters: the product string, "FT232R USB UART"
    std::string by_id;    // the /dev/serial/by-id link naming the device, if any
};

// Where the ports are looked for on a running system.
inline constexpr const char *SYSFS_ROOT = "/sys";
inline constexpr const char *DEV_ROOT = "/dev";
inline constexpr const char *BY_ID_DIR = "/dev/serial/by-id";

// The ports under `sysfs_root` (normally "/sys") and `dev_root` (normally "/dev"), in name
// order: /dev/ttyS* whose UART sysfs reports as present (a type other than 0; the kernel creates
// nodes for phantom 8250 ports too), and every /dev/ttyUSB* and /dev/ttyACM* node; only
// character devices. Reads sysfs attributes and directory listings only; no device node is
// opened.
std::vector<serial_port> find_serial_ports(const char *sysfs_root, const char *dev_root);

// One line per port: the device, then the fields known, separated by two blanks, each with
// every control character (and every byte that is not UTF-8) shown as "?".
void print_serial_ports(std::FILE *out, const std::vector<serial_port> &ports);

// The stable name of device `dev`: the entry of folder `by_id` (/dev/serial/by-id) that leads to
// the same device node, into out (size bytes). 0 when there is none (out then "").
int stable_device_name(const char *dev, const char *by_id, char *out, int size);

// `text` with every control character (C0, DEL, C1) and every byte outside well-formed UTF-8
// replaced by "?".
std::string printable(const std::string &text);
