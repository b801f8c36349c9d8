// Resuming an interrupted block write from the run report of the run it interrupted ("resume
// FILE"): the report is read with a small strict reader of zelk's own report format.
#pragma once

#include <string>

#include "zelk.h"

// Flash offset of the first sector the resumed write starts with; -1 for a whole write. Set by
// check_resume.
extern long resume_offset;

// What the report of a block write says about its image and how far the write came.
struct resume_record {
    std::string sha256;       // of the image, 64 lower-case hex digits
    long first_incomplete{};  // offset of the first sector not known complete; -1: completed
};

// Reads `text`, a run report as zelk writes it. 1 = a report with a block write's record in rec;
// 0 = not a zelk report, or none of a block write (`why` says which).
int read_resume_record(const std::string &text, resume_record &rec, std::string &why);

// Before the device is opened, when "resume" is given: the report must be zelk's, of a write of
// this image (same SHA-256) that did not complete. Sets resume_offset. 1 = the write may resume;
// 0 after the message.
int check_resume();
