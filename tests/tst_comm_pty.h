// A pseudo-terminal pair for serial tests: the test holds the master end (the "board"), the
// component under test opens the slave path. Both ends raw, or the line discipline alters bytes.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

struct PtyPair {
    int master = -1;
    int slave = -1;
    QString path;

    PtyPair() {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        path = QString::fromLocal8Bit(name);
    }
    ~PtyPair() {
        closeMaster();
        if (slave >= 0)
            ::close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master >= 0 && !path.isEmpty(); }
    void closeMaster() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

    // Writes all of `bytes` to the board end.
    bool send(const QByteArray& bytes) const {
        qsizetype done = 0;
        QElapsedTimer clock;
        clock.start();
        while (done < bytes.size() && clock.elapsed() < 5000) {
            const ssize_t n =
                ::write(master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
            if (n > 0)
                done += n;
            else
                ::usleep(1000);
        }
        return done == bytes.size();
    }

    // Reads what the board end has received, waiting up to `ms` for the first byte and then
    // until the line has been quiet for `quietMs`.
    QByteArray receive(int ms = 200, int quietMs = 50) const {
        QByteArray out;
        int wait = ms;
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, wait) <= 0)
                break;
            char buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, n);
            wait = quietMs;
        }
        return out;
    }
};
