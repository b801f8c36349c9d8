#include "board.h"

#include <cstdio>
#include <fstream>
#include <thread>

#include "board_impl.h"

namespace zb {

Step send(std::string bytes) { return Step{Step::Kind::Send, std::move(bytes), 0}; }
Step pause(int ms) { return Step{Step::Kind::Pause, {}, ms}; }
Step go_silent() { return Step{Step::Kind::Silence, {}, 0}; }
Step hang_up() { return Step{Step::Kind::HangUp, {}, 0}; }
Step taken() { return Step{Step::Kind::Taken, {}, 0}; }
Step held() { return Step{Step::Kind::Held, {}, 0}; }

std::string hex8(U32 v, bool lower)
{
    char text[9];
    std::snprintf(text, sizeof text, lower ? "%08x" : "%08X", v);
    return text;
}

Board::Board(Config cfg) : impl_(std::make_unique<Impl>()) { impl_->cfg = std::move(cfg); }

Board::~Board() { stop(); }

bool Board::start(std::string *error)
{
    std::string err;
    Impl &b = *impl_;
    bool ok = !b.thread.joinable() && !b.line.hung_up() && b.line.path().empty();
    if (!ok)
        err = "a board starts only once";
    if (ok && !b.cfg.flash_file.empty())
        ok = flash_attach_file(b.flash, b.cfg.flash_file, err);
    if (ok)
        ok = b.line.open(b.cfg.baud, b.cfg.wire_speed, err);
    if (ok && b.cfg.byte_by_byte)
        b.line.send_byte_by_byte();
    if (ok && !b.cfg.timing_file.empty())
        b.line.keep_timing();
    b.fault_uses.assign(b.cfg.faults.size(), 0);
    b.noise.seed(b.cfg.noise_seed);
    if (ok)
        b.thread = std::thread(monitor_run, std::ref(b));
    else if (error)
        *error = err;
    return ok;
}

void Board::stop()
{
    if (!impl_->thread.joinable())
        return;
    impl_->line.request_stop();
    impl_->thread.join();
    impl_->line.close();
    if (!impl_->cfg.timing_file.empty()) {
        std::ofstream f(impl_->cfg.timing_file);
        for (const PtyLine::Event &e : impl_->line.timing())
            f << e.kind << ' ' << e.at << ' ' << e.wire << ' ' << e.bytes << '\n';
    }
}

const std::string &Board::path() const { return impl_->line.path(); }

std::string Board::received() const { return impl_->line.received(); }

std::size_t Board::sent_by_host() const { return impl_->line.sent_by_host(); }

std::string Board::received_all() const
{
    constexpr int POLL_MS = 5, LIMIT_MS = 10000;
    for (int waited = 0; waited < LIMIT_MS && impl_->line.received_count() < sent_by_host();
         waited += POLL_MS)
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    return received();
}

void Board::release() { impl_->released.store(true); }

std::vector<std::string> Board::story() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->story;
}

std::vector<std::chrono::steady_clock::time_point> Board::received_times() const
{
    return impl_->line.received_times();
}

std::vector<CommandRecord> Board::commands() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->commands;
}

bool Board::wait_for_commands(std::size_t n, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [&] { return impl_->commands.size() >= n; });
}

long Board::garbled_to_host() const { return impl_->line.garbled_to_host(); }
long Board::garbled_from_host() const { return impl_->line.garbled_from_host(); }
int Board::markers_offered() const { return impl_->markers.load(); }
int Board::marker_chances() const { return impl_->marker_chances.load(); }
int Board::baud() const { return impl_->line.baud(); }
long Board::bits_flipped() const { return impl_->flipped.load(); }
bool Board::hung_up() const { return impl_->line.hung_up(); }

std::vector<U8> Board::flash() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->flash.bytes;
}

void Board::load_flash(U32 offset, const std::vector<U8> &bytes)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    flash_store(impl_->flash, offset, bytes.data(), bytes.size());
}

}  // namespace zb
