// The board's end of the RS-232 line: the master side of a pseudo-terminal whose slave zelk opens.
// It plays the wire and the board's UART: speed mismatch garbles bytes, optional wire timing.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "protocol.h"

namespace zb {

// Baud rate of a termios speed code and back; 0 for a rate or code outside the table.
int baud_of_code(speed_t code);
speed_t code_of_baud(int baud);

// Opens a pseudo-terminal pair as openpty does, the slave set to `attrs` when given, with both
// descriptors close-on-exec from the moment they exist: a process another thread forks in the
// meantime inherits neither (it would hold the line open, and could read its bytes). False with
// errno set when the pair cannot be made.
bool open_pty(int &master, int &slave, std::string &path, const struct termios *attrs);

enum class Rx { Byte, Timeout, Closed };  // Closed: the board is stopping or has hung up

class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    // One timestamp of the line's traffic (steady clock, nanoseconds), kept when timing is on.
    struct Event {
        char kind;     // 'T' bytes written for the host; 'R' bytes read from it
        long long at;  // T: when they began to go into the pseudo-terminal; R: when they were read
        long long wire;  // T: when their first bit went on the wire; R: when their last bit came
        long bytes;
    };

    // Opens the pair, the slave raw 8N1 at `baud`. On failure `err` says why.
    bool open(int baud, bool wire_speed, std::string &err);
    // From now on every byte sent goes alone: the next one only once zelk has read it, so that
    // each reaches zelk in a read of its own, as from a slow line or an adapter that delivers
    // byte by byte.
    void send_byte_by_byte() { byte_by_byte_ = true; }
    // Told of each byte sent byte by byte that zelk took a second or more to read (or never read):
    // when a test fails, which side was late.
    std::function<void(const std::string &)> on_slow_read;
    const std::string &path() const { return path_; }

    // Board thread only.
    Rx read_byte(U8 &b, int timeout_ms);
    bool send(const std::string &bytes);  // false once the line is closed
    bool sleep_ms(int ms);                // false when woken by request_stop
    int host_baud() const;                // the speed zelk set on the slave, 0 if unknown
    int queued_for_host() const;          // bytes sent that zelk has not read yet
    // Waits until zelk has read every byte sent, or `limit_ms` passed (a host that has stopped
    // reading); false when woken by request_stop.
    bool wait_read_by_host(int limit_ms);
    // Whether zelk flushed its input (what the board sent and it had not read) since the last
    // call. Looks at the line without waiting; bytes zelk sent meanwhile are kept for read_byte.
    bool host_flushed();
    bool input_pending() const { return !rx_.empty(); }  // bytes taken and not read_byte'd yet
    int host_opens();  // times the slave was opened by others so far
    void hang_up();    // closes both ends: zelk's reads fail from now on
    void close();      // the same without counting as a hang-up (board stopped)
    bool hung_up() const { return hung_up_.load(); }
    void keep_timing() { timing_ = true; }                        // before traffic starts
    const std::vector<Event> &timing() const { return events_; }  // once the board has stopped

    // Any thread.
    void request_stop();
    void set_baud(int baud) { baud_.store(baud); }
    int baud() const { return baud_.load(); }
    std::string received() const;
    std::size_t received_count() const;  // received().size()
    // When each byte of received() was taken from the line.
    std::vector<std::chrono::steady_clock::time_point> received_times() const;
    // Bytes zelk has put on the line so far: those received() and those still queued for the
    // board. Exact while zelk writes nothing (it is stopped, or waits).
    std::size_t sent_by_host() const;
    long garbled_to_host() const { return garbled_to_host_.load(); }
    long garbled_from_host() const { return garbled_from_host_.load(); }

private:
    bool wait_fd(short events, int timeout_ms);  // true when ready; false on timeout or stop
    using Time = std::chrono::steady_clock::time_point;
    bool pause_until(Time t);
    std::chrono::nanoseconds wire_time(long bytes) const;
    void note(char kind, Time at, Time wire, long bytes);
    void take_input();
    bool mismatched() const;
    void read_watch();  // takes the watch's events: counts the opens

    int master_ = -1;
    int slave_ =
        -1;  // the board's own slave descriptor: FIONREAD, and no hang-up while zelk is away
    int wake_[2] = {-1, -1};
    int watch_ = -1;  // inotify on the slave's node: tells when zelk opens the line, reads it
    int opens_ = 0;
    std::string path_;
    bool wire_speed_ = false;
    bool byte_by_byte_ = false;
    // With wire timing, each direction carries one byte at a time: the time its line is busy
    // until. Pauses run to these marks, so their wake-up delays never add up.
    Time tx_until_{}, rx_until_{};
    bool tx_streaming_ = false;  // the last thing done was a write for the host
    bool host_flushed_ = false;  // a flush of zelk's input seen and not yet told
    bool timing_ = false;
    std::vector<Event> events_;  // board thread only
    std::deque<U8> rx_;          // bytes read from zelk, not yet consumed by the monitor
    std::atomic<int> baud_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> hung_up_{false};
    std::atomic<long> garbled_to_host_{0};
    std::atomic<long> garbled_from_host_{0};
    mutable std::mutex mu_;
    std::string received_;  // every byte zelk put on the line, as sent, guarded by mu_
    std::vector<std::chrono::steady_clock::time_point> received_at_;  // guarded by mu_
};

}  // namespace zb
