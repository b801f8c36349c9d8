// The protocol file of the terminal and the echo test.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files.h"
#include "terminal/terminal.h"

namespace {

// Default protocol-file names by the port the device word contains; the first match wins, so
// "ttyS10" shares the file of "ttyS1".
struct prot_name {
    std::string_view port;
    std::string_view file;
};
constexpr std::array<prot_name, 2> prot_names{{
    {"ttyS0", "zelk.ttyS0"},
    {"ttyS1", "zelk.ttyS1"},
}};
constexpr std::string_view prot_name_other = "zelk.txt";

}  // namespace

std::string_view default_prot_name(std::string_view device)
{
    for (const prot_name &p : prot_names)
        if (device.find(p.port) != std::string_view::npos)
            return p.file;
    return prot_name_other;
}

file_ptr prot_file_open()
{
    if (protfilenam[0] == '\0') {
        // Kept in protfilenam, so a later opening in the same run uses the same name.
        const std::string_view name = default_prot_name(devnam);
        const size_t n = std::min(name.size(), sizeof protfilenam - 1);
        std::memcpy(protfilenam, name.data(), n);
        protfilenam[n] = '\0';
    }
    file_ptr f = create_output_file(protfilenam);
    if (!f) {
        std::fprintf(stderr, "\nProtocol file [%s] open error: %s\n", protfilenam,
                     std::strerror(errno));
        end_program(1);
    }
    return f;
}

void prot_file_error(int err)
{
    std::fprintf(stderr, "\nProtocol file [%s] write error: %s\n", protfilenam, std::strerror(err));
}

int prot_file_close(file_ptr &f, bool report)
{
    if (std::fclose(f.release()) == 0)
        return 1;
    if (report)
        prot_file_error(errno);
    return 0;
}
