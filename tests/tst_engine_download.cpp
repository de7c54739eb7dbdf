// Whole downloads through the window into the simulated board: what the board's flash holds,
// what the board saw on the wire, and what the operator reads in the log.
#include "tst_engine_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

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

// The record's file for this month, read by Python's csv module: every row, the host name
// and each row's ended - started in seconds, as Python's own ISO 8601 reader sees them.
QJsonObject readRecord(const QString& path) {
    const char* script = R"(
import csv, datetime, json, socket, sys
with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:
    rows = list(csv.reader(f, strict=True))
spans = []
for r in rows[1:]:
    a, b = (datetime.datetime.fromisoformat(t) for t in r[0:2])
    spans.append((b - a).total_seconds())
json.dump({'rows': rows, 'host': socket.gethostname(), 'spans': spans}, sys.stdout)
)";
    QProcess py;
    py.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromUtf8(script), path});
    if (!py.waitForFinished(10000) || py.exitCode() != 0) {
        qWarning("%s", py.readAllStandardError().constData());
        return {};
    }
    return QJsonDocument::fromJson(py.readAllStandardOutput()).object();
}

QString recordFileName() {
    return QStringLiteral("downloads-") + QDate::currentDate().toString(QStringLiteral("yyyy-MM")) +
           QStringLiteral(".csv");
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
    void productionRecord();
    void recordNotWritable();
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
    QVERIFY(!rig.F().Engine.PortEnabled());
    QCOMPARE(rig.F().Engine.ImageEndAddress(), 0); // a local file is read again at the next Start
    QCOMPARE(rig.F().Engine.DownloadsDone(), 1);

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
    QCOMPARE(rig.F().Engine.PortRateCode(), 12);
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
    VERIFY_LOG(rig, QStringList({QStringLiteral("파일오류 : 서버작업 취소"),
                                 QStringLiteral("[Error] fw.hex: the image ends at address 99 "
                                                "(100 bytes); images of at least 101 bytes are "
                                                "sent")}));
    QVERIFY(!rig.F().Engine.PortEnabled());
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

void TestEngineDownload::productionRecord() {
    // A shared station: the group may add its rows when the umask lets it.
    const mode_t umaskBefore = ::umask(002);
    const auto restoreUmask = qScopeGuard([umaskBefore] { ::umask(umaskBefore); });
    FormRig rig;
    std::vector<DownloadRecord> hooked;
    QObject::connect(&rig.F().Engine, &DownloadEngine::RecordEnded,
                     [&hooked](const DownloadRecord& r) { hooked.push_back(r); });
    // The operator names a link to the board; the board asks for page 1 a second time.
    const QString link = rig.Dir() + QStringLiteral("/ttyJIG");
    BoardSim sim;
    QVERIFY(
        sim.Start({QStringLiteral("--link"), link, QStringLiteral("--resend-page"),
                   QStringLiteral("1"), QStringLiteral("--resend-times"), QStringLiteral("1")}));
    // Pages 0, 1 and 4 hold code, 2 and 3 are erased (page size 256).
    const QMap<int, QByteArray> image = {{0, Code(512, 12)}, {1024, Code(256, 13)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image, true)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(link);
    rig.F().CbBlankSkip->setChecked(true);
    rig.F().CmbProtocol->setCurrentIndex(1);  // ZUB16T1: switched from 256000 ...
    rig.F().CmbBaudRate->setCurrentIndex(12); // ... to 115200 by the jig reset
    rig.Start();
    QVERIFY(rig.WaitIdle());
    VERIFY_LOG(rig, kSingleRun); // the record adds no line when it was written
    QTRY_COMPARE(sim.Count(QStringLiteral("END 1")), 1);

    // A failure: the port cannot be opened. Its name needs quoting in the port, device and
    // detail columns, and starts like a spreadsheet formula in the port column.
    const QString missing = QStringLiteral("=tty\"NO,NE");
    rig.SetPort(missing);
    rig.Start();
    QVERIFY(rig.WaitIdle());

    // A Start over a download waiting for its board ends it as stopped, and so does Stop.
    BoardSim mute;
    QVERIFY(mute.Start({QStringLiteral("--no-ready")}));
    rig.SetPort(mute.Pty());
    rig.F().Memo1->clear();
    rig.Start();
    QVERIFY(rig.WaitState(102));
    rig.Start();
    QTest::qWait(50);
    QVERIFY(rig.WaitState(102));
    QTest::mouseClick(rig.F().BtnStop, Qt::LeftButton);
    QVERIFY(rig.WaitIdle());
    // ... and so does closing the window.
    rig.Start();
    QVERIFY(rig.WaitState(102));
    rig.F().close();
    QTRY_VERIFY(!rig.F().Engine.Ticking());
    for (const QString& line : rig.Log())
        QVERIFY2(!line.startsWith(QStringLiteral("[Warning]")), qPrintable(line));

    const QString path = rig.Dir() + QLatin1Char('/') + recordFileName();
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = file.readAll();
    QVERIFY(raw.startsWith("\xEF\xBB\xBF"));
    QCOMPARE(raw.count("\xEF\xBB\xBF"), 1);
    QVERIFY(raw.endsWith("\r\n"));
    QCOMPARE(raw.count('\n'), raw.count("\r\n"));
    QCOMPARE(raw.count("\r\n"), 6); // header and five rows, no field spans lines
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t{0664});

    const QJsonObject csv = readRecord(path);
    const QJsonArray rows = csv.value(QStringLiteral("rows")).toArray();
    QCOMPARE(rows.size(), 6);
    QCOMPARE(rows.at(0).toArray().toVariantList(),
             QVariantList({"started",       "ended",        "station",
                           "program",       "port",         "device",
                           "source",        "model",        "image",
                           "image_bytes",   "image_sha256", "protocol",
                           "baud",          "chip",         "pages_sent",
                           "pages_skipped", "resends",      "seconds",
                           "result",        "detail",       "id",
                           "serial",        "order",        "list_sha256",
                           "write_seconds", "verified"}));
    QCOMPARE(hooked.size(), size_t{5});
    const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    const QByteArray sent = sim.Flash().left(5 * 256);
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex());
    const QString fw = QFileInfo(rig.Dir() + "/fw.hex").canonicalFilePath();
    const QString pts = QFileInfo(sim.Pty()).canonicalFilePath();
    // source .. chip, pages_sent .. resends, result, detail (the failed row never reached the
    // mode switch, so it names the rate the port was opened at).
    const QStringList expected[] = {
        {"file", "", fw, "1280", sha, "ZUB16T1", "115200", "Mega128 0x44", "3", "2", "1", "ok", ""},
        {"file", "", fw, "1280", sha, "ZUB16T1", "256000", "", "0", "0", "0", "failed",
         QStringLiteral("통신포트오류:") + missing + QStringLiteral(": No such device: /dev/") +
             missing + QStringLiteral("; plug the adapter in, or pick another port")},
        {"file", "", fw, "1280", sha, "ZUB16T1", "115200", "", "0", "0", "0", "stopped", ""},
        {"file", "", fw, "1280", sha, "ZUB16T1", "115200", "", "0", "0", "0", "stopped", ""},
        {"file", "", fw, "1280", sha, "ZUB16T1", "115200", "", "0", "0", "0", "stopped", ""}};
    const QString ports[] = {link, QLatin1Char('\'') + missing, mute.Pty(), mute.Pty(), mute.Pty()};
    const RecordResult results[] = {RecordResult::Ok, RecordResult::Failed, RecordResult::Stopped,
                                    RecordResult::Stopped, RecordResult::Stopped};
    const RecordFailure failures[] = {RecordFailure::None, RecordFailure::Port, RecordFailure::None,
                                      RecordFailure::None, RecordFailure::None};
    const FailureKind kinds[] = {FailureKind::None, FailureKind::Port, FailureKind::Interrupted,
                                 FailureKind::Interrupted, FailureKind::Interrupted};
    QStringList ids;
    for (int i = 0; i < 5; ++i) {
        QStringList row;
        for (const QJsonValue& v : rows.at(i + 1).toArray())
            row << v.toString();
        QCOMPARE(row.size(), 26);
        QVERIFY2(stamp.match(row[0]).hasMatch() && stamp.match(row[1]).hasMatch(),
                 qPrintable(row[0] + " " + row[1]));
        const double span = csv.value(QStringLiteral("spans")).toArray().at(i).toDouble();
        QVERIFY(span >= 0);
        QCOMPARE(row[17], QString::number(span, 'f', 3));
        QCOMPARE(row[2], csv.value(QStringLiteral("host")).toString());
        QVERIFY2(
            QRegularExpression(QStringLiteral("^ZubLoader \\d+\\.\\d+")).match(row[3]).hasMatch(),
            qPrintable(row[3]));
        QCOMPARE(row[4], ports[i]);
        QStringList rest = row.mid(6, 8) + row.mid(14, 3) + row.mid(18, 2);
        QCOMPARE(rest, expected[i]);
        QCOMPARE(hooked[size_t(i)].Result, results[i]);
        QCOMPARE(hooked[size_t(i)].Failure, failures[i]);
        QCOMPARE(hooked[size_t(i)].Kind, kinds[i]);
        // The detail column is the failure line, then the reason.
        QVERIFY(row[19].startsWith(hooked[size_t(i)].Detail));
        // Every row its own id; write time only for the board that answered; nothing verified.
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$"))
                     .match(row[20])
                     .hasMatch(),
                 qPrintable(row[20]));
        ids << row[20];
        QCOMPARE(row.mid(21, 3), QStringList({"", "", ""}));
        if (i == 0) {
            QVERIFY(row[24].toDouble() > 0);
            QVERIFY(row[24].toDouble() <= row[17].toDouble());
        } else {
            QCOMPARE(row[24], QString());
        }
        QCOMPARE(row[25], QString());
    }
    QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), 5);
    // The device column starts with the device opened: the operator's link resolved.
    QVERIFY(rows.at(1).toArray().at(5).toString().startsWith(pts));
    QVERIFY(rows.at(3).toArray().at(5).toString().startsWith(
        QFileInfo(mute.Pty()).canonicalFilePath()));
}

void TestEngineDownload::recordNotWritable() {
    // A folder in the file's place: one warning line, and the failure itself unchanged.
    FormRig rig;
    QVERIFY(QDir(rig.Dir()).mkdir(recordFileName()));
    std::vector<DownloadRecord> hooked;
    QObject::connect(&rig.F().Engine, &DownloadEngine::RecordEnded,
                     [&hooked](const DownloadRecord& r) { hooked.push_back(r); });
    const QMap<int, QByteArray> image = {{0, Code(300, 14)}};
    QVERIFY(WriteFile(rig.Dir() + "/fw.hex", HexText(image)));
    rig.SetLocal(QStringLiteral("fw.hex"));
    const QString missing = rig.Dir() + QStringLiteral("/ttyNONE");
    rig.SetPort(missing);
    rig.Start();
    QVERIFY(rig.WaitIdle());
    const QStringList log = rig.Log();
    // The port error, its reason, then the warning.
    QCOMPARE(log.size(), 3);
    QCOMPARE(log[0], QStringLiteral("통신포트오류:") + missing);
    QVERIFY2(log[2].startsWith(QStringLiteral("[Warning] Production record not written: ")) &&
                 log[2].contains(recordFileName()),
             qPrintable(log[2]));
    QCOMPARE(hooked.size(), size_t{1});
    QCOMPARE(hooked[0].Failure, RecordFailure::Port);
    QVERIFY(QFileInfo(rig.Dir() + QLatin1Char('/') + recordFileName()).isDir());

    // A link planted in its place, to another user's file or to a name not yet there: refused
    // the same way, and nothing is written or created through it.
    const QString record = rig.Dir() + QLatin1Char('/') + recordFileName();
    QVERIFY(QDir(rig.Dir()).rmdir(recordFileName()));
    QTemporaryDir home;
    const QString profile = home.path() + QStringLiteral("/.profile");
    QVERIFY(WriteFile(profile, "PATH=/usr/bin\n"));
    for (const QString& target : {profile, home.path() + QStringLiteral("/.bashrc")}) {
        QVERIFY(QFile::remove(record) || !QFileInfo::exists(record));
        QVERIFY(QFile::link(target, record));
        rig.F().Memo1->clear();
        rig.Start();
        QVERIFY(rig.WaitIdle());
        QCOMPARE(rig.Log().last(),
                 QStringLiteral("[Warning] Production record not written: ") + record +
                     QStringLiteral(" is a symbolic link, which is never written through"));
        QVERIFY(QFileInfo(record).isSymLink());
    }
    QCOMPARE(hooked.size(), size_t{3});
    QVERIFY(!hooked[2].RowWritten);
    QFile kept(profile);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("PATH=/usr/bin\n"));
    QVERIFY(!QFileInfo::exists(home.path() + QStringLiteral("/.bashrc")));
}

QTEST_MAIN(TestEngineDownload)
#include "tst_engine_download.moc"
