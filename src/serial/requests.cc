// Termination requests and the waits that take them: the request signals (SIGINT, SIGTERM and
// every other that ends a run) are blocked everywhere but inside ppoll, which unblocks them
// atomically with the wait. A request that comes between a
// look at kill_link and the wait stays pending and ends the wait as it begins, instead of being
// seen only once the wait has run its course.
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <climits>

#include "serial/serial.h"

volatile sig_atomic_t term_requests = 0;

namespace {
int stop_at = 1;       // term_requests that stop the line's writes and waits
sigset_t request_set;  // the signals that are termination requests
}  // namespace

int requests_to_stop() { return stop_at; }

int stopped() { return term_requests >= stop_at ? 1 : 0; }

void finish_despite_request(bool on)
{
    take_requests();
    stop_at = on ? INT_MAX : 1;
}

namespace {

// The mask of the waits: the thread's own, with the requests let in.
sigset_t wait_mask()
{
    sigset_t m;
    sigprocmask(SIG_BLOCK, nullptr, &m);
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&request_set, sig) == 1)
            sigdelset(&m, sig);
    return m;
}

// 1 when a request signal is pending.
int request_pending()
{
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return 0;
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&request_set, sig) == 1 && sigismember(&pending, sig) == 1)
            return 1;
    return 0;
}

}  // namespace

void hold_requests(const sigset_t &requests)
{
    request_set = requests;
    sigprocmask(SIG_BLOCK, &request_set, nullptr);
}

int take_requests()
{
    if (!request_pending())
        return 0;
    const sig_atomic_t before = term_requests;
    const sigset_t m = wait_mask();
    const struct timespec zero = {0, 0};
    ppoll(nullptr, 0, &zero, &m);  // the handler runs as the mask opens
    return term_requests != before ? 1 : 0;
}

wait_end wait_for(struct pollfd *fds, int nfds, mono_ns deadline, int requests)
{
    const sigset_t m = wait_mask();
    for (;;) {
        if (term_requests >= requests)
            return wait_end::REQUEST;
        const mono_ns left = deadline - monotonic_ns();
        const struct timespec ts = {static_cast<time_t>(left > 0 ? left / NS_PER_SEC : 0),
                                    static_cast<long>(left > 0 ? left % NS_PER_SEC : 0)};
        const int n = ppoll(fds, static_cast<nfds_t>(nfds), &ts, &m);
        if (term_requests >= requests)
            return wait_end::REQUEST;  // also when a descriptor became ready at the same time
        if (n > 0)
            return wait_end::READY;
        if (n == 0)
            return wait_end::TIMEOUT;
        // Another signal (a resized window) only makes the rest of the wait start again.
        if (errno != EINTR)
            return wait_end::FAILED;
    }
}
