// The engine's arithmetic without a window: page planning against the identification, the
// folded page progress, the rate tolerance and the texts of the lines it logs.
#include "engine/Progress.h"

#include <QTest>

class TestEngineCore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pagesAndFoldedProgress();
    void planAgainstIdentification();
    void rateTolerance();
    void texts();
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
    QCOMPARE(PlanErrorText(PlanDownload(999, pic), 999, pic, 0x53),
             QStringLiteral("[Error] Image has 8 pages, the board takes pages from 64 on"));
    pic.PageSize = 0;
    QCOMPARE(PlanErrorText(PlanDownload(999, pic), 999, pic, 0x0a),
             QStringLiteral("[Error] Get ID fail: unknown page size code 0x0A"));
}

QTEST_GUILESS_MAIN(TestEngineCore)
#include "tst_engine_core.moc"
