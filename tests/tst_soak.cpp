// A production line's shift in one process: 200 downloads in a row into the unpaced board
// simulator, each one complete and correct (the board's flash compared with the image), with
// resident memory and open file descriptors staying flat. The figures are printed.
#include "app/ZubBootLoadMain.h"
#include "tst_board_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr int kDownloads = 200;
constexpr int kImageBytes = 1024; // four 256-byte pages of the simulated Mega128
constexpr int kFlashBytes = 128 * 1024;

long residentKiB() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

int openFds() {
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}

// Download n's image: different on every download, so a stale flash dump cannot pass.
QByteArray imageFor(int n) {
    QByteArray image(kImageBytes, '\0');
    for (int i = 0; i < kImageBytes; ++i)
        image[i] = char((i * 7 + n * 13) & 0xFF);
    return image;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstSoak : public QObject {
    Q_OBJECT

    QStringList lastLines(int n) const {
        QStringList out;
        for (QTextBlock b = form->Memo1->document()->lastBlock(); b.isValid() && out.size() < n;
             b = b.previous())
            if (!b.text().isEmpty())
                out.prepend(b.text());
        return out;
    }
    int endEvents() const {
        return readAll(dir.path() + QStringLiteral("/events.log")).count("END ");
    }

    QTemporaryDir dir;
    QProcess sim;
    std::unique_ptr<TForm1> form;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir.isValid());
        // Nothing here may touch a real serial device or the update server.
        TComm::SetDeviceListProvider([] { return QStringList(); });
        sim.setProgram(QStringLiteral(ZUB_BINARY_DIR "/tools/zub-boardsim"));
        sim.setArguments({QStringLiteral("--flash-out"), dir.path() + QStringLiteral("/flash.bin"),
                          QStringLiteral("--events"), dir.path() + QStringLiteral("/events.log"),
                          QStringLiteral("--fresh-each-session")});
        sim.start();
        QVERIFY(sim.waitForStarted(5000));
        QByteArray first;
        for (int i = 0; i < 50 && !first.contains('\n'); ++i) {
            sim.waitForReadyRead(100);
            first += sim.readAllStandardOutput();
        }
        QVERIFY2(first.startsWith("PTY /dev/"), first.constData());
        const QString pty = QString::fromLocal8Bit(first.mid(4).trimmed());

        QVERIFY(QDir::setCurrent(dir.path()));
        form = std::make_unique<TForm1>();
        form->Timer1->stop(); // no start-up sequence: the controls are set here
        form->MessageBoxHook = [](const QString& text) { QFAIL(qPrintable(text)); };
        form->CmbComPort->setEditText(pty);
        form->CmbBaudRate->setCurrentIndex(12);
        form->CmbProtocol->setCurrentIndex(0);
        form->CbAutoReset->setChecked(true);
        form->CbBlankSkip->setChecked(false);
        form->RbLocalFile->setChecked(true);
        form->EdFileName->setText(dir.path() + QStringLiteral("/soak.hex"));
    }

    void cleanupTestCase() {
        form.reset();
        sim.terminate();
        sim.waitForFinished(5000);
    }

    void twoHundredDownloads() {
        const QString hexPath = dir.path() + QStringLiteral("/soak.hex");
        const QString dumpPath = dir.path() + QStringLiteral("/flash.bin");
        long rssWarm = 0;
        int fdsWarm = 0;
        QElapsedTimer clock;
        clock.start();
        for (int n = 0; n < kDownloads; ++n) {
            const QByteArray image = imageFor(n);
            QFile hex(hexPath);
            QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
            hex.write(HexText({{0, image}}, true));
            hex.close();

            form->Engine.BtnStartClick();
            QTRY_VERIFY_WITH_TIMEOUT(form->Engine.State() == 0 && !form->Engine.Ticking(), 20000);
            const QStringList tail = lastLines(3);
            QVERIFY2(
                tail.size() == 3 &&
                    tail[0].endsWith(QStringLiteral("] 다운로드 시작 : ") + QString::number(n)) &&
                    tail[1].endsWith(QStringLiteral("] 다운로드 완료")) &&
                    tail[2] == QStringLiteral("장치와 연결을 해제하였습니다."),
                qPrintable(QStringLiteral("download %1: %2").arg(n).arg(tail.join(" | "))));
            QTRY_COMPARE_WITH_TIMEOUT(endEvents(), n + 1, 5000);
            QByteArray expected = image + QByteArray(kFlashBytes - kImageBytes, char(0xFF));
            QTRY_COMPARE_WITH_TIMEOUT(readAll(dumpPath), expected, 5000);

            if (n == 19) { // past the first-use allocations of Qt, fonts and the port
                rssWarm = residentKiB();
                fdsWarm = openFds();
            }
            if ((n + 1) % 50 == 0)
                qInfo("after %3d downloads: VmRSS %ld KiB, open fds %d, %.2f s per download", n + 1,
                      residentKiB(), openFds(), clock.elapsed() / 1000.0 / (n + 1));
        }
        const long rssEnd = residentKiB();
        const int fdsEnd = openFds();
        qInfo("downloads 20..200: VmRSS %ld -> %ld KiB (%+ld KiB), open fds %d -> %d", rssWarm,
              rssEnd, rssEnd - rssWarm, fdsWarm, fdsEnd);
        QCOMPARE(form->Engine.DownloadsDone(), kDownloads);
        QCOMPARE(fdsEnd, fdsWarm);
#if !defined(__SANITIZE_ADDRESS__)
        // A leak of one image buffer (128 KiB) per download would add over 20 MiB here. The
        // log pane keeps its five lines a download (about 3 KiB with their layout), which the
        // operator expects; with the pane cleared between downloads the figure stays level.
        QVERIFY2(rssEnd - rssWarm < 4096, "resident memory grows with every download");
#endif
    }
};

QTEST_MAIN(TstSoak)
#include "tst_soak.moc"
