// SHA-256 of a byte string or a file: the image's digest in the run report, so that a record
// names exactly what was written.
#pragma once

#include <cstddef>
#include <cstdint>

class sha256 {
public:
    sha256();
    void update(const void *data, std::size_t len);
    // The digest as 64 lower-case hex digits and a terminator. Ends the computation.
    void hex(char out[65]);

private:
    void block(const std::uint8_t *p);
    std::uint32_t h_[8];
    std::uint8_t buf_[64];
    std::size_t used_ = 0;
    std::uint64_t bytes_ = 0;
};

// The digest of the file's whole contents into out; 0 when it cannot be read (out then "").
int sha256_file(const char *path, char out[65]);
