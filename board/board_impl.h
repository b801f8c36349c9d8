// Inside of the simulated board: the state its thread and the test thread share.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "board.h"
#include "nor_flash.h"
#include "pty_line.h"

namespace zb {

using Clock = std::chrono::steady_clock;

struct Board::Impl {
    Config cfg;  // read-only once started
    PtyLine line;
    std::thread thread;

    // Shared with the test thread, guarded by mu.
    mutable std::mutex mu;
    mutable std::condition_variable changed;
    NorFlash flash;
    std::vector<CommandRecord> commands;
    std::atomic<int> markers{0};
    std::atomic<int> marker_chances{0};  // idle moments a marker was due (offered or not)
    std::atomic<bool> released{false};   // Board::release was called
    std::vector<std::string> story;      // what the board noted, each line with its time
    Clock::time_point started = Clock::now();

    // Board thread only.
    std::map<std::string, int> seen;  // commands taken so far, per letters
    bool silent = false;              // a fault stopped the monitor until zelk's next byte
    bool mute = false;                // a data fault stopped it until zelk opens the line again
    int muted_at_opens = 0;           // the line's opens when it went mute: a later one lifts it
    bool speed_switched = false;
    bool host_followed = false;  // zelk's line has run at the board's speed since the last switch
    Clock::time_point switched_at;
    std::vector<int> fault_uses;  // per Config::faults, commands each one applied to
    std::mt19937 noise;           // seeded with Config::noise_seed
    std::atomic<long> flipped{0};
    long bytes_in = 0;  // bytes taken from zelk, for hang_up_after_bytes
    int offers = 0;     // markers the host got since it last opened the line (a flushed one is not)
    int host_opens = 0;
    bool marker_unread = false;  // the last marker sent may still wait in the host's input
    bool host_set_up = false;    // the host has flushed its input since it opened the line
    Clock::time_point opened_at;
};

// The monitor's main loop, run on the board thread until the line closes.
void monitor_run(Board::Impl &b);

}  // namespace zb
