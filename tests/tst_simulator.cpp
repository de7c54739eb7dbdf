// The board simulator as its users meet it: the real zub-boardsim process, a host that opens the
// printed pseudo-terminal with plain POSIX calls, the flash file and the event file.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString kSim = QStringLiteral(ZUB_BINARY_DIR "/tools/zub-boardsim");

// A page frame as a host builds it: index high, index low, data, 8-bit sum of the data.
QByteArray PageFrame(int index, const QByteArray& data) {
    unsigned sum = 0;
    for (char c : data)
        sum += static_cast<uint8_t>(c);
    QByteArray f;
    f.append(char(index >> 8)).append(char(index & 0xFF)).append(data).append(char(sum & 0xFF));
    return f;
}

QByteArray Pattern(int size, int seed) {
    QByteArray b(size, 0);
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 31 + seed * 7 + 1) & 0xFF);
    return b;
}

// The host end: the slave device opened raw, as a serial program opens a port.
class Host {
public:
    ~Host() { Close(); }
    bool Open(const QString& path) {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        if (fd_ < 0)
            return false;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        return true;
    }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void Write(const QByteArray& bytes) {
        const char* p = bytes.constData();
        qsizetype left = bytes.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, p, size_t(left));
            if (n < 0 && errno == EINTR)
                continue;
            QVERIFY2(n > 0, "write to the slave failed");
            p += n;
            left -= n;
        }
    }
    // Up to count bytes, waiting at most timeoutMs in all.
    QByteArray Read(int count, int timeoutMs = 2000) {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < count) {
            const int left = timeoutMs - int(t.elapsed());
            if (left <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            char buf[1024];
            ssize_t n = ::read(fd_, buf, size_t(qMin<qsizetype>(count - got.size(), 1024)));
            if (n > 0)
                got.append(buf, int(n));
        }
        return got;
    }
    // Waits for the board's ready after a wake word; the identification after go.
    QByteArray Wake() {
        Write("ZUB");
        return Read(1);
    }

private:
    int fd_ = -1;
};

class Sim {
public:
    explicit Sim(const QTemporaryDir& dir) : dir_(dir) {}
    ~Sim() { Stop(); }
    QString Events() const { return dir_.filePath("events.txt"); }
    QString Flash() const { return dir_.filePath("flash.bin"); }
    QString Link() const { return dir_.filePath("ttyZUB"); }

    bool Start(QStringList args) {
        args << "--events" << Events() << "--flash-out" << Flash();
        proc_.start(kSim, args);
        if (!proc_.waitForStarted(5000))
            return false;
        if (!proc_.waitForReadyRead(5000))
            return false;
        const QByteArray line = proc_.readLine().trimmed();
        if (!line.startsWith("PTY /dev/pts/"))
            return false;
        path_ = QString::fromLocal8Bit(line.mid(4));
        return true;
    }
    QString Path() const { return path_; }
    QStringList EventLines() const {
        QFile f(Events());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // Waits until the event file holds the line, as the last reader of it would.
    bool WaitEvent(const QString& line, int timeoutMs = 3000, int times = 1) const {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (EventLines().count(line) >= times)
                return true;
            QThread::msleep(5);
        }
        return false;
    }
    int Stop() {
        if (proc_.state() == QProcess::NotRunning)
            return proc_.exitCode();
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) {
            proc_.kill();
            proc_.waitForFinished(3000);
            return -1;
        }
        return proc_.exitStatus() == QProcess::NormalExit ? proc_.exitCode() : -1;
    }
    QProcess& Process() { return proc_; }

private:
    const QTemporaryDir& dir_;
    QProcess proc_;
    QString path_;
};

} // namespace

class TstSimulator : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void scriptedDownloadAcrossTwoSessions();
    void partialAndMalformedFramesWhileWaiting();
    void resendPage();
    void silentPage();
    void badSumPage();
    void noReady();
    void splitIdentification();
    void strayBytesBeforeReady();
    void unknownCodesReportedAsGiven();
    void flashSizeFollowsTheId();
    void freshEachSessionAndOnce();
    void pacingTakesWireTime();
    void commandLineAndLink();
};

// The whole road of two downloads over one simulator run: frames before the wake word, the
// wake word, go, pages (one split over many writes, one with a bad sum), the end frame, the flash
// file, the host closing and reopening the port, pages persisting into the second flash file.
void TstSimulator::scriptedDownloadAcrossTwoSessions() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--link", sim.Link()}));
    QCOMPARE(QFileInfo(sim.Link()).symLinkTarget(), sim.Path());

    Host host;
    QVERIFY(host.Open(sim.Link()));
    host.Write(QByteArray::fromHex("023001003303"));
    host.Write(QByteArray::fromHex("0203fe01000403"));
    host.Write(QByteArray::fromHex("0203fe02000503"));
    host.Write("Z");
    QThread::msleep(20);
    host.Write("UB");
    QCOMPARE(host.Read(1), QByteArray::fromHex("3e"));
    host.Write(QByteArray::fromHex("3c"));
    QCOMPARE(host.Read(5), QByteArray::fromHex("4470645434"));

    const QByteArray p0 = Pattern(256, 0), p2 = Pattern(256, 2), p1 = Pattern(256, 1);
    host.Write(PageFrame(0, p0));
    QCOMPARE(host.Read(1), QByteArray("!"));
    // A frame arriving in many pieces is one frame.
    const QByteArray f2 = PageFrame(2, p2);
    for (int at = 0; at < f2.size(); at += 50) {
        host.Write(f2.mid(at, 50));
        QThread::msleep(5);
    }
    QCOMPARE(host.Read(1), QByteArray("!"));
    QByteArray bad = PageFrame(1, p1);
    bad[bad.size() - 1] = char(bad.at(bad.size() - 1) ^ 0x01);
    host.Write(bad);
    QCOMPARE(host.Read(1), QByteArray("@"));
    host.Write(QByteArray::fromHex("ffff"));
    QVERIFY(sim.WaitEvent("END 1"));
    QCOMPARE(host.Read(1, 100), QByteArray()); // no answer to the end frame

    QFile flash(sim.Flash());
    QVERIFY(flash.open(QIODevice::ReadOnly));
    QByteArray image = flash.readAll();
    flash.close();
    QCOMPARE(image.size(), 131072);
    QCOMPARE(image.mid(0, 256), p0);
    QCOMPARE(image.mid(256, 256), QByteArray(256, char(0xFF)));
    QCOMPARE(image.mid(512, 256), p2);
    QCOMPARE(image.mid(768), QByteArray(131072 - 768, char(0xFF)));
    QVERIFY(!QFile::exists(sim.Flash() + ".tmp"));

    QCOMPARE(sim.EventLines(),
             QStringList({"OPEN", "RESET 02 30 01 00 33 03", "MODE 02 03 FE 01 00 04 03",
                          "MODE 02 03 FE 02 00 05 03", "WAKE", "READY", "GO", "ID 44 70 64 54 34",
                          "PAGE 0 OK", "PAGE 2 OK", "PAGE 1 BADSUM", "END 1"}));

    // The host closes the port in the middle of a frame and comes back: the half frame is gone,
    // the board waits for the wake word, and the pages of the first session are kept.
    host.Write(PageFrame(5, Pattern(256, 5)).left(100));
    QThread::msleep(20);
    host.Close();
    QVERIFY(sim.WaitEvent("HANGUP"));
    QVERIFY(host.Open(sim.Path()));
    QVERIFY(sim.WaitEvent("OPEN", 3000, 2));
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    host.Write(QByteArray::fromHex("3c"));
    QCOMPARE(host.Read(5), QByteArray::fromHex("4470645434"));
    const QByteArray p3 = Pattern(256, 3);
    host.Write(PageFrame(3, p3));
    QCOMPARE(host.Read(1), QByteArray("!"));
    host.Write(QByteArray::fromHex("ffff"));
    QVERIFY(sim.WaitEvent("END 2"));
    QVERIFY(flash.open(QIODevice::ReadOnly));
    image = flash.readAll();
    QCOMPARE(image.mid(0, 256), p0);
    QCOMPARE(image.mid(512, 256), p2);
    QCOMPARE(image.mid(768, 256), p3);
    QCOMPARE(image.mid(5 * 256, 256), QByteArray(256, char(0xFF)));

    const QStringList lines = sim.EventLines();
    QCOMPARE(lines.mid(12), QStringList({"HANGUP", "OPEN", "WAKE", "READY", "GO",
                                         "ID 44 70 64 54 34", "PAGE 3 OK", "END 2"}));

    // SIGTERM with the port still open ends it cleanly and takes the link away.
    QCOMPARE(sim.Stop(), 0);
    QVERIFY(!QFileInfo(sim.Link()).isSymLink());
}

// While waiting for the wake word: a 0x02 frame with a wrong sum is noise and must not swallow
// the wake word behind it; a go byte before any ready is ignored; a command frame split over two
// writes is one frame.
void TstSimulator::partialAndMalformedFramesWhileWaiting() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    host.Write(QByteArray::fromHex("3c"));
    QCOMPARE(host.Read(1, 100), QByteArray());
    host.Write(QByteArray::fromHex("02300100"));
    QThread::msleep(10);
    host.Write(QByteArray::fromHex("3303"));
    host.Write(QByteArray::fromHex("0230") + "ZUB");
    QCOMPARE(host.Read(1), QByteArray::fromHex("3e"));
    QVERIFY(sim.WaitEvent("READY"));
    QCOMPARE(sim.EventLines(), QStringList({"OPEN", "RESET 02 30 01 00 33 03", "WAKE", "READY"}));
}

void TstSimulator::resendPage() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--resend-page", "1", "--resend-times", "2"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    host.Write("<");
    QCOMPARE(host.Read(5).size(), 5);
    const QByteArray f1 = PageFrame(1, Pattern(256, 1));
    host.Write(PageFrame(0, Pattern(256, 0)));
    QCOMPARE(host.Read(1), QByteArray("!"));
    host.Write(f1);
    QCOMPARE(host.Read(1), QByteArray("@"));
    host.Write(f1);
    QCOMPARE(host.Read(1), QByteArray("@"));
    host.Write(f1);
    QCOMPARE(host.Read(1), QByteArray("!"));
    host.Write(QByteArray::fromHex("ffff"));
    QVERIFY(sim.WaitEvent("END 1"));
    QCOMPARE(sim.EventLines().mid(5),
             QStringList({"PAGE 0 OK", "PAGE 1 RESEND", "PAGE 1 RESEND", "PAGE 1 OK", "END 1"}));
}

void TstSimulator::silentPage() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--silent-page", "1"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    host.Write("<");
    QCOMPARE(host.Read(5).size(), 5);
    host.Write(PageFrame(1, Pattern(256, 1)));
    QCOMPARE(host.Read(1, 200), QByteArray());
    host.Write(PageFrame(1, Pattern(256, 1)));
    QCOMPARE(host.Read(1, 200), QByteArray());
    // The frame after a silent one is read from the right place.
    host.Write(PageFrame(2, Pattern(256, 2)));
    QCOMPARE(host.Read(1), QByteArray("!"));
    host.Write(QByteArray::fromHex("ffff"));
    QVERIFY(sim.WaitEvent("END 1"));
    QCOMPARE(sim.EventLines().mid(5),
             QStringList({"PAGE 1 SILENT", "PAGE 1 SILENT", "PAGE 2 OK", "END 1"}));
    QFile flash(sim.Flash());
    QVERIFY(flash.open(QIODevice::ReadOnly));
    QCOMPARE(flash.readAll().mid(256, 256), QByteArray(256, char(0xFF)));
}

void TstSimulator::badSumPage() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--bad-sum-page", "0"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    for (int session = 1; session <= 2; ++session) {
        QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
        host.Write("<");
        QCOMPARE(host.Read(5).size(), 5);
        host.Write(PageFrame(0, Pattern(256, 0)));
        QCOMPARE(host.Read(1), QByteArray("@"));
        host.Write(PageFrame(0, Pattern(256, 0)));
        QCOMPARE(host.Read(1), QByteArray("!"));
        host.Write(QByteArray::fromHex("ffff"));
        QVERIFY(sim.WaitEvent(QString("END %1").arg(session)));
    }
    QCOMPARE(sim.EventLines().count("PAGE 0 BADSUM"), 2);
    QCOMPARE(sim.EventLines().count("PAGE 0 OK"), 2);
}

void TstSimulator::noReady() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--no-ready"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    host.Write("ZUB");
    QCOMPARE(host.Read(1, 200), QByteArray());
    host.Write("ZUB<");
    QCOMPARE(host.Read(1, 200), QByteArray());
    QCOMPARE(sim.EventLines(), QStringList({"OPEN", "WAKE", "WAKE"}));
}

void TstSimulator::splitIdentification() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--split-id", "--id", "4170645434"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    QElapsedTimer t;
    t.start();
    host.Write("<");
    QCOMPARE(host.Read(3), QByteArray::fromHex("417064"));
    const qint64 first = t.elapsed();
    QCOMPARE(host.Read(2), QByteArray::fromHex("5434"));
    const qint64 second = t.elapsed();
    // The rest comes only after the pause (a late first read may hide the gap, never fake it).
    QVERIFY2(second >= 45 && (second - first >= 35 || first >= 45),
             qPrintable(QString("%1 %2").arg(first).arg(second)));
}

void TstSimulator::strayBytesBeforeReady() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--stray", "12"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    host.Write("ZUB");
    const QByteArray got = host.Read(13);
    QCOMPARE(got.size(), 13);
    QCOMPARE(got.at(12), char(0x3E));
    for (int i = 0; i < 12; ++i) {
        const uint8_t b = uint8_t(got.at(i));
        QVERIFY2(b != 0x3E && b != 0x21 && b != 0x40, qPrintable(QString::number(b, 16)));
    }
    QCOMPARE(host.Read(1, 100), QByteArray());
}

// Codes the host does not know are sent as they are. A board with page size "U" takes no page
// frames; it still ends on FF FF and answers a new wake word, and its flash is 128 KiB.
void TstSimulator::unknownCodesReportedAsGiven() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--id", "996A0055FF"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    host.Write("<");
    QCOMPARE(host.Read(5), QByteArray::fromHex("996a0055ff"));
    host.Write(PageFrame(0, Pattern(32, 0)));
    QCOMPARE(host.Read(1, 100), QByteArray());
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    host.Write("<");
    QCOMPARE(host.Read(5), QByteArray::fromHex("996a0055ff"));
    host.Write(QByteArray::fromHex("ffff"));
    QVERIFY(sim.WaitEvent("END 1"));
    QVERIFY(sim.EventLines().contains("ID 99 6A 00 55 FF"));
    QFile flash(sim.Flash());
    QVERIFY(flash.open(QIODevice::ReadOnly));
    QCOMPARE(flash.readAll(), QByteArray(131072, char(0xFF)));
}

// A Mega8 ("l" 8 KiB, page "Q" 32): frames of 35 bytes, an 8 KiB flash file; a page past the end
// of its flash is acknowledged but has nowhere to go.
void TstSimulator::flashSizeFollowsTheId() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--id", "416C615133"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    host.Write("<");
    QCOMPARE(host.Read(5).size(), 5);
    const QByteArray last = Pattern(32, 9);
    host.Write(PageFrame(255, last));
    QCOMPARE(host.Read(1), QByteArray("!"));
    host.Write(PageFrame(256, Pattern(32, 1)));
    QCOMPARE(host.Read(1), QByteArray("!"));
    host.Write(QByteArray::fromHex("ffff"));
    QVERIFY(sim.WaitEvent("END 1"));
    QFile flash(sim.Flash());
    QVERIFY(flash.open(QIODevice::ReadOnly));
    const QByteArray image = flash.readAll();
    QCOMPARE(image.size(), 8192);
    QCOMPARE(image.right(32), last);
}

void TstSimulator::freshEachSessionAndOnce() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--fresh-each-session"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    for (int session = 0; session < 2; ++session) {
        QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
        host.Write("<");
        QCOMPARE(host.Read(5).size(), 5);
        host.Write(PageFrame(session, Pattern(256, session)));
        QCOMPARE(host.Read(1), QByteArray("!"));
        host.Write(QByteArray::fromHex("ffff"));
        QVERIFY(sim.WaitEvent(QString("END %1").arg(session + 1)));
    }
    // The second session started over with an erased flash.
    QFile flash(sim.Flash());
    QVERIFY(flash.open(QIODevice::ReadOnly));
    const QByteArray image = flash.readAll();
    QCOMPARE(image.left(256), QByteArray(256, char(0xFF)));
    QCOMPARE(image.mid(256, 256), Pattern(256, 1));

    QTemporaryDir dir2;
    Sim once(dir2);
    QVERIFY(once.Start({"--once"}));
    Host host2;
    QVERIFY(host2.Open(once.Path()));
    QCOMPARE(host2.Wake(), QByteArray::fromHex("3e"));
    host2.Write("<");
    QCOMPARE(host2.Read(5).size(), 5);
    host2.Write(QByteArray::fromHex("ffff"));
    QVERIFY(once.Process().waitForFinished(3000));
    QCOMPARE(once.Process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(once.Process().exitCode(), 0);
    QCOMPARE(once.EventLines().last(), QString("END 1"));
    QVERIFY(QFile::exists(once.Flash()));
}

// 259 bytes at 115200 baud take 22.5 ms on the wire, the flash write 30 ms more.
void TstSimulator::pacingTakesWireTime() {
    QTemporaryDir dir;
    Sim sim(dir);
    QVERIFY(sim.Start({"--pace", "115200", "--page-write-ms", "30"}));
    Host host;
    QVERIFY(host.Open(sim.Path()));
    QCOMPARE(host.Wake(), QByteArray::fromHex("3e"));
    host.Write("<");
    QCOMPARE(host.Read(5).size(), 5);
    QElapsedTimer t;
    t.start();
    host.Write(PageFrame(0, Pattern(256, 0)));
    QCOMPARE(host.Read(1), QByteArray("!"));
    QVERIFY2(t.elapsed() >= 52, qPrintable(QString::number(t.elapsed())));
}

void TstSimulator::commandLineAndLink() {
    QTemporaryDir dir;
    for (const QStringList& args :
         {QStringList{"--id", "44706454"}, QStringList{"--id", "447064543G"},
          QStringList{"--stray", "-1"}, QStringList{"--pace"}, QStringList{"--bogus"}}) {
        QProcess p;
        p.start(kSim, args);
        QVERIFY(p.waitForFinished(3000));
        QVERIFY2(p.exitCode() == 2, qPrintable(args.join(' ')));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }
    // A file that is not a link is never replaced.
    const QString taken = dir.filePath("taken");
    QFile f(taken);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("mine");
    f.close();
    QProcess p;
    p.start(kSim, {"--link", taken});
    QVERIFY(p.waitForFinished(3000));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("mine"));
    // A link left behind by a killed run is replaced.
    const QString stale = dir.filePath("stale");
    QVERIFY(QFile::link("/dev/pts/9999", stale));
    Sim sim(dir);
    QVERIFY(sim.Start({"--link", stale}));
    QCOMPARE(QFileInfo(stale).symLinkTarget(), sim.Path());
    QCOMPARE(sim.Stop(), 0);
    QVERIFY(!QFileInfo(stale).isSymLink());
}

QTEST_GUILESS_MAIN(TstSimulator)
#include "tst_simulator.moc"
