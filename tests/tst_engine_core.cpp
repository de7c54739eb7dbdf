// The engine without a window: page planning against the identification, the folded page
// progress, the rate tolerance, the texts of the lines it logs, and a whole download driven
// through the engine alone (this program links no Qt Gui or Widgets).
#include "engine/DownloadEngine.h"
#include "engine/ProductionRecord.h"
#include "engine/Progress.h"
#include "tst_board_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

class TestEngineCore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pagesAndFoldedProgress();
    void planAgainstIdentification();
    void rateTolerance();
    void texts();
    void recordFromProgramsAtOnce();
    void downloadWithoutWindow();
};

void TestEngineCore::pagesAndFoldedProgress() {
    // End 1000 with 128-byte pages: pages 0 to 7, the bar's maximum 4, shown 1 2 3 4 1 2 3 4.
    QCOMPARE(PageCountOf(1000, 128), 8);
    QCOMPARE(PageCountOf(1023, 128), 8);
    QCOMPARE(PageCountOf(1024, 128), 9);
    QCOMPARE(PageCountOf(1000, 0), 0);
    QCOMPARE(PageCountOf(0x100FD, 32), 2056); // the highest address a load can reach
    const int32_t max = ProgressMaxOf(8);
    QCOMPARE(max, 4);
    QList<int32_t> shown;
    for (int32_t k = 1; k <= 8; ++k)
        shown << ProgressValueOf(k, max);
    QCOMPARE(shown, QList<int32_t>({1, 2, 3, 4, 1, 2, 3, 4}));
    QCOMPARE(ProgressValueOf(64, ProgressMaxOf(72)), 28); // 0xE0 planned at page 64
    QCOMPARE(ProgressMaxOf(1), 0);
}

void TestEngineCore::planAgainstIdentification() {
    _CPU mega128;
    mega128.Signature = 0x44;
    mega128.FlashSize = 131072;
    mega128.PageSize = 256;
    DownloadPlan p = PlanDownload(2999, mega128);
    QCOMPARE(p.Error, EngineError::None);
    QCOMPARE(p.PageCount, 12);
    QCOMPARE(p.FirstPage, 0);

    _CPU noPage = mega128;
    noPage.PageSize = 0;
    QCOMPARE(PlanDownload(2999, noPage).Error, EngineError::PageSizeUnknown);

    // The image's last byte at the flash's last address fits; one byte more does not.
    _CPU mega8 = mega128;
    mega8.FlashSize = 8192;
    mega8.PageSize = 64;
    QCOMPARE(PlanDownload(8191, mega8).Error, EngineError::None);
    QCOMPARE(PlanDownload(8192, mega8).Error, EngineError::ImageTooLarge);
    // An unknown flash code gives size 0: nothing to check against.
    _CPU unknownFlash = mega128;
    unknownFlash.FlashSize = 0;
    QCOMPARE(PlanDownload(0x100FD, unknownFlash).Error, EngineError::None);

    // The PIC takes pages from 64: 64 pages (0..63) give it nothing, 65 give it page 64.
    _CPU pic;
    pic.Signature = 0xE0;
    pic.FlashSize = 65536;
    pic.PageSize = 128;
    p = PlanDownload(64 * 128 - 1, pic);
    QCOMPARE(p.Error, EngineError::NoPageAtStart);
    QCOMPARE(p.PageCount, 64);
    p = PlanDownload(64 * 128, pic);
    QCOMPARE(p.Error, EngineError::None);
    QCOMPARE(p.PageCount, 65);
    QCOMPARE(p.FirstPage, 64);
}

void TestEngineCore::rateTolerance() {
    QVERIFY(!RateMismatch(256000, 256000));
    QVERIFY(!RateMismatch(115200, 117000)); // 1.6 %
    QVERIFY(RateMismatch(128000, 115200));  // a 16550 keeping 115200
    QVERIFY(RateMismatch(256000, 115200));
    QVERIFY(!RateMismatch(256000, 0)); // the driver told nothing
}

void TestEngineCore::texts() {
    QCOMPARE(StampText(9, 5, 7), QStringLiteral("09:05:07"));
    QCOMPARE(FlashSizeText(131072), QStringLiteral("128k"));
    QCOMPARE(FlashSizeText(40960), QStringLiteral("40k"));
    QCOMPARE(FlashSizeText(0), QStringLiteral("0k"));
    QCOMPARE(RateWarningText(256000, 115200),
             QStringLiteral("[Warning] Port runs at 115200 baud, not the 256000 baud asked for"));
    QCOMPARE(PrintableName(QStringLiteral("a\tb\nc\u2028d.hex")), QStringLiteral("a?b?c?d.hex"));
    _CPU pic;
    pic.Signature = 0xE0;
    pic.FlashSize = 65536;
    pic.PageSize = 128;
    QCOMPARE(PlanDownload(999, pic).Error, EngineError::NoPageAtStart);
    pic.PageSize = 0;
    QCOMPARE(PlanDownload(999, pic).Error, EngineError::PageSizeUnknown);
    EngineFailure f(EngineError::PageSizeUnknown, FailureKind::Board, QStringLiteral("why"));
    f.Number = 0x0a;
    QCOMPARE(FailureLogLines(f),
             QStringList{QStringLiteral("[Error] Get ID fail: unknown page size code 0x0A")});

    // A line that names its cause stands alone; the port's, the image's and the network's lines
    // are followed by the reason (a refused model image's reason comes first, as its cause).
    f = EngineFailure(EngineError::PageNoResponse, FailureKind::Board, QStringLiteral("silent"));
    f.Number = 3;
    QCOMPARE(FailureLogLines(f),
             QStringList{QStringLiteral("[Error] Fail Download Page[3]: No Response")});
    f = EngineFailure(EngineError::PortFault, FailureKind::Port, QStringLiteral("No such device"));
    f.Name = QStringLiteral("Com3");
    QCOMPARE(FailureLogLines(f), QStringList({QStringLiteral("통신포트오류:Com3"),
                                              QStringLiteral("[Error] No such device")}));
    f = EngineFailure(EngineError::NetFail, FailureKind::Image, QStringLiteral("refused"));
    f.Refused = true;
    QCOMPARE(FailureLogLines(f), QStringList({QStringLiteral("[Error] refused"),
                                              QStringLiteral("네트워크 연결이 불안정합니다.")}));
    QCOMPARE(FailureStage(EngineError::PortFault), RecordFailure::Port);
    QCOMPARE(FailureStage(EngineError::ModelUnsafeName), RecordFailure::Image);
}

void TestEngineCore::recordFromProgramsAtOnce() {
    // Four programs share a start directory and each appends a row to each of 100 new month
    // files at the same moment: every file gets one byte order mark and one header, and every
    // row whole, on a line of its own.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    constexpr int kPrograms = 4;
    constexpr int kFiles = 100;
    int go[2];
    QVERIFY(::pipe(go) == 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kPrograms; ++p) {
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            ::close(go[1]);
            char c;
            while (::read(go[0], &c, 1) < 0) {
            } // released together when the pipe closes
            DownloadRecord r;
            r.Station = QStringLiteral("station%1").arg(p);
            r.Result = RecordResult::Stopped;
            // Long enough that a row written in pieces would show, and a field to be quoted.
            r.Detail =
                QString(2000, QLatin1Char(char('a' + p))) + QStringLiteral("\"quoted, too\"");
            const QByteArray row = RecordRow(r);
            bool ok = true;
            for (int f = 0; f < kFiles; ++f)
                ok = AppendRecordRow(dir.filePath(QStringLiteral("r%1.csv").arg(f)), row).Error ==
                         RecordError::None &&
                     ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    for (const pid_t pid : children) {
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const QByteArray header = "started,ended,station,program,port,device,source,model,image,"
                              "image_bytes,image_sha256,protocol,baud,chip,pages_sent,"
                              "pages_skipped,resends,seconds,result,detail,id,serial,order,"
                              "list_sha256,write_seconds,verified\r\n";
    for (int f = 0; f < kFiles; ++f) {
        QFile file(dir.filePath(QStringLiteral("r%1.csv").arg(f)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.startsWith("\xEF\xBB\xBF" + header));
        QCOMPARE(text.count("\xEF\xBB\xBF"), 1);
        QCOMPARE(text.count(header), 1);
        const QList<QByteArray> lines = text.mid(3 + header.size()).split('\n');
        QCOMPARE(lines.size(), kPrograms + 1);
        QVERIFY(lines.last().isEmpty());
        QList<int> seen;
        for (int i = 0; i < kPrograms; ++i) {
            const QByteArray& line = lines.at(i);
            const int p =
                line.indexOf(",station") < 0 ? -1 : line.at(line.indexOf(",station") + 8) - '0';
            QVERIFY2(p >= 0 && p < kPrograms, line.constData());
            QVERIFY(line.endsWith(",stopped,\"" + QByteArray(2000, char('a' + p)) +
                                  "\"\"quoted, too\"\"\",,,,,,\r"));
            seen << p;
        }
        std::sort(seen.begin(), seen.end());
        QCOMPARE(seen, QList<int>({0, 1, 2, 3}));
    }
}

namespace {

// The operator's choices as values, as a program without controls gives them.
struct ValueChoices : OperatorChoices {
    QString Port;
    QString PortName() const override { return Port; }
    int ProtocolRow() const override { return 0; } // NORMAL
    int RateCode() const override { return 12; }   // 115200 bit/s
    bool AutoReset() const override { return false; }
    bool BlankSkip() const override { return false; }
    bool LocalFile() const override { return true; }
    QString FileName() const override { return QStringLiteral("fw.hex"); }
    int ModelRow() const override { return -1; }
    QString ModelName(int) const override { return QString(); }
    bool Single() const override { return true; }
};

} // namespace

void TestEngineCore::downloadWithoutWindow() {
    QVERIFY(!QCoreApplication::instance()->inherits("QGuiApplication"));
    BoardSim sim;
    QVERIFY(sim.Start());
    QTemporaryDir dir;
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(dir.path()); // the engine's start directory: the record goes there
    const QMap<int, QByteArray> image = {{0, Code(1000, 21)}, {4096, Code(300, 22)}};
    QVERIFY(WriteFile(dir.filePath(QStringLiteral("fw.hex")), HexText(image)));

    ValueChoices choices;
    choices.Port = sim.Pty();
    DownloadEngine engine(choices);
    QStringList log;
    QStringList boxes;
    std::vector<std::pair<int32_t, int32_t>> pages;
    QString chip;
    std::vector<DownloadRecord> records;
    bool rested = false;
    connect(&engine, &DownloadEngine::LogLine, [&](const QString& line) { log << line; });
    connect(&engine, &DownloadEngine::MessageBox, [&](const QString& text) { boxes << text; });
    connect(&engine, &DownloadEngine::PageProgress,
            [&](int32_t done, int32_t count) { pages.emplace_back(done, count); });
    connect(&engine, &DownloadEngine::DeviceIdentified, [&](const _CPU& cpu) { chip = cpu.Name; });
    connect(&engine, &DownloadEngine::RecordEnded,
            [&](const DownloadRecord& record) { records.push_back(record); });
    connect(&engine, &DownloadEngine::StateChanged, [&](int32_t state, bool ticking) {
        rested = state == 0 && !ticking && !records.empty();
    });

    engine.BtnStartClick();
    QTRY_VERIFY_WITH_TIMEOUT(rested, 20000);
    QDir::setCurrent(oldDir);

    QString why;
    QVERIFY2(LogMatches(log,
                        {QStringLiteral("다운로드 준비가 되었습니다."),
                         QStringLiteral("장치의 전원스위치를 OFF/ON하십시오."),
                         QStringLiteral("[hh:mm:ss] 다운로드 시작 : 0"),
                         QStringLiteral("[hh:mm:ss] 다운로드 완료"),
                         QStringLiteral("장치와 연결을 해제하였습니다.")},
                        &why),
             qPrintable(why));
    QVERIFY(boxes.isEmpty());
    QCOMPARE(chip, QStringLiteral("Mega128"));
    // Pages 0 to 17 of 256 bytes, the bar emptied once at the go byte.
    QVERIFY(!pages.empty());
    QCOMPARE(pages.front(), std::make_pair(int32_t{0}, int32_t{0}));
    QCOMPARE(pages.back(), std::make_pair(int32_t{18}, int32_t{18}));
    QCOMPARE(records.size(), size_t{1});
    QCOMPARE(records[0].Result, RecordResult::Ok);
    QVERIFY(records[0].RowWritten);
    QTRY_COMPARE(sim.Flash(), Flashed(image, 131072));
}

QTEST_GUILESS_MAIN(TestEngineCore)
#include "tst_engine_core.moc"
