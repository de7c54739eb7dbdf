// Whole downloads through the window into the simulated board: what the board's flash holds,
// what the board saw on the wire, and what the operator reads in the log.
#include "tst_engine_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace {

const QStringList kSingleRun = {QStringLiteral("다운로드 준비가 되었습니다."),
                                QStringLiteral("장치의 전원스위치를 OFF/ON하십시오."),
                                QStringLiteral("[hh:mm:ss] 다운로드 시작 : 0"),
                                QStringLiteral("[hh:mm:ss] 다운로드 완료"),
                                QStringLiteral("장치와 연결을 해제하였습니다.")};

int firstIndex(const std::vector<FormRig::Tick>& ticks, int32_t state) {
    for (size_t i = 0; i < ticks.size(); ++i)
        if (ticks[i].State == state)
            return static_cast<int>(i);
    return -1;
}

} // namespace

class TestEngineDownload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void normalWithAndWithoutJigReset();
    void modeSwitchThenChosenRate_data();
    void modeSwitchThenChosenRate();
    void zub16WithoutResetStaysAt256000();
    void blankPagesSkipped();
    void everyRemainingPageBlankEndsAtOnce();
    void idInTwoPiecesAndPageProgressFolding();
    void signatureE0StartsAtPage64();
    void imageEndThreshold();
};

void TestEngineDownload::normalWithAndWithoutJigReset() {
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(3000, 1)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image, true)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
    QCOMPARE(sim.Count(QStringLiteral("RESET 02 30 01 00 33 03")), 1);
    QCOMPARE(sim.Events().indexOf(QStringLiteral("RESET 02 30 01 00 33 03")),
             sim.Events().indexOf(QStringLiteral("WAKE")) - 1);
    QCOMPARE(sim.CountPrefix(QStringLiteral("PAGE ")), 12);
    // Chip shown while the pages went out, sizes back to dashes at the end, name kept.
    const int sending = firstIndex(rig.Ticks, 111);
    QVERIFY(sending >= 0);
    QCOMPARE(rig.Ticks[static_cast<size_t>(sending)].FlashSize, QStringLiteral("128k"));
    QCOMPARE(rig.Ticks[static_cast<size_t>(sending)].PageSize, QStringLiteral("256"));
    QCOMPARE(rig.F().EdCpu->text(), QStringLiteral("Mega128"));
    for (QLineEdit* ed :
         {rig.F().EdFlashSize, rig.F().EdBootSize, rig.F().EdPageSize, rig.F().EdEepromSize})
        QCOMPARE(ed->text(), QStringLiteral("-----"));
    QVERIFY(!rig.F().Comm1.Enabled());
    QCOMPARE(rig.F().ImageEnd, 0); // a local file is read again at the next Start
    QCOMPARE(rig.F().DownloadCount, 1);

    // Second download without the jig reset: the count goes up, no reset frame this time.
    rig.F().CbAutoReset->setChecked(false);
    rig.F().Memo1->clear();
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QStringList second = kSingleRun;
    second[2] = QStringLiteral("[hh:mm:ss] 다운로드 시작 : 1");
    VERIFY_LOG(rig, second);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 2")), 1);
    QCOMPARE(sim.CountPrefix(QStringLiteral("RESET")), 1);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
}

void TestEngineDownload::modeSwitchThenChosenRate_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("frame");
    QTest::newRow("ZUB16T1") << 1 << QStringLiteral("MODE 02 03 FE 01 00 04 03");
    QTest::newRow("ZUB16T2") << 2 << QStringLiteral("MODE 02 03 FE 02 00 05 03");
}

void TestEngineDownload::modeSwitchThenChosenRate() {
    QFETCH(int, protocol);
    QFETCH(QString, frame);
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(1500, protocol)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.F().CmbProtocol->setCurrentIndex(protocol);
    rig.F().CmbBaudRate->setCurrentIndex(12); // br115200
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
    const QStringList events = sim.Events();
    const int mode = events.indexOf(frame);
    QVERIFY2(mode >= 0, qPrintable(events.join('\n')));
    QCOMPARE(events.value(mode + 1), QStringLiteral("HANGUP")); // closed, then opened anew
    QCOMPARE(sim.CountPrefix(QStringLiteral("RESET")), 0);
    // Opened at 256000 for the mode switch, at the chosen rate afterwards.
    const int reset = firstIndex(rig.Ticks, 100);
    const int wake = firstIndex(rig.Ticks, 101);
    QVERIFY(reset >= 0 && wake > reset);
    QCOMPARE(rig.Ticks[static_cast<size_t>(reset)].Rate, 256000);
    QCOMPARE(rig.Ticks[static_cast<size_t>(wake)].Rate, 115200);
    QCOMPARE(rig.F().Comm1.BaudRateCode(), 12);
}

void TestEngineDownload::zub16WithoutResetStaysAt256000() {
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(600, 7)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.F().CmbProtocol->setCurrentIndex(1);
    rig.F().CbAutoReset->setChecked(false);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.CountPrefix(QStringLiteral("MODE")), 0);
    QTRY_COMPARE(sim.Count(QStringLiteral("HANGUP")), 1); // only the release at the end
    for (const FormRig::Tick& t : rig.Ticks)
        if (t.State >= 100 && t.State <= 113)
            QCOMPARE(t.Rate, 256000);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
}

void TestEngineDownload::blankPagesSkipped() {
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig rig;
    // Pages 0 and 2 hold code; 1 and 3..6 are erased; the last byte of page 7 is written as
    // 0xFF, as a toolchain's fill does, so the image reaches page 7 but every page is blank.
    const QMap<int, QByteArray> image = {
        {0, Code(256, 3)}, {512, Code(200, 4)}, {8 * 256 - 1, QByteArray(1, '\xFF')}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.F().CbBlankSkip->setChecked(true);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QStringList pages;
    for (const QString& e : sim.Events())
        if (e.startsWith(QStringLiteral("PAGE")))
            pages << e;
    QCOMPARE(pages, QStringList({QStringLiteral("PAGE 0 OK"), QStringLiteral("PAGE 2 OK")}));
    QCOMPARE(sim.Flash(), Flashed(image, 131072));

    // Without blank skipping every page goes out, blank or not.
    rig.F().CbBlankSkip->setChecked(false);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    QTRY_COMPARE(sim.Count(QStringLiteral("END 2")), 1);
    QCOMPARE(sim.CountPrefix(QStringLiteral("PAGE ")), 2 + 8);
}

void TestEngineDownload::everyRemainingPageBlankEndsAtOnce() {
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(512, 5)},
                                         {40 * 256 - 16, QByteArray(16, '\xFF')}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.F().CbBlankSkip->setChecked(true);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.CountPrefix(QStringLiteral("PAGE ")), 2);
    // After page 1's answer one SendPage tick passes the 38 blank pages and goes to Finish.
    std::vector<int32_t> states;
    for (const FormRig::Tick& t : rig.Ticks)
        states.push_back(t.State);
    const auto finish = std::find(states.begin(), states.end(), 113);
    QVERIFY(finish != states.end() && finish - states.begin() >= 2);
    QCOMPARE(*(finish - 1), 111); // the acknowledging WaitAck tick chose SendPage
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
}

void TestEngineDownload::idInTwoPiecesAndPageProgressFolding() {
    BoardSim sim;
    // Mega128 with 128-byte pages, the identification in two pieces.
    QVERIFY(sim.Start(
        {QStringLiteral("--split-id"), QStringLiteral("--id"), QStringLiteral("4470645334")}));
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(1001, 6)}}; // end 1000: pages 0 to 7
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
    QList<int> shown;
    for (const FormRig::Tick& t : rig.Ticks) {
        if (t.State == 112) {
            shown << t.Progress;
            QCOMPARE(t.ProgressMax, 4);
        }
    }
    // One value per page sent (WaitAck ticks repeat it while waiting).
    shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
    QCOMPARE(shown, QList<int>({1, 2, 3, 4, 1, 2, 3, 4}));
}

void TestEngineDownload::signatureE0StartsAtPage64() {
    BoardSim sim;
    // Pic18F46K80: 64 KiB flash, 128-byte pages.
    QVERIFY(sim.Start({QStringLiteral("--id"), QStringLiteral("E06F645334")}));
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(16, 8)}, {0x2000, Code(1000, 9)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QStringList pages;
    for (const QString& e : sim.Events())
        if (e.startsWith(QStringLiteral("PAGE")))
            pages << e;
    QCOMPARE(pages.size(), 8);
    QCOMPARE(pages.first(), QStringLiteral("PAGE 64 OK"));
    QCOMPARE(pages.last(), QStringLiteral("PAGE 71 OK"));
    // Below page 64 the boot loader's own area: nothing written there.
    QCOMPARE(sim.Flash(), Flashed({{0x2000, image.value(0x2000)}}, 65536));
    QCOMPARE(rig.F().EdCpu->text(), QStringLiteral("Pic18F46K80"));
}

void TestEngineDownload::imageEndThreshold() {
    BoardSim sim;
    QVERIFY(sim.Start());
    FormRig rig;
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText({{0, Code(100, 10)}}))); // end 99
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, QStringList({QStringLiteral("파일오류 : 서버작업 취소")}));
    QVERIFY(!rig.F().Comm1.Enabled());
    QTest::qWait(100);
    QVERIFY(sim.Events().isEmpty()); // the port was never opened

    rig.F().Memo1->clear();
    const QMap<int, QByteArray> image = {{0, Code(101, 11)}}; // end 100
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun);
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);
    QCOMPARE(sim.Flash(), Flashed(image, 131072));
}

QTEST_MAIN(TestEngineDownload)
#include "tst_engine_download.moc"
