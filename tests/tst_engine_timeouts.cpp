// Boards that stay silent: at the wake word, at the identification, at a page.
#include "tst_engine_support.h"

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

class TestEngineTimeouts : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void silentTargetCyclesWakeWordUntilStop();
    void silentPageEndsWithNoResponse();
    void noIdentificationLeavesPortOpenThenFindPort();
};

void TestEngineTimeouts::silentTargetCyclesWakeWordUntilStop() {
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--no-ready")}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(700, 1)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QTest::qWait(1500);
    // One wake word every sixth tick, no limit and no error while the board stays silent.
    const int wakes = sim.Count(QStringLiteral("WAKE"));
    QVERIFY2(wakes >= 10 && wakes <= 26, qPrintable(QString::number(wakes)));
    VERIFY_LOG(rig, QStringList({kReady, kPower}));
    int sends = 0, waits = 0;
    for (const FormRig::Tick& t : rig.Ticks) {
        if (t.State == 101)
            ++sends; // a WaitReady tick went back to SendWake (or the reset step)
        if (t.State == 102)
            ++waits;
    }
    QVERIFY(sends > 0);
    QVERIFY2(waits >= 5 * sends - 5 && waits <= 5 * sends + 6,
             qPrintable(QStringLiteral("%1 %2").arg(waits).arg(sends)));

    QTest::mouseClick(rig.F().BtnStop, Qt::LeftButton);
    VERIFY_LOG(rig, QStringList({kReady, kPower, kReleased}));
    QVERIFY(!rig.F().Engine.PortEnabled());
    QVERIFY(!rig.F().Engine.Ticking());
    QCOMPARE(rig.F().Engine.State(), 0);
    QTRY_COMPARE(sim.Count(QStringLiteral("HANGUP")), 1);
    const int after = sim.Count(QStringLiteral("WAKE"));
    QTest::qWait(200);
    QCOMPARE(sim.Count(QStringLiteral("WAKE")), after);
}

void TestEngineTimeouts::silentPageEndsWithNoResponse() {
    BoardSim sim;
    QVERIFY(sim.Start({QStringLiteral("--silent-page"), QStringLiteral("2")}));
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(2000, 2)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle(10000));
    VERIFY_LOG(rig, QStringList({kReady, kPower, kStart0,
                                 QStringLiteral("[Error] Fail Download Page[2]: No Response")}));
    QCOMPARE(rig.F().Engine.CurrentRecord().Reason,
             QStringLiteral("The board did not answer page 2 within 3 seconds"));
    QVERIFY(!rig.F().Engine.PortEnabled());
    QTRY_COMPARE(sim.Count(QStringLiteral("HANGUP")), 1);
    QCOMPARE(sim.CountPrefix(QStringLiteral("END")), 0);
    QCOMPARE(sim.Count(QStringLiteral("PAGE 2 SILENT")), 1);
    // About 3 s of WaitAck ticks passed before giving up: 301 silent ticks and the failing one.
    int waiting = 0;
    for (const FormRig::Tick& t : rig.Ticks)
        waiting += t.State == 112 ? 1 : 0;
    QVERIFY2(waiting >= 300, qPrintable(QString::number(waiting)));
    QVERIFY(rig.F().Engine.ImageEndAddress() != 0); // kept: the next Start needs no load
}

void TestEngineTimeouts::noIdentificationLeavesPortOpenThenFindPort() {
    // Ready, then only four of the five identification bytes.
    TestBoard board({true, QByteArray("\x44\x70\x64\x54", 4), false, {}});
    QVERIFY(board.Ok());
    FormRig rig;
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(700, 3)}})));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(board.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle(10000));
    VERIFY_LOG(rig,
               QStringList({kReady, kPower, kStart0, QStringLiteral("[Error] Get ID fail!!!")}));
    QCOMPARE(rig.F().Engine.CurrentRecord().Reason,
             QStringLiteral("The boot loader answered but sent no chip identification within 3 "
                            "seconds"));
    QVERIFY(rig.F().Engine.PortEnabled()); // left open, as after every failed identification
    QCOMPARE(board.GoCount(), 1);

    // Find-port with that port still open: the scan takes the port over and lists it.
    TComm::SetDeviceListProvider([&board] { return QStringList{board.Pty()}; });
    QTest::mouseClick(rig.F().BtnReset, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.F().Engine.Scanning(), 15000);
    VERIFY_LOG(rig, QStringList({QStringLiteral("잠시만, 장치를 찾고 있습니다..."),
                                 QStringLiteral("Found COM Port : Com1"),
                                 QStringLiteral("[1]개의 COM포트 발견")}));
    QVERIFY(!rig.F().Engine.PortEnabled());
    QCOMPARE(rig.F().Engine.State(), 0);
    QVERIFY(!rig.F().Engine.Ticking());
    TComm::SetDeviceListProvider({});
}

QTEST_MAIN(TestEngineTimeouts)
#include "tst_engine_timeouts.moc"
