// Resuming an interrupted block write from the run report of the run it interrupted ("resume
// FILE"): the report is read as JSON, and the resume is bound to the image (its bytes and where
// they go) and to the board (its device, its flash ids) that the report records.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "zelk.h"

// Flash offset of the first sector the resumed write starts with; -1 for a whole write. Set by
// check_resume.
extern long resume_offset;

// One region of the image as the report places it in the flash.
struct resume_region {
    U32 offset{};
    U32 bytes{};
};

// What the report of a block write says about its image, its board and how far the write came.
struct resume_record {
    std::string sha256;       // of the image, 64 lower-case hex digits
    long first_incomplete{};  // offset of the first sector not known complete; -1: completed
    std::vector<resume_region> regions;  // as listed (the report lists the first 64)
    unsigned long region_count{};
    std::string device;
    std::string device_by_id;              // "" when the report has none
    std::optional<U32> manufacturer_code;  // when the run read it
    std::optional<U32> device_id;
};

// Reads `text`, a run report in any valid JSON form. 1 = a report with a block write's record in
// rec; 0 = invalid JSON, a key given twice in one object, not a zelk report, a number out of range,
// or none of a block write (`why` says which).
int read_resume_record(const std::string &text, resume_record &rec, std::string &why);

// Before the device is opened, when "resume" is given: the report must be zelk's (a regular file
// of at most 1 MiB), of a write of this image (the same SHA-256 and the same regions at the same
// flash offsets) on this device (its /dev/serial/by-id name when the report has one), that did not
// complete. Sets resume_offset. 1 = the write may resume; 0 after one line naming what differs.
int check_resume();

// A flash id read in this run (`device`: the device id, else the manufacturer code): 0 after a
// message when the report being resumed recorded another one, 1 otherwise.
int check_resume_flash_code(bool device, U32 code);

// Whether the block write reads the flash back and compares it: "verify", or a resumed write,
// which must prove that the earlier run and this one together put the whole image in place.
bool write_verifies();
