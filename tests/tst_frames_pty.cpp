// The frames the window writes, captured on the far end of a real pseudo-terminal that Comm1
// has open: exactly the bytes of each frame, nothing when a blank page is skipped or the port is
// closed.
#include "app/ZubBootLoadMain.h"
#include "tst_engine_probe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class TstFramesPty : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void fixedFrames();
    void pageFrames();
    void blankPages();
    void nothingWhenClosedOrUnframable();
    void modeSwitchRoadThroughTheSimulator();

private:
    // Everything the far end receives within timeoutMs, stopping early once count bytes came.
    QByteArray Capture(int count, int timeoutMs = 1000);

    TForm1* form_ = nullptr;
    int master_ = -1;
    int slave_ = -1;
};

void TstFramesPty::init() {
    char name[256] = {};
    QCOMPARE(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    form_ = new TForm1;
    form_->Timer1->stop(); // no start-up sequence in this test
    EngineProbe(form_->Engine).Comm1().SetDeviceName(QByteArray(name));
    EngineProbe(form_->Engine).Comm1().Open();
    QVERIFY(form_->Engine.PortEnabled());
}

void TstFramesPty::cleanup() {
    delete form_;
    form_ = nullptr;
    ::close(master_);
    ::close(slave_);
}

QByteArray TstFramesPty::Capture(int count, int timeoutMs) {
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs && got.size() < count) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0)
            continue;
        char buf[2048];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0)
            got.append(buf, int(n));
    }
    return got;
}

void TstFramesPty::fixedFrames() {
    EngineProbe(form_->Engine).SendCommandFrame(0x30, 0x01, 0x00);
    QCOMPARE(Capture(7, 100), QByteArray::fromHex("023001003303"));
    EngineProbe(form_->Engine).SendCommandFrame(0x00, 0x00, 0x00);
    QCOMPARE(Capture(7, 100), QByteArray::fromHex("020000000203"));
    EngineProbe(form_->Engine).SendModeSwitchFrame(1);
    QCOMPARE(Capture(8, 100), QByteArray::fromHex("0203fe01000403"));
    EngineProbe(form_->Engine).SendModeSwitchFrame(2);
    QCOMPARE(Capture(8, 100), QByteArray::fromHex("0203fe02000503"));
    EngineProbe(form_->Engine).SendWakeWord();
    QCOMPARE(Capture(4, 100), QByteArray("ZUB"));
    EngineProbe(form_->Engine).SendGoByte();
    QCOMPARE(Capture(2, 100), QByteArray::fromHex("3c"));
    EngineProbe(form_->Engine).SendEndFrame();
    QCOMPARE(Capture(3, 100), QByteArray::fromHex("ffff"));
}

void TstFramesPty::pageFrames() {
    auto& image = EngineProbe(form_->Engine).FirmwareImage();
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i ^ (i >> 8));
    QVERIFY(!EngineProbe(form_->Engine).SendPageFrame(image.data(), 128, 300, false));
    const QByteArray frame = Capture(132, 500);
    QCOMPARE(frame.size(), 131);
    QCOMPARE(frame.left(2), QByteArray::fromHex("012c"));
    QCOMPARE(frame.mid(2, 128),
             QByteArray(reinterpret_cast<const char*>(image.data()) + 38400, 128));
    unsigned sum = 0;
    for (int i = 0; i < 128; ++i)
        sum += image[size_t(38400 + i)];
    QCOMPARE(uint8_t(frame.at(130)), uint8_t(sum));

    // The largest page size and the last page of the image.
    QVERIFY(!EngineProbe(form_->Engine).SendPageFrame(image.data(), 512, 255, true));
    const QByteArray last = Capture(516, 500);
    QCOMPARE(last.size(), 515);
    QCOMPARE(last.left(2), QByteArray::fromHex("00ff"));
    QCOMPARE(last.mid(2, 512),
             QByteArray(reinterpret_cast<const char*>(image.data()) + 131072 - 512, 512));
}

void TstFramesPty::blankPages() {
    auto& image = EngineProbe(form_->Engine).FirmwareImage();
    image.fill(0xFF);
    // Skipped with skip on: nothing on the wire.
    QVERIFY(EngineProbe(form_->Engine).SendPageFrame(image.data(), 128, 2, true));
    QCOMPARE(Capture(1, 150), QByteArray());
    // Sent like any page with skip off; 128 x 0xFF sums to 0x80.
    QVERIFY(!EngineProbe(form_->Engine).SendPageFrame(image.data(), 128, 2, false));
    QByteArray expected = QByteArray::fromHex("0002") + QByteArray(128, char(0xFF));
    expected.append(char(0x80));
    QCOMPARE(Capture(132, 500), expected);
    // One byte not erased: sent even with skip on.
    image[2 * 128 + 77] = 0x00;
    QVERIFY(!EngineProbe(form_->Engine).SendPageFrame(image.data(), 128, 2, true));
    const QByteArray sent = Capture(132, 500);
    QCOMPARE(sent.size(), 131);
    QCOMPARE(uint8_t(sent.at(130)), uint8_t(0x81));
}

void TstFramesPty::nothingWhenClosedOrUnframable() {
    // A page size of 0 (an unknown code) cannot be framed: nothing is written and the page does
    // not count as skipped.
    QVERIFY(!EngineProbe(form_->Engine).SendPageFrame(form_->Engine.Image().data(), 0, 0, true));
    QCOMPARE(Capture(1, 150), QByteArray());

    EngineProbe(form_->Engine).Comm1().Close();
    QVERIFY(!form_->Engine.PortEnabled());
    EngineProbe(form_->Engine).SendCommandFrame(0x30, 0x01, 0x00);
    EngineProbe(form_->Engine).SendWakeWord();
    QCOMPARE(Capture(1, 150), QByteArray());
}

// The road of a ZUB16T1 reset as the engine drives it, with the real serial component on the
// board simulator: mode switch, close, reopen, wake word, go, one page, end frame.
void TstFramesPty::modeSwitchRoadThroughTheSimulator() {
    EngineProbe(form_->Engine).Comm1().Close();
    QTemporaryDir dir;
    const QString events = dir.filePath("events.txt");
    const QString flash = dir.filePath("flash.bin");
    QProcess sim;
    sim.start(ZUB_BINARY_DIR "/tools/zub-boardsim",
              {"--events", events, "--flash-out", flash, "--id", "416C615133"});
    QVERIFY(sim.waitForReadyRead(5000));
    const QByteArray line = sim.readLine().trimmed();
    QVERIFY(line.startsWith("PTY "));
    auto eventLines = [&] {
        QFile f(events);
        return f.open(QIODevice::ReadOnly)
                   ? QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts)
                   : QStringList();
    };
    auto waitFor = [&](const QString& last) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 3000 && (eventLines().isEmpty() || eventLines().last() != last))
            QThread::msleep(5);
        return !eventLines().isEmpty() && eventLines().last() == last;
    };
    auto readReply = [&](int count) {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < count && t.elapsed() < 3000) {
            const int n = EngineProbe(form_->Engine).Comm1().InQueCount();
            if (n > 0) {
                QByteArray buf(n, 0);
                got.append(buf.data(), EngineProbe(form_->Engine).Comm1().Read(buf.data(), n));
            } else {
                QThread::msleep(2);
            }
        }
        return got;
    };

    EngineProbe(form_->Engine).Comm1().SetDeviceName(line.mid(4));
    EngineProbe(form_->Engine).Comm1().Open();
    QVERIFY(form_->Engine.PortEnabled());
    EngineProbe(form_->Engine).SendModeSwitchFrame(1);
    QThread::msleep(10);
    EngineProbe(form_->Engine).Comm1().Close();
    QVERIFY(waitFor("HANGUP"));
    QThread::msleep(100);
    EngineProbe(form_->Engine).Comm1().Open();
    QVERIFY(form_->Engine.PortEnabled());
    EngineProbe(form_->Engine).SendWakeWord();
    QCOMPARE(readReply(1), QByteArray::fromHex("3e"));
    EngineProbe(form_->Engine).SendGoByte();
    QCOMPARE(readReply(5), QByteArray::fromHex("416c615133"));
    auto& image = EngineProbe(form_->Engine).FirmwareImage();
    image.fill(0xFF);
    for (int i = 0; i < 32; ++i)
        image[size_t(32 * 3 + i)] = uint8_t(i + 1);
    QVERIFY(!EngineProbe(form_->Engine).SendPageFrame(image.data(), 32, 3, true));
    QCOMPARE(readReply(1), QByteArray("!"));
    EngineProbe(form_->Engine).SendEndFrame();
    QVERIFY(waitFor("END 1"));
    QCOMPARE(eventLines(),
             QStringList({"OPEN", "MODE 02 03 FE 01 00 04 03", "HANGUP", "OPEN", "WAKE", "READY",
                          "GO", "ID 41 6C 61 51 33", "PAGE 3 OK", "END 1"}));
    QFile f(flash);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray(reinterpret_cast<const char*>(image.data()), 8192));
    EngineProbe(form_->Engine).Comm1().Close();
    sim.terminate();
    QVERIFY(sim.waitForFinished(3000));
    QCOMPARE(sim.exitCode(), 0);
}

QTEST_MAIN(TstFramesPty)
#include "tst_frames_pty.moc"
