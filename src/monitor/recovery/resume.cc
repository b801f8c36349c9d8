// The report of an interrupted write, read back for "resume".
#include "monitor/recovery/resume.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "files.h"
#include "monitor/image/image.h"
#include "monitor/link/link.h"
#include "report/report.h"
#include "serial/ports.h"

long resume_offset = -1;

namespace {

using nlohmann::json;

constexpr long REPORT_BYTES_MAX = 1 << 20;  // a report is a few KiB

resume_record resumed_from;  // the report check_resume accepted

// The parsed report, or a discarded value; `duplicate` receives the first key given twice in one
// object (the parser itself keeps the last, where another reader might keep the first).
json parse_report(const std::string &text, std::string &duplicate)
{
    std::vector<std::set<std::string>> open;
    auto watch = [&](int, json::parse_event_t ev, json &parsed) {
        if (ev == json::parse_event_t::object_start)
            open.emplace_back();
        else if (ev == json::parse_event_t::object_end && !open.empty())
            open.pop_back();
        else if (ev == json::parse_event_t::key && !open.empty() &&
                 !open.back().insert(parsed.get<std::string>()).second && duplicate.empty())
            duplicate = parsed.get<std::string>();
        return true;
    };
    return json::parse(text, watch, false);
}

bool is_sha256(const json &v)
{
    if (!v.is_string() || v.get_ref<const std::string &>().size() != 64)
        return false;
    for (char c : v.get_ref<const std::string &>())
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// An unsigned integer below `limit` into v.
bool unsigned_below(const json &j, unsigned long long limit, unsigned long long &v)
{
    if (!j.is_number_unsigned())
        return false;
    v = j.get<unsigned long long>();
    return v < limit;
}

// A flash id as the report writes it ("0x000000c8") or null.
bool read_code(const json &obj, const char *key, std::optional<U32> &code)
{
    if (!obj.contains(key) || obj[key].is_null())
        return true;
    const json &v = obj[key];
    U32 value = 0;
    if (!v.is_string() || v.get_ref<const std::string &>().size() != 10 ||
        v.get_ref<const std::string &>().compare(0, 2, "0x") != 0 ||
        !parse_hex8(v.get_ref<const std::string &>().c_str() + 2, value))
        return false;
    code = value;
    return true;
}

// The regions of the write's image record. 0 with `why` when one is out of the flash.
int read_regions(const json &image, resume_record &rec, std::string &why)
{
    if (!image.contains("regions") || !image["regions"].is_array() ||
        !image.contains("region_count")) {
        why = "records no block write";
        return 0;
    }
    unsigned long long count = 0;
    if (!unsigned_below(image["region_count"], FLASH_BYTES + 1ULL, count) ||
        count < image["regions"].size()) {
        why = "has region_count out of range";
        return 0;
    }
    rec.region_count = static_cast<unsigned long>(count);
    for (const json &r : image["regions"]) {
        unsigned long long offset = 0, bytes = 0;
        if (!r.is_object() || !r.contains("offset") || !r.contains("bytes") ||
            !unsigned_below(r["offset"], FLASH_BYTES, offset) ||
            !unsigned_below(r["bytes"], FLASH_BYTES + 1ULL - offset, bytes) || bytes == 0) {
            why = "has a region out of the flash";
            return 0;
        }
        rec.regions.push_back({static_cast<U32>(offset), static_cast<U32>(bytes)});
    }
    return 1;
}

// The block write's record in the report's operations; null when there is none.
const json *write_record(const json &ops)
{
    for (const json &op : ops)
        if (op.is_object() && op.contains("name") && op["name"] == "write" &&
            op.contains("image") && op["image"].is_object())
            return &op;
    return nullptr;
}

// This run's device as the report names devices: its /dev/serial/by-id name when the report has
// one, else its path.
std::string this_device(const resume_record &rec)
{
    if (rec.device_by_id.empty())
        return devnam;
    char by_id[NAME_BUF_SIZE];
    stable_device_name(devnam, BY_ID_DIR, by_id, sizeof by_id);
    return by_id[0] ? by_id : devnam;
}

bool same_device(const resume_record &rec)
{
    if (!rec.device_by_id.empty())
        return this_device(rec) == rec.device_by_id;
    return rec.device == devnam || same_place(rec.device.c_str(), devnam);
}

// One line naming the first region that differs between the report and this run's image.
// 1 = the same regions.
int same_regions(const resume_record &rec)
{
    const std::vector<image_region> &now = write_image.regions;
    if (rec.region_count != now.size()) {
        std::fprintf(stderr, "\nResume: [%s] records %lu regions of the image, not %zu\n",
                     resumefilenam, rec.region_count, now.size());
        return 0;
    }
    for (std::size_t i = 0; i < rec.regions.size(); i++) {
        const resume_region &r = rec.regions[i];
        if (r.offset != now[i].offset || r.bytes != now[i].bytes.size()) {
            std::fprintf(stderr,
                         "\nResume: [%s] records region %zu at offset 0x%x (%u bytes), not at "
                         "0x%x (%zu bytes)\n",
                         resumefilenam, i + 1, r.offset, r.bytes, now[i].offset,
                         now[i].bytes.size());
            return 0;
        }
    }
    return 1;
}

}  // namespace

int read_resume_record(const std::string &text, resume_record &rec, std::string &why)
{
    std::string duplicate;
    const json j = parse_report(text, duplicate);
    if (j.is_discarded()) {
        why = "is not valid JSON";
        return 0;
    }
    if (!duplicate.empty()) {
        why = "has the key \"" + duplicate + "\" twice";
        return 0;
    }
    if (!j.is_object() || !j.contains("version") || !j["version"].is_string() ||
        !j.contains("operations") || !j["operations"].is_array() || !j.contains("exit_status") ||
        !j["exit_status"].is_number_unsigned() || !j.contains("device") ||
        !j["device"].is_string()) {
        why = "is not a zelk run report";
        return 0;
    }
    rec = resume_record{};
    rec.device = j["device"].get<std::string>();
    if (j.contains("device_by_id") && j["device_by_id"].is_string())
        rec.device_by_id = j["device_by_id"].get<std::string>();
    if (!read_code(j, "manufacturer_code", rec.manufacturer_code) ||
        !read_code(j, "device_id", rec.device_id)) {
        why = "is not a zelk run report";
        return 0;
    }
    const json *op = write_record(j["operations"]);
    if (!op || !(*op)["image"].contains("sha256") ||
        !(*op)["image"].contains("first_incomplete_sector_offset")) {
        why = "records no block write";
        return 0;
    }
    const json &image = (*op)["image"];
    if (!is_sha256(image["sha256"])) {
        why = "is not a zelk run report";
        return 0;
    }
    rec.sha256 = image["sha256"].get<std::string>();
    const json &first = image["first_incomplete_sector_offset"];
    unsigned long long offset = 0;
    if (first.is_null()) {
        rec.first_incomplete = -1;
    } else if (unsigned_below(first, FLASH_BYTES, offset) && offset % SECTOR_BYTES == 0) {
        rec.first_incomplete = static_cast<long>(offset);
    } else {
        why = "has first_incomplete_sector_offset out of range (no sector's start in the flash)";
        return 0;
    }
    return read_regions(image, rec, why);
}

int check_resume()
{
    resume_offset = -1;
    if (!resumefilenam[0])
        return 1;
    bool not_regular = false;
    file_ptr f = open_regular_file(resumefilenam, &not_regular);
    if (!f) {
        if (not_regular)
            std::fprintf(stderr, "\nResume: [%s] is not a regular file\n", resumefilenam);
        else
            std::fprintf(stderr, "\nResume: report [%s] cannot be read: %s\n", resumefilenam,
                         std::strerror(errno));
        return 0;
    }
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f.get())) > 0;) {
        text.append(buf, n);
        if (static_cast<long>(text.size()) > REPORT_BYTES_MAX)
            break;
    }
    if (std::ferror(f.get())) {
        std::fprintf(stderr, "\nResume: report [%s] cannot be read\n", resumefilenam);
        return 0;
    }
    resume_record rec;
    std::string why;
    if (static_cast<long>(text.size()) > REPORT_BYTES_MAX)
        why = "is larger than 1 MiB: no zelk run report";
    if (!why.empty() || !read_resume_record(text, rec, why)) {
        std::fprintf(stderr, "\nResume: [%s] %s\n", resumefilenam, why.c_str());
        return 0;
    }
    if (rec.sha256 != write_image.sha256) {
        std::fprintf(stderr,
                     "\nResume: [%s] records another image (SHA-256 %s), not [%s] (SHA-256 %s)\n",
                     resumefilenam, rec.sha256.c_str(), inpfilenam, write_image.sha256);
        return 0;
    }
    if (!same_regions(rec))
        return 0;
    if (!same_device(rec)) {
        std::fprintf(stderr, "\nResume: [%s] records the write on device [%s], not [%s]\n",
                     resumefilenam,
                     (rec.device_by_id.empty() ? rec.device : rec.device_by_id).c_str(),
                     this_device(rec).c_str());
        return 0;
    }
    if (rec.first_incomplete < 0) {
        std::fprintf(stderr, "\nResume: the write [%s] records completed: nothing to resume\n",
                     resumefilenam);
        return 0;
    }
    resume_offset = rec.first_incomplete;
    resumed_from = rec;
    return 1;
}

int check_resume_flash_code(bool device, U32 code)
{
    const std::optional<U32> &recorded =
        device ? resumed_from.device_id : resumed_from.manufacturer_code;
    if (resume_offset < 0 || !recorded || *recorded == code)
        return 1;
    std::fprintf(stderr, "\nResume: [%s] records %s 0x%08x, not 0x%08x\n", resumefilenam,
                 device ? "device id" : "manufacturer code", *recorded, code);
    return 0;
}

bool write_verifies() { return verify_opt != 0 || resume_offset >= 0; }
