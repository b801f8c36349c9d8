// The job checked as a whole before the device is opened: every input the selected operations
// will need, the write's image read and checked whole. A mistake on the command line then costs the
// board nothing (a typo in a file name must not follow a chip erase). The operations keep their own
// checks: a file can change between the two.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "events/events.h"
#include "files.h"
#include "monitor/flash_read.h"
#include "monitor/image/image.h"
#include "monitor/image/input_file.h"
#include "monitor/link/progress.h"
#include "monitor/recovery/resume.h"
#include "report/report.h"
#include "serial/serial.h"
#include "terminal/terminal.h"
#include "zelk.h"

namespace {

// The files of the run, checked together: one that is another of them or the device, or a node
// the run cannot use as it means to, is refused. The report is not written over a refused
// report file.
int check_files()
{
    const bool writes = fastwrite_cmd == 1 || write_cmd;
    const bool protocol = terminal_cmd == 1 || echo_test_cmd == 1;
    // The name the terminal or the echo test will take when none is given.
    const std::string prot = protfilenam[0] ? protfilenam : std::string(default_prot_name(devnam));
    // In this order: of two files that clash, the one named first is said to be the other. The
    // report comes first, so that a report written after another file's refusal has passed.
    const run_file files[] = {
        {ROLE_DEVICE, devnam},
        {ROLE_INPUT, writes ? inpfilenam : ""},
        {ROLE_REPORT, reportfilenam},
        {ROLE_TRACE, tracefilenam},
        {ROLE_PROGRESS, progressfilenam},
        {ROLE_PROTOCOL, protocol ? prot.c_str() : ""},
        {ROLE_RESUME, resumefilenam},
        {ROLE_OUTPUT, read_cmd ? outfilenam : ""},
    };
    file_role refused = ROLE_DEVICE;
    if (check_run_files(files, &refused))
        return 1;
    if (refused == ROLE_REPORT)
        report_cancel();
    return 0;
}

// The write's image, read and checked whole (its format, its place in the flash); the byte
// write's file, which goes from the monitor's start of the flash, fits it too.
int check_write_input()
{
    if (!load_write_image())
        return 0;
    if (write_image.loaded)
        report_image_sha256(write_image.sha256);
    if (fastwrite_cmd == 1 || !write_cmd)
        return 1;
    long len = 0;
    return check_input_file(inpfilenam, &len) && check_byte_write(len);
}

// The line speed (0 keeps the line's own) and the data speeds of the block write and of the flash
// read must be ones of the table.
int check_data_speeds()
{
    if (inspeed != 0 && speed_toh(inspeed) == 0)
        return 0;
    if (fastwrite_cmd == 1 && write_speed != 0 && speed_toh(write_speed) == 0)
        return 0;
    return !read_cmd || read_data_speed() == 0 || speed_toh(read_data_speed()) != 0;
}

// The read creates or empties its output file only when the monitor's data begins; whether it
// will be able to is known now.
int check_read_output()
{
    if (!read_cmd || output_file_creatable(outfilenam))
        return 1;
    // On standard output, as the read itself reports it.
    std::printf("\nOutput file [%s] open error: %s\n", outfilenam, std::strerror(errno));
    return 0;
}

}  // namespace

// The progress file of the "progress" option is opened here, and its first line written: a file
// that cannot be written ends the run before the board is touched, as the other outputs do.
int check_job()
{
    return check_files() && check_write_input() && check_resume() && check_data_speeds() &&
           check_read_output() && events_open();
}
