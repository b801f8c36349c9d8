// The tool's global settings put back as the program starts with them, for tests that parse
// options. The values are read from the settings themselves before the first test runs, so no
// copy of their initial values is kept here; only the list of settings is.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/recovery/resume.h"
#include "report/report.h"
#include "zelk.h"

namespace zt {

namespace settings_detail {

struct Setting {
    void *at;
    std::size_t size;
};

// Every setting an option or the options file can change.
inline std::vector<Setting> all_settings()
{
    std::vector<Setting> s = {{devnam, sizeof devnam},
                              {inpfilenam, sizeof inpfilenam},
                              {outfilenam, sizeof outfilenam},
                              {protfilenam, sizeof protfilenam},
                              {reportfilenam, sizeof reportfilenam},
                              {label_text, sizeof label_text},
                              {run_id_text, sizeof run_id_text},
                              {progressfilenam, sizeof progressfilenam},
                              {tracefilenam, sizeof tracefilenam},
                              {resumefilenam, sizeof resumefilenam},
                              {&inspeed, sizeof inspeed},
                              {&erase_sectors_cmd, sizeof erase_sectors_cmd},
                              {&flash_base, sizeof flash_base}};
    for (int *flag :
         {&terminal_cmd,       &echo_test_cmd, &manufactory_cmd,    &deviceid_cmd,
          &erase_cmd,          &dram_test_cmd, &dram_byte_test_cmd, &dram_halfword_test_cmd,
          &dram_word_test_cmd, &fastwrite_cmd, &write_cmd,          &read_cmd,
          &read_registers,     &file_size,     &block_size,         &hash,
          &verify_opt,         &write_offset,  &write_speed,        &read_speed,
          &terminal_hex_opt,   &echo_opt,      &timestamps_opt,     &reconnect_opt,
          &idle_seconds,       &dram_timeout,  &ready_wait})
        s.push_back({flag, sizeof *flag});
    for (int *flag : {&image_format_opt, &erase_needed_opt, &plan_opt, &write_retries, &pause_ms})
        s.push_back({flag, sizeof *flag});
    return s;
}

// The settings' bytes at program start: taken during static initialisation, after the settings'
// own constant initialisation and before any test has run.
inline const std::vector<std::string> at_start = [] {
    std::vector<std::string> v;
    for (const Setting &s : all_settings())
        v.emplace_back(static_cast<const char *>(s.at), s.size);
    return v;
}();

}  // namespace settings_detail

// Puts every setting back to the value it has at program start.
inline void restore_default_settings()
{
    const std::vector<settings_detail::Setting> all = settings_detail::all_settings();
    for (std::size_t i = 0; i < all.size(); i++)
        std::memcpy(all[i].at, settings_detail::at_start[i].data(), all[i].size);
}

}  // namespace zt
