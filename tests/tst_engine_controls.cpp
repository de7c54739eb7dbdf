// The operator's controls around a download: Stop and a rebuilt file, the local-file button,
// find-port and Start crossing a port scan, continuous mode, closing the window mid-download.
#include "tst_engine_probe.h"
#include "tst_engine_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QThread>
#include <QTimer>

class TestEngineControls : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stopThenRebuiltFileIsSentAnew();
    void localFileButtonAroundDownloads();
    void findPortDuringDownload();
    void startDuringPortScan();
    void continuousModeKeepsPortAndImage();
    void closeDuringDownloadRunsNoFurtherStep();
};

void TestEngineControls::stopThenRebuiltFileIsSentAnew() {
    BoardSim silent;
    QVERIFY(silent.Start({QStringLiteral("--silent-page"), QStringLiteral("1")}));
    FormRig rig;
    const QString path = rig.Dir() + "/fw.hex";
    QVERIFY(WriteFile(path, HexText({{0, Code(1500, 1)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(silent.Pty());
    rig.Start();
    QTRY_COMPARE_WITH_TIMEOUT(silent.Count(QStringLiteral("PAGE 1 SILENT")), 1, 5000);
    QVERIFY(rig.WaitState(112));
    QTest::mouseClick(rig.F().BtnStop, Qt::LeftButton);
    VERIFY_LOG(rig, QStringList({kReady, kPower, startLine(0), kReleased}));
    QCOMPARE(rig.F().ProgressBar1->value(), 0);
    QVERIFY(!rig.F().Engine.PortEnabled());
    QVERIFY(!rig.F().Engine.Ticking());
    QTest::qWait(50);
    QCOMPARE(silent.CountPrefix(QStringLiteral("END")), 0); // Stop sends no end frame
    QVERIFY(rig.F().Engine.ImageEndAddress() != 0);

    // Nothing changed: the image in memory goes out as it is, without a load.
    BoardSim board;
    QVERIFY(board.Start({QStringLiteral("--fresh-each-session")}));
    rig.SetPort(board.Pty());
    EngineProbe(rig.F().Engine).FirmwareImage()[5] = 0xA5;
    QMap<int, QByteArray> sent = {{0, Code(1500, 1)}};
    sent[0][5] = static_cast<char>(0xA5);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QTRY_COMPARE(board.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(board.Flash(), Flashed(sent, 131072));

    // Rebuilt with the same size after a Stop: the new build is what the board gets.
    auto startAndStop = [&](int silentPages) {
        rig.SetPort(silent.Pty());
        rig.Start();
        QTRY_COMPARE_WITH_TIMEOUT(silent.Count(QStringLiteral("PAGE 1 SILENT")), silentPages, 5000);
        QVERIFY(rig.WaitState(112));
        QTest::mouseClick(rig.F().BtnStop, Qt::LeftButton);
        QVERIFY(rig.F().Engine.ImageEndAddress() != 0);
        rig.SetPort(board.Pty());
    };
    startAndStop(2);
    QThread::msleep(20);
    const QMap<int, QByteArray> rebuilt = {{0, Code(1500, 2)}};
    QVERIFY(WriteFile(path, HexText(rebuilt)));
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QTRY_COMPARE(board.Count(QStringLiteral("END 2")), 1);
    QCOMPARE(board.Flash(), Flashed(rebuilt, 131072));

    // Another name typed after a Stop: that file is loaded.
    const QMap<int, QByteArray> other = {{0, Code(900, 3)}};
    QVERIFY(WriteFile(rig.Dir() + "/other.hex", HexText(other)));
    startAndStop(3);
    rig.F().EdFileName->setText(QStringLiteral("other.hex"));
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QTRY_COMPARE(board.Count(QStringLiteral("END 3")), 1);
    QCOMPARE(board.Flash(), Flashed(other, 131072));
}

void TestEngineControls::localFileButtonAroundDownloads() {
    BoardSim board;
    QVERIFY(board.Start({QStringLiteral("--silent-page"), QStringLiteral("1")}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(1000, 4)}})));
    const QMap<int, QByteArray> picked = {{0, Code(700, 5)}};
    QVERIFY(WriteFile(rig.Dir() + "/picked.hex", HexText(picked)));
    int asked = 0;
    rig.F().OpenDialogHook = [&] {
        ++asked;
        return rig.Dir() + "/picked.hex";
    };
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(board.Pty());
    rig.Start();
    QVERIFY(!rig.F().BtnLocalFile->isEnabled());
    QVERIFY(rig.WaitState(112));
    QTest::mouseClick(rig.F().BtnLocalFile, Qt::LeftButton);
    QCOMPARE(asked, 0); // no file can replace the image under the engine
    for (const FormRig::Tick& t : rig.Ticks)
        QVERIFY(!t.LocalFileEnabled);
    QTest::mouseClick(rig.F().BtnStop, Qt::LeftButton);
    QVERIFY(rig.F().BtnLocalFile->isEnabled());

    // Picked between downloads: that image is sent, without loading it again.
    BoardSim board2;
    QVERIFY(board2.Start());
    rig.SetPort(board2.Pty());
    QTest::mouseClick(rig.F().BtnLocalFile, Qt::LeftButton);
    QCOMPARE(asked, 1);
    QCOMPARE(rig.F().EdFileName->text(), rig.Dir() + "/picked.hex");
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 699);
    EngineProbe(rig.F().Engine).FirmwareImage()[0] ^= 0x01;
    QMap<int, QByteArray> sent = picked;
    sent[0][0] = static_cast<char>(sent[0][0] ^ 0x01);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QVERIFY(rig.F().BtnLocalFile->isEnabled());
    QTRY_COMPARE(board2.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(board2.Flash(), Flashed(sent, 131072));

    // A failed load ends in Idle with the button back.
    rig.F().EdFileName->setText(QStringLiteral("missing.hex"));
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QVERIFY(rig.F().BtnLocalFile->isEnabled());
    QCOMPARE(rig.Boxes, QStringList({QStringLiteral("[ERROR] Cannot the Hex File!")}));
}

void TestEngineControls::findPortDuringDownload() {
    BoardSim board;
    QVERIFY(board.Start({QStringLiteral("--silent-page"), QStringLiteral("1")}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(1000, 6)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(board.Pty());
    rig.Start();
    QVERIFY(rig.WaitState(112));
    QTRY_COMPARE_WITH_TIMEOUT(board.Count(QStringLiteral("PAGE 1 SILENT")), 1, 5000);
    TComm::SetDeviceListProvider([&board] {
        return QStringList{QStringLiteral("/nonexistent/tty0"), board.Pty()};
    });
    QTest::mouseClick(rig.F().BtnReset, Qt::LeftButton);
    QCOMPARE(rig.F().Engine.State(), 0);
    QVERIFY(!rig.F().Engine.Ticking());
    QVERIFY(rig.F().BtnLocalFile->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.F().Engine.Scanning(), 15000);
    VERIFY_LOG(rig, QStringList({QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                 QStringLiteral("Found COM Port : Com%1")
                                     .arg(TComm::DeviceList().indexOf(board.Pty()) + 1),
                                 QStringLiteral("[1]개의 COM포트 발견")}));
    QCOMPARE(rig.F().CmbComPort->currentText(), board.Pty());
    QVERIFY(!rig.F().Engine.PortEnabled());
    QCOMPARE(board.CountPrefix(QStringLiteral("END")), 0);
    QCOMPARE(board.Count(QStringLiteral("PAGE 1 SILENT")), 1); // the engine sent nothing more
    TComm::SetDeviceListProvider({});
}

void TestEngineControls::startDuringPortScan() {
    BoardSim board;
    QVERIFY(board.Start());
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(1000, 7)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(board.Pty());
    TComm::SetDeviceListProvider([&board] {
        return QStringList{QStringLiteral("/dev/a-missing-tty0"),
                           QStringLiteral("/dev/a-missing-tty1"), board.Pty()};
    });
    QTest::mouseClick(rig.F().BtnReset, Qt::LeftButton);
    QTRY_VERIFY(EngineProbe(rig.F().Engine).ScanPortNo() >= 2); // the scan is under way
    rig.Start();
    QVERIFY(!rig.F().Engine.Scanning());
    QCOMPARE(EngineProbe(rig.F().Engine).DevCtrlState(), 0);
    QVERIFY(rig.WaitIdle());
    QTRY_COMPARE(board.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(board.Flash(), Flashed(image, 131072));
    QVERIFY(!rig.F().Engine.Scanning());
    // Stopped before it reached the board's port: the scan did not close it under the engine.
    QVERIFY(!rig.Log().contains(QStringLiteral("Found COM Port : Com%1")
                                    .arg(TComm::DeviceList().indexOf(board.Pty()) + 1)));
    TComm::SetDeviceListProvider({});
}

void TestEngineControls::continuousModeKeepsPortAndImage() {
    BoardSim board;
    QVERIFY(board.Start());
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(1000, 8)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(board.Pty());
    rig.F().RbContinue->setChecked(true);
    rig.Start();
    QVERIFY(rig.WaitState(10));
    const QString waiting = QStringLiteral("다음 다운로드 대기중 입니다.");
    VERIFY_LOG(rig, QStringList({kReady, kPower, startLine(0), kDone, waiting}));
    QTRY_COMPARE(board.Count(QStringLiteral("END 1")), 1);
    QVERIFY(rig.F().Engine.PortEnabled());
    QVERIFY(rig.F().Engine.Ticking()); // WaitNext keeps ticking, doing nothing
    QVERIFY(rig.F().BtnLocalFile->isEnabled());
    QCOMPARE(rig.F().ProgressBar1->value(), 0);
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 999);

    // The next Start: no load (the byte changed in memory goes out), no reopen (no hang-up
    // at the board).
    EngineProbe(rig.F().Engine).FirmwareImage()[1] ^= 0x01;
    QMap<int, QByteArray> sent = image;
    sent[0][1] = static_cast<char>(sent[0][1] ^ 0x01);
    const int hangups = board.Count(QStringLiteral("HANGUP"));
    rig.F().Memo1->clear();
    rig.Start();
    QTRY_COMPARE(board.Count(QStringLiteral("END 2")), 1);
    QVERIFY(rig.WaitState(10));
    VERIFY_LOG(rig, QStringList({kReady, kPower, startLine(1), kDone, waiting}));
    QCOMPARE(board.Count(QStringLiteral("HANGUP")), hangups);
    QVERIFY(rig.Boxes.isEmpty());
    QCOMPARE(board.Flash(), Flashed(sent, 131072));
    QTest::mouseClick(rig.F().BtnStop, Qt::LeftButton);
}

void TestEngineControls::closeDuringDownloadRunsNoFurtherStep() {
    BoardSim board;
    QVERIFY(board.Start({QStringLiteral("--silent-page"), QStringLiteral("2")}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(2000, 9)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(board.Pty());
    rig.Start();
    QTRY_COMPARE_WITH_TIMEOUT(board.Count(QStringLiteral("PAGE 2 SILENT")), 1, 5000);
    // The close request is queued, as a window manager's is, and handled by the event
    // processing at the start of the next tick.
    QMetaObject::invokeMethod(&rig.F(), "close", Qt::QueuedConnection);
    const size_t ticks = rig.Ticks.size();
    const QStringList log = rig.Log();
    QTest::qWait(200);
    QVERIFY(!rig.F().Engine.Ticking());
    QVERIFY(rig.Ticks.size() <= ticks + 1);
    for (size_t i = ticks; i < rig.Ticks.size(); ++i)
        QCOMPARE(rig.Ticks[i].State, 112); // a tick may arrive, but runs no step
    QCOMPARE(rig.Log(), log);
    QVERIFY(!rig.F().Engine.PortEnabled());
    QCOMPARE(board.CountPrefix(QStringLiteral("END")), 0);
}

QTEST_MAIN(TestEngineControls)
#include "tst_engine_controls.moc"
