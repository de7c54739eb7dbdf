#include "tools/SimRunner.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace zubsim {

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) {
    g_stop = 1;
}

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

bool ParseInt(const std::string& text, int minValue, int* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno || *end || v < minValue || v > 1000000000L)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool ParseId(const std::string& text, std::array<uint8_t, 5>* id) {
    if (text.size() != 10)
        return false;
    for (size_t i = 0; i < 5; ++i) {
        unsigned v = 0;
        for (size_t k = 0; k < 2; ++k) {
            const char c = text[2 * i + k];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
            v = v * 16 + d;
        }
        (*id)[i] = static_cast<uint8_t>(v);
    }
    return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

class Runner : public BoardSink {
public:
    explicit Runner(const RunOptions& options)
        : options_(options), protocol_(options.board, *this),
          byteMs_(options.paceBaud > 0 ? 10000.0 / options.paceBaud : 0.0) {}
    ~Runner() override { Cleanup(); }

    int Run();

    void Reply(const uint8_t* data, size_t size, int delayMs) override {
        double at = std::max(procMs_ + delayMs, txClockMs_);
        const size_t first = out_.size();
        for (size_t i = 0; i < size; ++i) {
            at += byteMs_;
            out_.push_back({data[i], at});
        }
        txClockMs_ = at;
        // A USB adapter passes what it received on when its latency timer runs out, so the
        // reply reaches the host whole, that long after its last byte left the board.
        if (options_.replyLatencyMs > 0) {
            for (size_t i = first; i < out_.size(); ++i)
                out_[i].dueMs = at + options_.replyLatencyMs;
        }
    }

    void Event(const std::string& line) override {
        const std::string text = line + "\n";
        if (eventsFd_ >= 0 && !WriteAll(eventsFd_, text.data(), text.size()))
            std::fprintf(stderr, "zub-boardsim: cannot write %s: %s\n", options_.events.c_str(),
                         std::strerror(errno));
        if (options_.verbose)
            std::fprintf(stderr, "%s", text.c_str());
    }

    void SessionEnded(int) override {
        sessionEnded_ = true;
        if (!options_.flashOut.empty())
            SaveFlash();
    }

private:
    struct OutByte {
        uint8_t byte;
        double dueMs;
    };

    bool Setup();
    void Cleanup();
    void SaveFlash();
    void ReadHost(bool* hungUp);
    void WriteDue(double now);
    void HostGone();

    RunOptions options_;
    BoardProtocol protocol_;
    const double byteMs_;
    int master_ = -1;
    int eventsFd_ = -1;
    std::string slavePath_;
    bool linkMade_ = false;
    bool connected_ = false;
    bool sessionEnded_ = false;
    double procMs_ = 0;    // wire time at which the byte being handled arrived
    double rxClockMs_ = 0; // wire time of the last host byte
    double txClockMs_ = 0; // wire time of the last reply byte
    std::deque<OutByte> out_;
};

bool Runner::Setup() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "zub-boardsim: openpty: %s\n", std::strerror(errno));
        return false;
    }
    slavePath_ = name;
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    // Only the host holds the slave open, so its close shows as a hangup on the master.
    close(slave);

    if (!options_.events.empty()) {
        eventsFd_ = open(options_.events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (eventsFd_ < 0) {
            std::fprintf(stderr, "zub-boardsim: cannot open %s: %s\n", options_.events.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    if (!options_.link.empty()) {
        struct stat st {};
        if (lstat(options_.link.c_str(), &st) == 0) {
            // A link left by an earlier run is ours to replace; anything else is not.
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "zub-boardsim: %s exists and is not a symbolic link\n",
                             options_.link.c_str());
                return false;
            }
            unlink(options_.link.c_str());
        }
        if (symlink(slavePath_.c_str(), options_.link.c_str()) != 0) {
            std::fprintf(stderr, "zub-boardsim: cannot create %s: %s\n", options_.link.c_str(),
                         std::strerror(errno));
            return false;
        }
        linkMade_ = true;
    }
    std::printf("PTY %s\n", slavePath_.c_str());
    std::fflush(stdout);
    return true;
}

void Runner::Cleanup() {
    if (linkMade_) {
        char target[256] = {};
        ssize_t n = readlink(options_.link.c_str(), target, sizeof target - 1);
        if (n > 0 && slavePath_ == std::string(target, static_cast<size_t>(n)))
            unlink(options_.link.c_str());
        linkMade_ = false;
    }
    if (master_ >= 0)
        close(master_);
    master_ = -1;
    if (eventsFd_ >= 0)
        close(eventsFd_);
    eventsFd_ = -1;
}

// Whole or not at all: a reader never sees half a flash image.
void Runner::SaveFlash() {
    const std::string tmp = options_.flashOut + ".tmp";
    const std::vector<uint8_t>& flash = protocol_.Flash();
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && WriteAll(fd, flash.data(), flash.size());
    if (fd >= 0)
        ok = (close(fd) == 0) && ok;
    if (ok)
        ok = rename(tmp.c_str(), options_.flashOut.c_str()) == 0;
    if (!ok) {
        std::fprintf(stderr, "zub-boardsim: cannot write %s: %s\n", options_.flashOut.c_str(),
                     std::strerror(errno));
        unlink(tmp.c_str());
    }
}

void Runner::ReadHost(bool* hungUp) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) {
            if (!connected_) {
                connected_ = true;
                Event("OPEN");
            }
            // Each host byte takes its wire time after the one before it.
            const double now = NowMs();
            for (ssize_t i = 0; i < n; ++i) {
                rxClockMs_ = std::max(rxClockMs_, now) + byteMs_;
                procMs_ = rxClockMs_;
                protocol_.Feed(buf[i]);
                if (sessionEnded_ && options_.once)
                    return;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        *hungUp = true; // EIO (or 0): no process holds the slave open
        return;
    }
}

void Runner::WriteDue(double now) {
    uint8_t buf[4096];
    size_t n = 0;
    while (n < out_.size() && n < sizeof buf && out_[n].dueMs <= now) {
        buf[n] = out_[n].byte;
        ++n;
    }
    if (n == 0)
        return;
    ssize_t w = write(master_, buf, n);
    if (w > 0)
        out_.erase(out_.begin(), out_.begin() + w);
    else if (w < 0 && errno != EAGAIN && errno != EINTR)
        out_.clear(); // the host is gone; HostGone follows from the read side
}

void Runner::HostGone() {
    out_.clear();
    protocol_.Reset();
    rxClockMs_ = txClockMs_ = 0;
    if (connected_) {
        connected_ = false;
        Event("HANGUP");
    }
}

int Runner::Run() {
    // Signals are caught before the device is announced: whoever reads the PTY line may stop the
    // simulator at once and still get a clean exit.
    sigset_t block, waitMask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!Setup())
        return 1;

    while (!g_stop) {
        const double now = NowMs();
        if (connected_)
            WriteDue(now);

        timespec timeout{};
        timespec* tp = nullptr;
        if (!connected_) {
            // Not open yet: no event tells when the host opens the slave, so look every 10 ms.
            timeout.tv_nsec = 10 * 1000 * 1000;
            tp = &timeout;
        } else if (!out_.empty() && out_.front().dueMs > now) {
            const double wait = out_.front().dueMs - now;
            timeout.tv_sec = static_cast<time_t>(wait / 1000.0);
            timeout.tv_nsec = static_cast<long>(std::fmod(wait, 1000.0) * 1e6);
            tp = &timeout;
        }
        pollfd pfd{master_, POLLIN, 0};
        if (connected_ && !out_.empty() && out_.front().dueMs <= now)
            pfd.events |= POLLOUT; // the slave's queue was full; wait until it drains
        int r = ppoll(&pfd, 1, tp, &waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "zub-boardsim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        bool hungUp = false;
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR))
            ReadHost(&hungUp);
        if (sessionEnded_ && options_.once)
            return 0;
        if (hungUp || (pfd.revents & POLLHUP)) {
            HostGone();
            // A hangup stays signalled until the host opens the slave again; look every 10 ms.
            timespec pause{0, 10 * 1000 * 1000};
            ppoll(nullptr, 0, &pause, &waitMask);
            continue;
        }
        if (!connected_) {
            // Polled without a hangup: the host has the slave open.
            connected_ = true;
            Event("OPEN");
        }
    }
    return 0;
}

} // namespace

const char* Usage() {
    return "usage: zub-boardsim [options]\n"
           "Plays a serial boot loader on a new pseudo-terminal; prints \"PTY <slave path>\".\n"
           "  --link PATH            also make PATH a symbolic link to the slave\n"
           "  --id HEX10             the 5 identification bytes (default 4470645434)\n"
           "  --flash-out FILE       write the flash received at each end frame\n"
           "  --events FILE          append one line per event\n"
           "  --resend-page K --resend-times N   answer \"@\" to page K N times first\n"
           "  --silent-page K        never answer page K\n"
           "  --bad-sum-page K       take the first copy of page K as a bad sum\n"
           "  --no-ready             never answer the wake word\n"
           "  --split-id             send the identification as 3 + 2 bytes, 50 ms apart\n"
           "  --stray N              send N stray bytes right before ready\n"
           "  --pace BAUD            run the wire at BAUD (10 bits a byte)\n"
           "  --page-write-ms MS     flash-write time per page\n"
           "  --reply-latency MS     hold each reply MS ms, as a USB adapter's latency timer does\n"
           "  --once                 exit after the first end frame\n"
           "  --fresh-each-session   forget the flash at every wake word\n"
           "  --verbose              events also on stderr\n";
}

bool ParseArgs(const std::vector<std::string>& args, RunOptions* o, std::string* error) {
    bool timesGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *v = args[++i];
            return true;
        };
        auto number = [&](int minValue, int* out) {
            std::string v;
            if (!value(&v))
                return false;
            if (!ParseInt(v, minValue, out)) {
                *error = a + ": not a valid number: " + v;
                return false;
            }
            return true;
        };
        bool ok = true;
        if (a == "--link")
            ok = value(&o->link);
        else if (a == "--flash-out")
            ok = value(&o->flashOut);
        else if (a == "--events")
            ok = value(&o->events);
        else if (a == "--id") {
            std::string v;
            ok = value(&v);
            if (ok && !ParseId(v, &o->board.id)) {
                *error = "--id needs 10 hexadecimal digits: " + v;
                ok = false;
            }
        } else if (a == "--resend-page")
            ok = number(0, &o->board.resendPage);
        else if (a == "--resend-times") {
            ok = number(0, &o->board.resendTimes);
            timesGiven = true;
        } else if (a == "--silent-page")
            ok = number(0, &o->board.silentPage);
        else if (a == "--bad-sum-page")
            ok = number(0, &o->board.badSumPage);
        else if (a == "--stray")
            ok = number(0, &o->board.stray);
        else if (a == "--pace")
            ok = number(1, &o->paceBaud);
        else if (a == "--page-write-ms")
            ok = number(0, &o->board.pageWriteMs);
        else if (a == "--reply-latency")
            ok = number(0, &o->replyLatencyMs);
        else if (a == "--no-ready")
            o->board.noReady = true;
        else if (a == "--split-id")
            o->board.splitId = true;
        else if (a == "--once")
            o->once = true;
        else if (a == "--fresh-each-session")
            o->board.freshEachSession = true;
        else if (a == "--verbose")
            o->verbose = true;
        else {
            *error = "unknown option: " + a;
            ok = false;
        }
        if (!ok)
            return false;
    }
    if (o->board.resendPage >= 0 && !timesGiven)
        o->board.resendTimes = 1; // a page named for resending is asked for at least once
    return true;
}

int RunSimulator(const RunOptions& options) {
    Runner runner(options);
    return runner.Run();
}

} // namespace zubsim
