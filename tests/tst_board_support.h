// What the engine's tests share, with or without a window: the board simulator in its own
// process, a board played by the test on a pseudo-terminal of its own, an HTTP server, and
// firmware files written as a toolchain writes them.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

// zub-boardsim over a pty; its events and flash dump in a folder of its own.
class BoardSim {
public:
    BoardSim() = default;
    ~BoardSim();
    bool Start(const QStringList& options = {});
    void Kill(); // the board goes away at once (the pty master closes)
    QString Pty() const { return pty_; }
    QStringList Events() const;
    QByteArray Flash() const; // empty until the first end frame
    QString FlashPath() const;
    int Count(const QString& event) const; // lines equal to event
    int CountPrefix(const QString& prefix) const;

private:
    QTemporaryDir dir_;
    QProcess proc_;
    QString pty_;
};

// A board played by the test on its own pty, in a thread of its own so that it can act while
// the window's thread sleeps: answers the wake word, and then whatever the case asks for.
class TestBoard {
public:
    struct Script {
        bool AnswerReady = true;
        QByteArray IdReply;              // sent after the go byte (may be short, or empty)
        bool VanishOnModeSwitch = false; // close the pty at the mode-switch frame
        // A /dev/serial/by-id style link to the pty, gone with the board: a vanished board's
        // name never comes back, whatever pty numbers other programs open meanwhile.
        QString Link;
    };
    explicit TestBoard(const Script& script);
    ~TestBoard();
    bool Ok() const { return master_ >= 0 || vanished_; }
    QString Pty() const { return pty_; }
    QString Port() const { return script_.Link.isEmpty() ? pty_ : script_.Link; }
    int WakeCount() const { return wakes_; }
    int GoCount() const { return gos_; }
    bool Vanished() const { return vanished_; }

private:
    void Run();
    Script script_;
    std::atomic<int> master_{-1};
    int slave_ = -1;
    QString pty_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> vanished_{false};
    std::atomic<int> wakes_{0};
    std::atomic<int> gos_{0};
    std::thread thread_;
};

// python3's http.server over a folder, on a free port of 127.0.0.1, logging every request.
class HttpServer {
public:
    HttpServer() = default;
    ~HttpServer();
    bool Start(const QString& root);
    QString BaseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }
    QStringList Requests(); // request lines seen so far ("GET /ydr/... HTTP/1.1")

private:
    QProcess proc_;
    int port_ = 0;
    QByteArray log_;
};
// A port of 127.0.0.1 where nothing listens.
int DeadPort();

// Intel HEX as avr-objcopy writes it: 16 data bytes a record, upper-case digits, each line with
// its checksum, the end record last. `segments` maps a start address to its bytes.
QByteArray HexText(const QMap<int, QByteArray>& segments, bool crlf = false);
bool WriteFile(const QString& path, const QByteArray& bytes);
// Bytes that look like code: not blank, reproducible per seed.
QByteArray Code(int size, int seed);
// What a board's flash holds after the segments were written into an erased flash.
QByteArray Flashed(const QMap<int, QByteArray>& segments, int flashSize);
// Compares log lines; "hh:mm:ss" in an expected line stands for any time of day, "<any>" for
// any text.
bool LogMatches(const QStringList& actual, const QStringList& expected, QString* why);

// Log lines every engine test expects, written out here once.
#define VERIFY_LOG(rig, expected)                                                                  \
    do {                                                                                           \
        QString why;                                                                               \
        QVERIFY2(LogMatches((rig).Log(), (expected), &why), qPrintable(why));                      \
    } while (0)

inline const QString kReady = QStringLiteral("다운로드 준비가 되었습니다.");
inline const QString kPower = QStringLiteral("장치의 전원스위치를 OFF/ON하십시오.");
inline const QString kStart0 = QStringLiteral("[hh:mm:ss] 다운로드 시작 : 0");
inline const QString kDone = QStringLiteral("[hh:mm:ss] 다운로드 완료");
inline const QString kReleased = QStringLiteral("장치와 연결을 해제하였습니다.");
inline QString startLine(int n) {
    return QStringLiteral("[hh:mm:ss] 다운로드 시작 : %1").arg(n);
}
