// Real HTTP servers on 127.0.0.1 for the update client's tests: Python's plain file server over a
// folder, and the project's fault-injecting server (tests/httpfault.py).
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsrv {

// A port nobody listens on right now (the kernel's pick for an ephemeral bind).
inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

inline bool listening(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// python3 -m http.server over a folder.
class PlainServer {
public:
    bool start(const QString& folder) {
        port_ = freePort();
        // Its request log goes to stderr: discarded, so a full pipe can never stall the server.
        proc_.setStandardOutputFile(QProcess::nullDevice());
        proc_.setStandardErrorFile(QProcess::nullDevice());
        proc_.start(QStringLiteral("python3"),
                    {QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("--bind"),
                     QStringLiteral("127.0.0.1"), QString::number(port_),
                     QStringLiteral("--directory"), folder});
        if (!proc_.waitForStarted(5000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            if (listening(port_))
                return true;
            QTest::qWait(20);
        }
        return false;
    }
    ~PlainServer() {
        proc_.kill();
        proc_.waitForFinished(3000);
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }
    int port() const { return port_; }

private:
    QProcess proc_;
    int port_ = 0;
};

// tests/httpfault.py; requests() returns one entry per request the server has read so far:
// method, raw path, User-Agent, Cache-Control, Pragma.
class FaultServer {
public:
    bool start(const QString& folder) {
        proc_.start(QStringLiteral("python3"),
                    {QStringLiteral(ZUB_SOURCE_DIR "/tests/httpfault.py"), QStringLiteral("--dir"),
                     folder});
        if (!proc_.waitForStarted(5000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            proc_.waitForReadyRead(100);
            pending_ += proc_.readAllStandardOutput();
            const int nl = pending_.indexOf('\n');
            if (nl > 0 && pending_.startsWith("PORT ")) {
                port_ = pending_.mid(5, nl - 5).trimmed().toInt();
                pending_.remove(0, nl + 1);
                return port_ > 0;
            }
        }
        return false;
    }
    ~FaultServer() {
        proc_.kill();
        proc_.waitForFinished(3000);
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }

    QList<QStringList> requests() {
        // The server prints a request as soon as it has parsed it; give it a moment to arrive.
        proc_.waitForReadyRead(200);
        pending_ += proc_.readAllStandardOutput();
        int nl;
        while ((nl = pending_.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending_.left(nl));
            pending_.remove(0, nl + 1);
            QStringList f = line.split(QLatin1Char('\t'));
            if (f.size() == 6 && f[0] == QLatin1String("REQ"))
                seen_.append(f.mid(1));
        }
        return seen_;
    }

private:
    QProcess proc_;
    QByteArray pending_;
    QList<QStringList> seen_;
    int port_ = 0;
};

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline void writeAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(data), data.size());
}

// Every name in the folder, hidden ones included: a left-over temporary file shows up here.
inline QStringList entries(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace testsrv
