// Real HTTP servers on 127.0.0.1 for the update client's tests: Python's plain file server over a
// folder, and the project's fault-injecting server (tests/httpfault.py), also over TLS with
// certificates from an authority that openssl makes at test time.
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
// method, raw path, User-Agent, Cache-Control, Pragma. Given a certificate chain and its key it
// speaks HTTPS.
class FaultServer {
public:
    bool start(const QString& folder, const QString& certFile = QString(),
               const QString& keyFile = QString()) {
        QStringList args{QStringLiteral(ZUB_SOURCE_DIR "/tests/httpfault.py"),
                         QStringLiteral("--dir"), folder};
        tls_ = !certFile.isEmpty();
        if (tls_)
            args << QStringLiteral("--cert") << certFile << QStringLiteral("--key") << keyFile;
        proc_.start(QStringLiteral("python3"), args);
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
    QString base() const {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(tls_ ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(port_);
    }

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
    bool tls_ = false;
};

// A certificate authority made with openssl in a folder of the test: <name>.pem (what a client
// trusts) and <name>.key. Server certificates it signs are <leaf>.pem with <leaf>.key.
class TestAuthority {
public:
    bool create(const QString& folder, const QString& name) {
        folder_ = folder;
        name_ = name;
        return openssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                        QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                        QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                        QStringLiteral("/CN=") + name, QStringLiteral("-keyout"), file(name, "key"),
                        QStringLiteral("-out"), file(name, "pem")});
    }
    QString certFile() const { return file(name_, "pem"); }

    // A server certificate for `altNames` (e.g. "IP:127.0.0.1,DNS:localhost").
    bool issue(const QString& leaf, const QString& altNames) {
        const QString ext = file(leaf, "ext");
        writeText(ext, "subjectAltName=" + altNames.toLatin1() +
                           "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
        return openssl({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"),
                        QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                        QStringLiteral("-subj"), QStringLiteral("/CN=zubloader test server"),
                        QStringLiteral("-keyout"), file(leaf, "key"), QStringLiteral("-out"),
                        file(leaf, "csr")}) &&
               openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                        file(leaf, "csr"), QStringLiteral("-CA"), certFile(),
                        QStringLiteral("-CAkey"), file(name_, "key"), QStringLiteral("-set_serial"),
                        QString::number(++serial_), QStringLiteral("-days"), QStringLiteral("2"),
                        QStringLiteral("-extfile"), ext, QStringLiteral("-out"),
                        file(leaf, "pem")});
    }
    QString file(const QString& stem, const char* suffix) const {
        return folder_ + QStringLiteral("/") + stem + QStringLiteral(".") +
               QString::fromLatin1(suffix);
    }

private:
    static void writeText(const QString& path, const QByteArray& text) {
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(text);
    }
    static bool openssl(const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            qWarning("openssl %s failed: %s", qPrintable(args.join(QLatin1Char(' '))),
                     p.readAll().constData());
            return false;
        }
        return true;
    }
    QString folder_;
    QString name_;
    int serial_ = 1;
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
