// A simulated board on the bench: started for one test, with zelk run against it in a
// directory of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "board.h"
#include "harness.h"

namespace zt {

struct Bench {
    zb::Board board;
    TempDir dir;
    explicit Bench(zb::Config cfg = {}) : board(std::move(cfg))
    {
        std::string error;
        if (!board.start(&error))
            throw std::runtime_error("board: " + error);
    }
    // The words with the board's device after them.
    std::vector<std::string> words(std::vector<std::string> w) const
    {
        w.push_back(board.path());
        return w;
    }
    RunResult run(const std::vector<std::string> &w)
    {
        return run_zelk(words(w), {.cwd = dir.path});
    }
    // The input file "image.bin" in the run's directory.
    std::string image(const std::string &data)
    {
        write_file(dir.file("image.bin"), data);
        return data;
    }
    std::string output() const { return read_file(dir.file("zelk.out")); }
    std::string flash(U32 offset, std::size_t len) const
    {
        std::vector<U8> f = board.flash();
        return std::string(f.begin() + offset, f.begin() + offset + len);
    }
    // A failed test shows what the board saw: a rare failure explains itself.
    ~Bench()
    {
        if (testing::Test::HasFailure())
            for (const std::string &line : board.story())
                std::cerr << "board " << board.path() << " at " << line << '\n';
    }
};

// A board configuration with one fault.
inline zb::Config with_fault(zb::Fault f)
{
    zb::Config cfg;
    cfg.faults.push_back(std::move(f));
    return cfg;
}

}  // namespace zt
