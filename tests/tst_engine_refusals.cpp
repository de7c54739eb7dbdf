// Downloads that must end early: resend limit, identifications that do not fit the image,
// settings that name no row, a port that is held, missing or goes away.
#include "tst_engine_probe.h"
#include "tst_engine_support.h"

#include "link/TComm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

class TestEngineRefusals : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void threeResendsGiveOverCount();
    void identificationThatDoesNotFitTheImage_data();
    void identificationThatDoesNotFitTheImage();
    void settingsWithNoRow_data();
    void settingsWithNoRow();
    void portVanishesMidDownload();
    void reopenFailsAfterModeSwitch_data();
    void reopenFailsAfterModeSwitch();
    void heldPortNamesItsHolder();
    void sharedPortNamesTheOtherProgram();
    void missingPortSaysSo();
};

namespace {

// The warning a Start logs when another program has the board's device open as well.
QString sharedWarning(const QString& pty, qint64 pid) {
    return QStringLiteral("[Warning] %1 is open in sleep (pid %2) as well: the board's answers "
                          "may go there; close that program, or pick another port")
        .arg(pty)
        .arg(pid);
}

} // namespace

void TestEngineRefusals::threeResendsGiveOverCount() {
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--resend-page"), QStringLiteral("1"),
                       QStringLiteral("--resend-times"), QStringLiteral("3")}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(1200, 1)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    // The fourth send is answered, but the limit is checked first on the next tick. The line
    // names what went wrong; the reason is the record's alone.
    VERIFY_LOG(rig, QStringList({kReady, kPower, kStart0,
                                 QStringLiteral("[Error] Fail Download Page[1]:Over Count")}));
    QCOMPARE(rig.F().Engine.CurrentRecord().Reason,
             QStringLiteral("The board asked for page 1 again on every send (noise on the line, "
                            "or a rate it cannot hold)"));
    QCOMPARE(rig.F().Engine.CurrentRecord().Kind, FailureKind::Board);
    QCOMPARE(sim.Count(QStringLiteral("PAGE 1 RESEND")), 3);
    QCOMPARE(sim.Count(QStringLiteral("PAGE 1 OK")), 1);
    QCOMPARE(sim.CountPrefix(QStringLiteral("PAGE 2")), 0);
    QCOMPARE(sim.CountPrefix(QStringLiteral("END")), 0);
    QVERIFY(!rig.F().Engine.PortEnabled());

    // Two resends stay within the limit: the download completes.
    BoardSim sim2;
    QVERIFY(sim2.Start({QStringLiteral("--resend-page"), QStringLiteral("0"),
                        QStringLiteral("--resend-times"), QStringLiteral("2")}));
    rig.F().Memo1->clear();
    rig.SetPort(sim2.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QTRY_COMPARE(sim2.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim2.Flash(), Flashed({{0, Code(1200, 1)}}, 131072));
}

void TestEngineRefusals::identificationThatDoesNotFitTheImage_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<QString>("pageSize");
    // Page size code "U" is in no table: nothing may divide by it.
    QTest::newRow("page size 0") << "4470645534" << 3000
                                 << "[Error] Get ID fail: unknown page size code 0x55" << true
                                 << "0";
    // Mega8 with 8 KiB of flash and a 10000-byte image: no board gets a truncated image.
    QTest::newRow("image past flash")
        << "416C635331" << 10000
        << "[Error] Image of 10000 bytes does not fit the flash of 8192 bytes" << false << "128";
    // Pic18F46K80 takes pages from 64 on; an image of 8 pages has none there.
    QTest::newRow("0xE0 below page 64")
        << "E06F645334" << 1000 << "[Error] Image has 8 pages, the board takes pages from 64 on"
        << false << "128";
}

void TestEngineRefusals::identificationThatDoesNotFitTheImage() {
    QFETCH(QString, id);
    QFETCH(int, imageSize);
    QFETCH(QString, line);
    QFETCH(bool, portOpen);
    QFETCH(QString, pageSize);
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--id"), id}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(imageSize, 2)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({kReady, kPower, kStart0, line}));
    QCOMPARE(rig.F().EdPageSize->text(), pageSize);
    QCOMPARE(rig.F().Engine.PortEnabled(), portOpen);
    QTest::qWait(50);
    QCOMPARE(sim.CountPrefix(QStringLiteral("PAGE")), 0);
    QCOMPARE(sim.CountPrefix(QStringLiteral("END")), 0);
    QVERIFY(sim.Flash().isEmpty());
}

void TestEngineRefusals::settingsWithNoRow_data() {
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("typed"); // typed over the protocol box after loading
    QTest::addColumn<QString>("line");
    QTest::newRow("protocol -1") << "-1"
                                 << "11" << QString() << "[Error] No protocol chosen (index -1)";
    QTest::newRow("protocol 99") << "99"
                                 << "11" << QString() << "[Error] No protocol chosen (index -1)";
    QTest::newRow("rate 99") << "0"
                             << "99" << QString() << "[Error] No baud rate chosen (index -1)";
    QTest::newRow("typed protocol") << "1"
                                    << "11"
                                    << "ZUB99"
                                    << "[Error] No protocol chosen (index -1)";
}

void TestEngineRefusals::settingsWithNoRow() {
    QFETCH(QString, protocol);
    QFETCH(QString, rate);
    QFETCH(QString, typed);
    QFETCH(QString, line);
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(700, 3)}})));
    const QByteArray ini = "ZUB COM Watch Ver=1.0\r\nCmbComPort=" + sim.Pty().toLocal8Bit() +
                           "\r\nCmbProtocol=" + protocol.toLatin1() +
                           "\r\nCmbBaudRate=" + rate.toLatin1() +
                           "\r\nEdFileName=fw.hex\r\nCmbModel=1\r\nCbBlankSkip=flase\r\n"
                           "CbAutoReset=true\r\nCbAutoDevSearch=flase\r\nRbLocalFile=true\r\n";
    QVERIFY(WriteFile(rig.Dir() + "/default.ini", ini));
    rig.F().LoadSettings(rig.Dir() + "/default.ini");
    QVERIFY(rig.Boxes.isEmpty());
    if (!typed.isNull())
        rig.F().CmbProtocol->setEditText(typed);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({line}));
    QVERIFY(!rig.F().Engine.PortEnabled());
    QTest::qWait(100);
    QVERIFY(sim.Events().isEmpty()); // no frame at an undefined rate, not even an open
}

void TestEngineRefusals::portVanishesMidDownload() {
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--silent-page"), QStringLiteral("3")}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(2000, 4)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    // Another program keeps the device open: once the device is gone it is not blamed.
    QProcess holder;
    holder.setStandardInputFile(sim.Pty());
    holder.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(holder.waitForStarted());
    const qint64 pid = holder.processId();
    rig.Start();
    QTRY_COMPARE_WITH_TIMEOUT(sim.Count(QStringLiteral("PAGE 3 SILENT")), 1, 5000);
    sim.Kill(); // the adapter is pulled while the engine waits for page 3's answer
    QVERIFY(rig.WaitIdle(2000));
    holder.kill();
    holder.waitForFinished();
    VERIFY_LOG(rig, QStringList({sharedWarning(sim.Pty(), pid), kReady, kPower, kStart0,
                                 QStringLiteral("통신포트오류:") + sim.Pty(),
                                 QStringLiteral("[Error] ") + sim.Pty() +
                                     QStringLiteral(" went away; check the cable and the adapter, "
                                                    "then start again")}));
    QVERIFY(!rig.F().Engine.PortEnabled());
    QVERIFY(!EngineProbe(rig.F().Engine).PortOpened());
}

void TestEngineRefusals::reopenFailsAfterModeSwitch_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("typed");
    QTest::newRow("picked") << 2 << QString();
    QTest::newRow("typed over NORMAL") << 0 << "zub16t2 ";
}

void TestEngineRefusals::reopenFailsAfterModeSwitch() {
    QFETCH(int, row);
    QFETCH(QString, typed);
    QTemporaryDir links;
    TestBoard board({true, QByteArray("\x44\x70\x64\x54\x34", 5), true,
                     links.path() + QStringLiteral("/usb-Zub_Board-if00-port0")});
    QVERIFY(board.Ok());
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(700, 5)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(board.Port());
    rig.F().CmbProtocol->setCurrentIndex(row);
    if (!typed.isNull())
        rig.F().CmbProtocol->setEditText(typed); // the row stays NORMAL, the text names ZUB16T2
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QVERIFY(board.Vanished());
    VERIFY_LOG(rig,
               QStringList({kReady, kPower, QStringLiteral("통신포트오류:") + board.Port(),
                            QStringLiteral("[Error] No such device: ") + board.Port() +
                                QStringLiteral("; plug the adapter in, or pick another port")}));
    QVERIFY(!EngineProbe(rig.F().Engine).PortOpened());
    QCOMPARE(board.WakeCount(), 0); // nothing written into a closed port
}

// Another program holds the board's device, named by a lock file as minicom and lockdev write
// it; the port is given by a /dev/serial/by-id style link. Once the lock is gone the same link
// downloads.
void TestEngineRefusals::heldPortNamesItsHolder() {
    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        QSKIP("no writable /var/lock here");
    QTemporaryDir links;
    const QString link = links.path() + QStringLiteral("/usb-Zub_Board_A50285BI-if00-port0");
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--link"), link}));
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(holder.waitForStarted());
    const QString lockPath = QStringLiteral("/var/lock/LCK..") +
                             sim.Pty().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    QVERIFY(WriteFile(lockPath, QByteArray::number(holder.processId()).rightJustified(10) + "\n"));

    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(700, 6)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(link);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QFile::remove(lockPath);
    VERIFY_LOG(rig, QStringList({QStringLiteral("통신포트오류:") + link,
                                 QStringLiteral("[Error] %1 is in use by sleep (pid %2); close "
                                                "that program, or pick another port")
                                     .arg(sim.Pty())
                                     .arg(holder.processId())}));
    QVERIFY(sim.Events().isEmpty()); // never opened behind the holder's back

    rig.F().Memo1->clear();
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QTRY_COMPARE(sim.Flash(), Flashed(image, 131072));
    holder.kill();
    holder.waitForFinished();
}

// A program that opened the board's device without a lock and without reading (a terminal
// left open, a modem manager's probe): the Start warns at the open and the failure names it.
void TestEngineRefusals::sharedPortNamesTheOtherProgram() {
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--silent-page"), QStringLiteral("2")}));
    QProcess holder;
    holder.setStandardInputFile(sim.Pty());
    holder.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(holder.waitForStarted());
    const qint64 pid = holder.processId();
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(2000, 8)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle(10000));
    const QString reason = QStringLiteral("The board did not answer page 2 within 3 seconds; "
                                          "sleep (pid %1) has the port open too and may take "
                                          "the board's answers")
                               .arg(pid);
    holder.kill();
    holder.waitForFinished();
    VERIFY_LOG(rig, QStringList({sharedWarning(sim.Pty(), pid), kReady, kPower, kStart0,
                                 QStringLiteral("[Error] Fail Download Page[2]: No Response")}));
    QCOMPARE(rig.F().Engine.CurrentRecord().Kind, FailureKind::Board);
    QCOMPARE(rig.F().Engine.CurrentRecord().Reason, reason);
}

void TestEngineRefusals::missingPortSaysSo() {
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(700, 7)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(QStringLiteral("/dev/zub-no-such-tty"));
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({QStringLiteral("통신포트오류:/dev/zub-no-such-tty"),
                                 QStringLiteral("[Error] No such device: /dev/zub-no-such-tty; "
                                                "plug the adapter in, or pick another port")}));

    // A Com number past the system's devices.
    BoardSim sim;
    QVERIFY(sim.Start());
    TComm::SetDeviceListProvider([&] { return QStringList{sim.Pty()}; });
    rig.F().Memo1->clear();
    rig.SetPort(QStringLiteral("Com3"));
    rig.Start();
    QVERIFY(rig.WaitIdle());
    TComm::SetDeviceListProvider({});
    VERIFY_LOG(rig, QStringList({QStringLiteral("통신포트오류:Com3"),
                                 QStringLiteral("[Error] Com3 names no device: this system has 1 "
                                                "serial port(s); pick another port")}));
}

QTEST_MAIN(TestEngineRefusals)
#include "tst_engine_refusals.moc"
