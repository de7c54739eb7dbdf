// The start-up sequence as the operator meets it a second after the window appears: settings
// restored, model list filled, port configured, the scan started when asked for, and a missing
// image list fetched from a real HTTP server on 127.0.0.1 (its access log shows every request).
#include "app/ZubBootLoadMain.h"
#include "tst_engine_probe.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

namespace {

// python3's http.server over a folder of its own, on a free port; stderr is its access log.
class LocalServer {
public:
    LocalServer() {
        QDir(root.path()).mkpath(QStringLiteral("ydr/zubloader"));
        proc.setProgram(QStringLiteral("python3"));
        proc.setArguments({QStringLiteral("-u"), QStringLiteral("-m"),
                           QStringLiteral("http.server"), QStringLiteral("0"),
                           QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                           QStringLiteral("--directory"), root.path()});
        proc.start();
        proc.waitForStarted(5000);
        QByteArray banner;
        for (int i = 0; i < 100 && !banner.contains('\n'); ++i) {
            proc.waitForReadyRead(100);
            banner += proc.readAllStandardOutput();
        }
        // "Serving HTTP on 127.0.0.1 port 40123 (http://127.0.0.1:40123/) ..."
        const int at = banner.indexOf(" port ");
        if (at >= 0)
            port = banner.mid(at + 6).split(' ').value(0).toInt();
    }
    ~LocalServer() {
        proc.terminate();
        proc.waitForFinished(3000);
    }
    void put(const QString& name, const QByteArray& body) {
        QFile f(root.path() + QStringLiteral("/ydr/zubloader/") + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(body);
    }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    // Request lines seen so far, e.g. "GET /ydr/zubloader/hexlist.txt".
    QStringList requests() {
        QTest::qWait(150); // let the last log lines reach the pipe
        log += proc.readAllStandardError();
        QStringList out;
        for (const QByteArray& line : log.split('\n')) {
            const int q = line.indexOf('"');
            if (q < 0)
                continue;
            const QList<QByteArray> parts = line.mid(q + 1).split(' ');
            if (parts.size() >= 2)
                out << QString::fromLatin1(parts[0] + ' ' + parts[1]);
        }
        return out;
    }

    QTemporaryDir root;
    QProcess proc;
    QByteArray log;
    int port = 0;
};

// A 127.0.0.1 port on which nothing listens.
int closedPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

QByteArray settingsFile(const QByteArray& port, int baud, int model, bool autoSearch,
                        bool localFile) {
    auto b = [](bool v) { return QByteArray(v ? "true" : "flase"); };
    return "ZUB COM Watch Ver=1.0\r\nCmbComPort=" + port +
           "\r\nCmbProtocol=0\r\nCmbBaudRate=" + QByteArray::number(baud) +
           "\r\nEdFileName=default.bin\r\nCmbModel=" + QByteArray::number(model) +
           "\r\nCbBlankSkip=flase\r\nCbAutoReset=true\r\nCbAutoDevSearch=" + b(autoSearch) +
           "\r\nRbLocalFile=" + b(localFile) + "\r\n";
}

QByteArray imageList(int rows) {
    QByteArray out;
    for (int i = 0; i < rows; ++i)
        out += "Board " + QByteArray::number(i) + "=board" + QByteArray::number(i) + ".hex\r\n";
    return out;
}

void writeFile(const QString& path, const QByteArray& body) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(body);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstStartup : public QObject {
    Q_OBJECT

    QTemporaryDir* dir = nullptr;
    std::unique_ptr<TForm1> form;
    QStringList boxes;
    bool hourglassAtBoxes = true; // the sequence shows the hourglass while it works

    // A window created in a fresh start directory, its client pointed at `host`.
    void makeForm(const QString& host) {
        QVERIFY(QDir::setCurrent(dir->path()));
        form = std::make_unique<TForm1>();
        form->MessageBoxHook = [this](const QString& t) {
            boxes << t;
            const QCursor* c = QApplication::overrideCursor();
            hourglassAtBoxes = hourglassAtBoxes && c && c->shape() == Qt::WaitCursor;
        };
        EngineProbe(form->Engine).Upd().BaseUrl = QStringLiteral("http://") + host;
        EngineProbe(form->Engine).Upd().UpdateUrl =
            EngineProbe(form->Engine).Upd().BaseUrl + QStringLiteral("/ydr/zubloader/");
    }
    // Lets Timer1 fire on its own, as it does for the operator.
    void waitForStartup() {
        QSignalSpy fired(form->Timer1, &QTimer::timeout);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 5000);
        QVERIFY(!form->Timer1->isActive());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
    QStringList logLines() const {
        return form->Memo1->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool noModelFiles() const {
        for (const QString& f : form->Engine.ModelFileNames())
            if (!f.isEmpty())
                return false;
        return true;
    }

private Q_SLOTS:
    void initTestCase() {
        // No test may ever open a real serial device of this machine.
        TComm::SetDeviceListProvider([] { return QStringList(); });
    }
    void init() {
        dir = new QTemporaryDir;
        boxes.clear();
        hourglassAtBoxes = true;
    }
    void cleanup() {
        form.reset();
        QDir::setCurrent(QDir::tempPath());
        delete dir;
    }

    void firstStartFetchesListButKeepsPlaceholders() {
        LocalServer server;
        QVERIFY(server.port > 0);
        const QByteArray list = "P-센서 보드=sensor.lod\r\nA-controller=ctrl.hex\r\n";
        server.put(QStringLiteral("hexlist.txt"), list);
        makeForm(server.host());
        waitForStartup();

        QCOMPARE(boxes, QStringList({QStringLiteral("[Warnning]Cannot Read a Initial File!!!"),
                                     QStringLiteral("[ERROR] Cannot a Hex_List File!")}));
        // Probe of the root, then the list; nothing else.
        QCOMPARE(server.requests(),
                 QStringList(
                     {QStringLiteral("GET /"), QStringLiteral("GET /ydr/zubloader/hexlist.txt")}));
        QVERIFY(hourglassAtBoxes);
        QCOMPARE(readFile(dir->path() + QStringLiteral("/hexlist.txt")), list);
        // Fetched for the next start: the window still shows the placeholder rows.
        QCOMPARE(form->CmbModel->count(), 16);
        QCOMPARE(form->CmbModel->itemText(0), QStringLiteral("Model 01 motion sensor V1.6"));
        QCOMPARE(form->CmbModel->currentIndex(), 1);
        QVERIFY(noModelFiles());
        QCOMPARE(logLines(), QStringList());

        // Once only: nothing more happens in the next seconds.
        QTest::qWait(2200);
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(boxes.size(), 2);
    }

    void listOnDiskOrLocalSourceMakesNoRequest_data() {
        QTest::addColumn<bool>("localFile");
        QTest::addColumn<bool>("listOnDisk");
        QTest::newRow("web source, list on disk") << false << true;
        QTest::newRow("local source, list on disk") << true << true;
        QTest::newRow("local source, no list") << true << false;
    }
    void listOnDiskOrLocalSourceMakesNoRequest() {
        QFETCH(bool, localFile);
        QFETCH(bool, listOnDisk);
        LocalServer server;
        QVERIFY(server.port > 0);
        server.put(QStringLiteral("hexlist.txt"), "Newer=newer.hex\r\n");
        const QByteArray onDisk = imageList(4);
        if (listOnDisk)
            writeFile(dir->path() + QStringLiteral("/hexlist.txt"), onDisk);
        writeFile(dir->path() + QStringLiteral("/default.ini"),
                  settingsFile("COM2", 11, 2, false, localFile));
        makeForm(server.host());
        waitForStartup();

        QVERIFY(server.requests().isEmpty());
        QCOMPARE(logLines(), QStringList());
        QCOMPARE(form->RbLocalFile->isChecked(), localFile);
        if (listOnDisk) {
            QVERIFY(boxes.isEmpty());
            QCOMPARE(readFile(dir->path() + QStringLiteral("/hexlist.txt")), onDisk);
            QCOMPARE(form->CmbModel->count(), 4);
            QCOMPARE(form->CmbModel->currentIndex(), 2);
            QCOMPARE(form->Engine.ModelFileNames()[3], QStringLiteral("board3.hex"));
        } else {
            QCOMPARE(boxes, QStringList{QStringLiteral("[ERROR] Cannot a Hex_List File!")});
            QVERIFY(!QFileInfo::exists(dir->path() + QStringLiteral("/hexlist.txt")));
        }
    }

    void noNetworkLogsTheFailureLine() {
        writeFile(dir->path() + QStringLiteral("/default.ini"),
                  settingsFile("COM1", 11, 1, false, false));
        makeForm(QStringLiteral("127.0.0.1:%1").arg(closedPort()));
        waitForStartup();

        QCOMPARE(boxes, QStringList{QStringLiteral("[ERROR] Cannot a Hex_List File!")});
        QCOMPARE(logLines(), QStringList{QStringLiteral("[장애]서버에 연결 할 수 없습니다.")});
        QVERIFY(noModelFiles());
        QVERIFY(!QFileInfo::exists(dir->path() + QStringLiteral("/hexlist.txt")));
    }

    void restoredModelRowKeptOrNoneSelected_data() {
        QTest::addColumn<int>("savedRow");
        QTest::addColumn<int>("listRows");
        QTest::addColumn<int>("selected");
        QTest::newRow("row inside the list") << 3 << 5 << 3;
        QTest::newRow("last row") << 4 << 5 << 4;
        QTest::newRow("row past the end") << 5 << 5 << -1;
        QTest::newRow("far past the end") << 15 << 2 << -1;
        QTest::newRow("none saved") << -1 << 5 << -1;
    }
    void restoredModelRowKeptOrNoneSelected() {
        QFETCH(int, savedRow);
        QFETCH(int, listRows);
        QFETCH(int, selected);
        writeFile(dir->path() + QStringLiteral("/hexlist.txt"), imageList(listRows));
        writeFile(dir->path() + QStringLiteral("/default.ini"),
                  settingsFile("COM1", 11, savedRow, false, false));
        makeForm(QStringLiteral("127.0.0.1:%1").arg(closedPort()));
        waitForStartup();

        QVERIFY(boxes.isEmpty());
        QCOMPARE(form->CmbModel->count(), listRows);
        QCOMPARE(form->CmbModel->currentIndex(), selected);
        QCOMPARE(form->Engine.ModelFileNames()[0], QStringLiteral("board0.hex"));
    }

    void portConfiguredAndScanStartedFromSettings() {
        // The one port the scan can find: a pseudo-terminal standing in for the first device.
        int master = -1, slave = -1;
        char name[64] = {};
        QCOMPARE(openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        const QString slavePath = QString::fromLocal8Bit(name);
        TComm::SetDeviceListProvider([slavePath] { return QStringList{slavePath}; });

        writeFile(dir->path() + QStringLiteral("/hexlist.txt"), imageList(2));
        writeFile(dir->path() + QStringLiteral("/default.ini"),
                  settingsFile(slavePath.toLocal8Bit(), 12, 0, true, false));
        makeForm(QStringLiteral("127.0.0.1:%1").arg(closedPort()));
        // Seen right after the sequence, before the scan's first tick renames the device.
        QByteArray nameAfter;
        int rateAfter = -1;
        bool openAfter = true, scanAfter = false;
        connect(form->Timer1, &QTimer::timeout, this, [&] {
            nameAfter = EngineProbe(form->Engine).Comm1().DeviceName();
            rateAfter = form->Engine.PortRateCode();
            openAfter = form->Engine.PortEnabled();
            scanAfter = form->Engine.Scanning();
        });
        QSignalSpy fired(form->Timer1, &QTimer::timeout);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 5000);

        QCOMPARE(nameAfter, slavePath.toLocal8Bit());
        QCOMPARE(rateAfter, 12);
        QVERIFY(!openAfter);
        QVERIFY(scanAfter);
        QVERIFY(form->CbAutoDevSearch->isChecked());
        QVERIFY(!form->CbAutoDevSearch->isEnabled()); // still the operator cannot change it

        QTRY_VERIFY_WITH_TIMEOUT(!form->Engine.Scanning(), 10000);
        QCOMPARE(logLines(), QStringList({QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                          QStringLiteral("Found COM Port : Com1"),
                                          QStringLiteral("[1]개의 COM포트 발견")}));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        ::close(slave);
        ::close(master);
        TComm::SetDeviceListProvider([] { return QStringList(); });
    }

    void noScanWithoutTheBox() {
        writeFile(dir->path() + QStringLiteral("/hexlist.txt"), imageList(2));
        writeFile(dir->path() + QStringLiteral("/default.ini"),
                  settingsFile("/dev/ttyUSB7", 3, 0, false, false));
        makeForm(QStringLiteral("127.0.0.1:%1").arg(closedPort()));
        waitForStartup();
        QCOMPARE(EngineProbe(form->Engine).Comm1().DeviceName(), QByteArray("/dev/ttyUSB7"));
        QCOMPARE(form->Engine.PortRateCode(), 3);
        QVERIFY(!form->Engine.PortEnabled());
        QTest::qWait(100);
        QVERIFY(!form->Engine.Scanning());
        QCOMPARE(logLines(), QStringList());
    }
};

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
