#include "tst_board_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

// ---- BoardSim ---------------------------------------------------------------------------------

BoardSim::~BoardSim() {
    if (proc_.state() != QProcess::NotRunning) {
        proc_.terminate();
        if (!proc_.waitForFinished(3000))
            proc_.kill();
        proc_.waitForFinished(1000);
    }
}

bool BoardSim::Start(const QStringList& options) {
    QStringList args = {QStringLiteral("--events"), dir_.filePath(QStringLiteral("events")),
                        QStringLiteral("--flash-out"), FlashPath()};
    args += options;
    proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc_.start(QStringLiteral(ZUB_BINARY_DIR "/tools/zub-boardsim"), args);
    if (!proc_.waitForStarted(5000))
        return false;
    QElapsedTimer t;
    t.start();
    while (!proc_.canReadLine() && t.elapsed() < 5000)
        proc_.waitForReadyRead(100);
    const QByteArray line = proc_.readLine().trimmed();
    if (!line.startsWith("PTY "))
        return false;
    pty_ = QString::fromLocal8Bit(line.mid(4));
    return true;
}

void BoardSim::Kill() {
    proc_.kill();
    proc_.waitForFinished(3000);
}

QString BoardSim::FlashPath() const {
    return dir_.filePath(QStringLiteral("flash.bin"));
}

QStringList BoardSim::Events() const {
    QFile f(dir_.filePath(QStringLiteral("events")));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QByteArray BoardSim::Flash() const {
    QFile f(FlashPath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int BoardSim::Count(const QString& event) const {
    return Events().count(event);
}

int BoardSim::CountPrefix(const QString& prefix) const {
    int n = 0;
    for (const QString& e : Events())
        n += e.startsWith(prefix) ? 1 : 0;
    return n;
}

// ---- TestBoard --------------------------------------------------------------------------------

TestBoard::TestBoard(const Script& script) : script_(script) {
    termios raw{};
    cfmakeraw(&raw);
    char name[128] = {};
    int master = -1;
    if (openpty(&master, &slave_, name, &raw, nullptr) != 0) {
        slave_ = -1;
        return;
    }
    master_ = master;
    pty_ = QString::fromLocal8Bit(name);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!script_.Link.isEmpty() && !QFile::link(pty_, script_.Link)) {
        close(master_);
        close(slave_);
        master_ = -1;
        slave_ = -1;
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

TestBoard::~TestBoard() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
}

void TestBoard::Run() {
    QByteArray seen;
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 5) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0)
            continue;
        seen.append(buf, static_cast<int>(n));
        for (;;) {
            const int wake = seen.indexOf("ZUB");
            const int go = seen.indexOf('\x3C');
            const int mode = seen.indexOf(QByteArray("\x02\x03\xFE", 3));
            if (script_.VanishOnModeSwitch && mode >= 0) {
                // The board's adapter disappears while the host is switching rates.
                if (!script_.Link.isEmpty())
                    QFile::remove(script_.Link);
                close(master_);
                close(slave_);
                slave_ = -1;
                master_ = -1;
                vanished_ = true;
                return;
            }
            if (wake >= 0 && (go < 0 || wake < go)) {
                ++wakes_;
                seen.remove(0, wake + 3);
                if (script_.AnswerReady) {
                    const char ready = 0x3E;
                    (void)!write(master_, &ready, 1);
                }
                continue;
            }
            if (go >= 0) {
                ++gos_;
                seen.remove(0, go + 1);
                if (!script_.IdReply.isEmpty())
                    (void)!write(master_, script_.IdReply.constData(),
                                 static_cast<size_t>(script_.IdReply.size()));
                continue;
            }
            break;
        }
        if (seen.size() > 4096)
            seen = seen.right(16);
    }
}

// ---- HttpServer ------------------------------------------------------------------------------

HttpServer::~HttpServer() {
    if (proc_.state() != QProcess::NotRunning) {
        proc_.terminate();
        if (!proc_.waitForFinished(3000))
            proc_.kill();
        proc_.waitForFinished(1000);
    }
}

bool HttpServer::Start(const QString& root) {
    proc_.start(QStringLiteral("python3"),
                {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                 QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("0"),
                 QStringLiteral("--directory"), root});
    if (!proc_.waitForStarted(5000))
        return false;
    // "Serving HTTP on 127.0.0.1 port 40123 (http://127.0.0.1:40123/) ..."
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains('\n') && t.elapsed() < 10000) {
        proc_.waitForReadyRead(100);
        out += proc_.readAllStandardOutput();
    }
    const int at = out.indexOf(" port ");
    if (at < 0)
        return false;
    port_ = out.mid(at + 6).split(' ').value(0).toInt();
    return port_ > 0;
}

QStringList HttpServer::Requests() {
    log_ += proc_.readAllStandardError();
    QStringList lines;
    for (const QByteArray& line : log_.split('\n')) {
        const int a = line.indexOf('"');
        const int b = line.lastIndexOf('"');
        if (a >= 0 && b > a)
            lines << QString::fromLatin1(line.mid(a + 1, b - a - 1));
    }
    return lines;
}

int DeadPort() {
    // Bound and closed again: nothing listens there, and a connect is refused at once.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

// ---- Files ------------------------------------------------------------------------------------

QByteArray HexText(const QMap<int, QByteArray>& segments, bool crlf) {
    const QByteArray eol = crlf ? "\r\n" : "\n";
    QByteArray out;
    for (auto it = segments.begin(); it != segments.end(); ++it) {
        const QByteArray& data = it.value();
        for (int off = 0; off < data.size(); off += 16) {
            const int n = std::min(16, static_cast<int>(data.size()) - off);
            const int addr = it.key() + off;
            uint8_t sum = static_cast<uint8_t>(n + (addr >> 8) + (addr & 0xFF));
            QByteArray line = ":" + QByteArray::number(n, 16).rightJustified(2, '0') +
                              QByteArray::number(addr, 16).rightJustified(4, '0') + "00";
            for (int i = 0; i < n; ++i) {
                const auto b = static_cast<uint8_t>(data[off + i]);
                sum = static_cast<uint8_t>(sum + b);
                line += QByteArray::number(b, 16).rightJustified(2, '0');
            }
            line += QByteArray::number(static_cast<uint8_t>(0x100 - sum) & 0xFF, 16)
                        .rightJustified(2, '0');
            out += line.toUpper() + eol;
        }
    }
    out += ":00000001FF" + eol;
    return out;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray Code(int size, int seed) {
    QByteArray b(size, '\0');
    uint32_t x = 0x9E3779B9u * static_cast<uint32_t>(seed + 1);
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        b[i] = static_cast<char>((x >> 24) == 0xFF ? 0x12 : (x >> 24));
    }
    return b;
}

QByteArray Flashed(const QMap<int, QByteArray>& segments, int flashSize) {
    QByteArray flash(flashSize, '\xFF');
    for (auto it = segments.begin(); it != segments.end(); ++it)
        flash.replace(it.key(), it.value().size(), it.value());
    return flash;
}

bool LogMatches(const QStringList& actual, const QStringList& expected, QString* why) {
    if (actual.size() != expected.size()) {
        *why = QStringLiteral("%1 lines, expected %2:\n%3")
                   .arg(actual.size())
                   .arg(expected.size())
                   .arg(actual.join(QLatin1Char('\n')));
        return false;
    }
    for (int i = 0; i < actual.size(); ++i) {
        QString pattern = QRegularExpression::escape(expected[i]);
        pattern.replace(QStringLiteral("hh\\:mm\\:ss"), QStringLiteral("\\d\\d:\\d\\d:\\d\\d"));
        pattern.replace(QStringLiteral("hh:mm:ss"), QStringLiteral("\\d\\d:\\d\\d:\\d\\d"));
        // "<any>" stands for text the system words (libcurl's, the kernel's).
        pattern.replace(QStringLiteral("\\<any\\>"), QStringLiteral(".*"));
        pattern.replace(QStringLiteral("<any>"), QStringLiteral(".*"));
        if (!QRegularExpression(QStringLiteral("^") + pattern + QStringLiteral("$"))
                 .match(actual[i])
                 .hasMatch()) {
            *why = QStringLiteral("line %1 is \"%2\", expected \"%3\"")
                       .arg(i)
                       .arg(actual[i], expected[i]);
            return false;
        }
    }
    return true;
}
