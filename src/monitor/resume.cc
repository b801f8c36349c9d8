// The report of an interrupted write, read back for "resume".
#include "monitor/resume.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "files.h"
#include "monitor/image.h"

long resume_offset = -1;

namespace {

constexpr long REPORT_BYTES_MAX = 1 << 20;  // a report is a few KiB

// The text after `key` (a quoted name with its ": ") in `line`; npos when absent.
std::size_t value_at(const std::string &line, const char *key)
{
    const std::size_t at = line.find(key);
    return at == std::string::npos ? at : at + std::strlen(key);
}

}  // namespace

int read_resume_record(const std::string &text, resume_record &rec, std::string &why)
{
    // The frame of every report: the opening brace, the version first, the operations' list,
    // the exit status last.
    if (text.rfind("{\n  \"version\": \"", 0) != 0 ||
        text.find("\n  \"operations\": [") == std::string::npos ||
        text.find("\n  \"exit_status\": ") == std::string::npos || !text.ends_with("}\n")) {
        why = "is not a zelk run report";
        return 0;
    }
    const std::size_t op = text.find("\n    {\"name\": \"write\", ");
    if (op == std::string::npos) {
        why = "records no block write";
        return 0;
    }
    const std::string line = text.substr(op + 1, text.find('\n', op + 1) - op - 1);
    const std::size_t image = value_at(line, "\"image\": {\"format\": \"");
    const std::size_t sha = value_at(line, "\"sha256\": \"");
    const std::size_t first = value_at(line, "\"first_incomplete_sector_offset\": ");
    if (image == std::string::npos || sha == std::string::npos || first == std::string::npos ||
        sha + 65 > line.size() || line[sha + 64] != '"') {
        why = "records no block write";
        return 0;
    }
    rec.sha256 = line.substr(sha, 64);
    for (char c : rec.sha256)
        if (!std::isxdigit(static_cast<unsigned char>(c)) ||
            std::isupper(static_cast<unsigned char>(c))) {
            why = "is not a zelk run report";
            return 0;
        }
    if (line.compare(first, 4, "null") == 0) {
        rec.first_incomplete = -1;
        return 1;
    }
    long v = 0;
    std::size_t i = first;
    for (; i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])) && v <= FLASH_BYTES;
         i++)
        v = v * 10 + (line[i] - '0');
    if (i == first || v >= FLASH_BYTES || v % SECTOR_BYTES != 0 ||
        (line[i] != ',' && line[i] != '}')) {
        why = "is not a zelk run report";
        return 0;
    }
    rec.first_incomplete = v;
    return 1;
}

int check_resume()
{
    resume_offset = -1;
    if (!resumefilenam[0])
        return 1;
    bool not_regular = false;
    file_ptr f = open_regular_file(resumefilenam, &not_regular);
    std::string text;
    if (f) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f.get())) > 0;) {
            text.append(buf, n);
            if (static_cast<long>(text.size()) > REPORT_BYTES_MAX)
                break;
        }
    }
    if (!f || std::ferror(f.get())) {
        std::fprintf(stderr, "\nResume: report [%s] cannot be read\n", resumefilenam);
        return 0;
    }
    resume_record rec;
    std::string why;
    if (static_cast<long>(text.size()) > REPORT_BYTES_MAX || !read_resume_record(text, rec, why)) {
        std::fprintf(stderr, "\nResume: [%s] %s\n", resumefilenam,
                     why.empty() ? "is not a zelk run report" : why.c_str());
        return 0;
    }
    if (rec.sha256 != write_image.sha256) {
        std::fprintf(stderr,
                     "\nResume: [%s] records another image (SHA-256 %s), not [%s] (SHA-256 %s)\n",
                     resumefilenam, rec.sha256.c_str(), inpfilenam, write_image.sha256);
        return 0;
    }
    if (rec.first_incomplete < 0) {
        std::fprintf(stderr, "\nResume: the write [%s] records completed: nothing to resume\n",
                     resumefilenam);
        return 0;
    }
    resume_offset = rec.first_incomplete;
    return 1;
}
