// Port management and the port scan through the real window, with pseudo-terminals standing in
// for the system's serial devices.
#include "app/ZubBootLoadMain.h"
#include "tst_comm_pty.h"
#include "tst_engine_probe.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

class TstPortScan : public QObject {
    Q_OBJECT
    std::unique_ptr<TForm1> form;
    std::unique_ptr<QTemporaryDir> dir;
    PtyPair second, fifth, outside;
    QStringList devices; // what the system "lists": eight names, two of them real ptys
    QStringList boxes;

    QStringList logLines() const {
        const QString text = form->Memo1->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    QStringList items() const {
        QStringList out;
        for (int i = 0; i < form->CmbComPort->count(); ++i)
            out << form->CmbComPort->itemText(i);
        return out;
    }
    bool scanDone() const {
        return EngineProbe(form->Engine).DevCtrlState() == 0 && !form->Engine.Scanning();
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(second.ok() && fifth.ok() && outside.ok());
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        // Numbered names sort as 1..8; numbers 2 and 5 lead to real ptys, the rest to nothing.
        for (int n = 1; n <= 8; ++n) {
            const QString p = dir->path() + QStringLiteral("/zubtty%1").arg(n);
            if (n == 2)
                QVERIFY(QFile::link(second.path, p));
            if (n == 5)
                QVERIFY(QFile::link(fifth.path, p));
            devices << p;
        }
        // Given in an order the component must sort.
        TComm::SetDeviceListProvider([this] {
            return QStringList{devices[7], devices[4], devices[0], devices[1],
                               devices[6], devices[2], devices[5], devices[3]};
        });
    }
    void init() {
        form = std::make_unique<TForm1>();
        form->Timer1->stop();
        form->MessageBoxHook = [this](const QString& t) { boxes << t; };
        form->Memo1->clear();
    }
    void cleanup() {
        form.reset();
        QVERIFY(boxes.isEmpty());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void scanFindsTheTwoPortsThatOpen() {
        form->CmbComPort->setCurrentIndex(2);
        QCOMPARE(form->CmbComPort->currentText(), QStringLiteral("COM3"));
        form->Engine.StartDeviceSearch();
        QTRY_VERIFY(QApplication::overrideCursor() != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(scanDone(), 15000);
        QCOMPARE(logLines(), QStringList({QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                          QStringLiteral("Found COM Port : Com2"),
                                          QStringLiteral("Found COM Port : Com5"),
                                          QStringLiteral("[2]개의 COM포트 발견")}));
        QCOMPARE(items(), QStringList({"Com2", "Com5"}));
        QCOMPARE(form->CmbComPort->currentText(), QStringLiteral("COM3"));
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(!form->Engine.PortEnabled());
        QCOMPARE(EngineProbe(form->Engine).Comm1().DeviceName(), QByteArray("Com8"));
        QCOMPARE(EngineProbe(form->Engine).ScanPortNo(), 9);
        // Not a byte went out on either port.
        QCOMPARE(second.receive(50), QByteArray());
        QCOMPARE(fifth.receive(50), QByteArray());
    }

    void scanRestartedMidwayStartsAgainFromPortOne() {
        form->CmbComPort->setEditText(QStringLiteral("/dev/ttyUSB3"));
        form->Engine.StartDeviceSearch();
        QTRY_VERIFY_WITH_TIMEOUT(EngineProbe(form->Engine).ScanPortNo() >= 3 &&
                                     EngineProbe(form->Engine).ScanPortNo() <= 5,
                                 10000);
        QCOMPARE(logLines(), QStringList({QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                          QStringLiteral("Found COM Port : Com2")}));
        form->Engine.StartDeviceSearch();
        QTRY_VERIFY_WITH_TIMEOUT(scanDone(), 15000);
        QCOMPARE(logLines(), QStringList({QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                          QStringLiteral("Found COM Port : Com2"),
                                          QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                          QStringLiteral("Found COM Port : Com2"),
                                          QStringLiteral("Found COM Port : Com5"),
                                          QStringLiteral("[2]개의 COM포트 발견")}));
        QCOMPARE(items(), QStringList({"Com2", "Com5"}));
        QCOMPARE(form->CmbComPort->currentText(), QStringLiteral("/dev/ttyUSB3"));
    }

    void scanClosesAnOpenPortAndFollowsTheRateText() {
        // Nothing of the list opens; the port already open is elsewhere and must not be
        // reported as found.
        TComm::SetDeviceListProvider([this] {
            return QStringList{dir->path() + "/none1", dir->path() + "/none2"};
        });
        EngineProbe(form->Engine).Comm1().SetDeviceName(outside.path.toLocal8Bit());
        QVERIFY(EngineProbe(form->Engine).OpenPort());
        // The rate box shows a row's text that is not its selected row: the text counts.
        QCOMPARE(form->CmbBaudRate->currentIndex(), 11);
        form->CmbBaudRate->setEditText(QStringLiteral("br115200"));
        form->Engine.StartDeviceSearch();
        QTRY_VERIFY_WITH_TIMEOUT(scanDone(), 15000);
        QCOMPARE(logLines(), QStringList({QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                          QStringLiteral("[0]개의 COM포트 발견")}));
        QVERIFY(items().isEmpty());
        QCOMPARE(form->CmbComPort->currentText(), QStringLiteral("COM1"));
        QVERIFY(!form->Engine.PortEnabled());
        QVERIFY(!EngineProbe(form->Engine).PortOpened());
        QCOMPARE(form->Engine.PortRateCode(), 12);
        QCOMPARE(outside.receive(50), QByteArray());

        // Text that names no row keeps the component's rate.
        EngineProbe(form->Engine).Comm1().SetBaudRate(3);
        form->CmbBaudRate->setEditText(QStringLiteral("fast"));
        form->Memo1->clear();
        form->Engine.StartDeviceSearch();
        QTRY_VERIFY_WITH_TIMEOUT(scanDone(), 15000);
        QCOMPARE(form->Engine.PortRateCode(), 3);
        QCOMPARE(logLines().size(), 2);

        TComm::SetDeviceListProvider([this] {
            return QStringList{devices[7], devices[4], devices[0], devices[1],
                               devices[6], devices[2], devices[5], devices[3]};
        });
    }

    void openAndClosePort() {
        EngineProbe(form->Engine).Comm1().SetDeviceName(outside.path.toLocal8Bit());
        QVERIFY(EngineProbe(form->Engine).OpenPort());
        QVERIFY(EngineProbe(form->Engine).PortOpened());
        QVERIFY(form->Engine.PortEnabled());
        // Already open: not reopened, still success (bytes queued before stay readable).
        QVERIFY(outside.send("?"));
        ::usleep(20000);
        QVERIFY(EngineProbe(form->Engine).OpenPort());
        QCOMPARE(EngineProbe(form->Engine).Comm1().InQueCount(), 1);
        EngineProbe(form->Engine).ClosePort();
        QVERIFY(!form->Engine.PortEnabled());
        QVERIFY(EngineProbe(form->Engine).PortOpened()); // ClosePort leaves it as it was
        EngineProbe(form->Engine).ClosePort();
        QVERIFY(!form->Engine.PortEnabled());
        // A failed open reports false.
        EngineProbe(form->Engine).Comm1().SetDeviceName("/nonexistent/zubtty");
        QVERIFY(!EngineProbe(form->Engine).OpenPort());
        QVERIFY(!EngineProbe(form->Engine).PortOpened());
    }

    void typingIntoThePortBoxClosesThePort() {
        QLineEdit* edit = form->CmbComPort->lineEdit();
        EngineProbe(form->Engine).Comm1().SetDeviceName(outside.path.toLocal8Bit());
        QVERIFY(EngineProbe(form->Engine).OpenPort());
        // Programmatic text changes are not the operator's: the port stays open.
        form->CmbComPort->setEditText(outside.path.chopped(1));
        QVERIFY(form->Engine.PortEnabled());
        edit->setCursorPosition(edit->text().size());
        QTest::keyClick(edit, outside.path.back().toLatin1());
        QVERIFY(!form->Engine.PortEnabled());
        QVERIFY(!EngineProbe(form->Engine).PortOpened());
        QCOMPARE(EngineProbe(form->Engine).Comm1().DeviceName(), outside.path.toLocal8Bit());
        // Later keystrokes only rename the device.
        EngineProbe(form->Engine).Comm1().Open();
        QVERIFY(form->Engine.PortEnabled());
        QTest::keyClick(edit, 'x');
        QVERIFY(form->Engine.PortEnabled());
        QCOMPARE(EngineProbe(form->Engine).Comm1().DeviceName(), outside.path.toLocal8Bit() + "x");
        EngineProbe(form->Engine).Comm1().Close();
    }

    void pickingARowNamesThatDevice() {
        form->CmbComPort->setCurrentIndex(0);
        EngineProbe(form->Engine).Comm1().SetDeviceName(outside.path.toLocal8Bit());
        QVERIFY(EngineProbe(form->Engine).OpenPort());
        QTest::keyClick(form->CmbComPort, Qt::Key_Down);
        QCOMPARE(form->CmbComPort->currentText(), QStringLiteral("COM2"));
        QVERIFY(!form->Engine.PortEnabled());
        QVERIFY(!EngineProbe(form->Engine).PortOpened());
        QCOMPARE(EngineProbe(form->Engine).Comm1().DeviceName(), QByteArray("COM2"));
    }
};

QTEST_MAIN(TstPortScan)
#include "tst_portscan.moc"
