#include "cli/StopSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <initializer_list>

#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
std::atomic<int> g_signals{0};
std::atomic<int> g_first{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free counter");

// Signals beyond this many end the program at once, without its row: the last resort for a
// program whose event loop no longer runs.
constexpr int kSignalsBeforeExit = 2;

void onStopSignal(int sig) {
    const int saved = errno;
    int none = 0;
    g_first.compare_exchange_strong(none, sig);
    if (g_signals.fetch_add(1) >= kSignalsBeforeExit)
        _exit(128 + g_first.load()); // the kernel closes the port
    const char byte = 1;
    if (g_pipe[1] >= 0)
        (void)!write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

int InstallStopSignals() {
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_pipe[0] = g_pipe[1] = -1;
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &stop, nullptr);
    // A reader that went away (zubload | head) must not kill a download half-way.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    return g_pipe[0];
}

bool StopSignalSeen() {
    return g_signals.load() > 0;
}

int StopSignalNumber() {
    return g_first.load();
}

int StopSignalStatus() {
    const int sig = g_first.load();
    return 128 + (sig > 0 ? sig : SIGINT);
}

void DrainStopSignals(int readFd) {
    char buffer[16];
    while (read(readFd, buffer, sizeof buffer) > 0) {
    }
}
