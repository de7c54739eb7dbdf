// HEX records and whole texts into the page image, .lod coding and the file-kind rule, without a
// window.
#include "image/HexMessages.h"
#include "image/LodCodec.h"

#include <QtTest>

#include <vector>

namespace {

struct Loaded {
    int32_t end = 0;
    HexLoadState st;
    std::vector<uint8_t> image = std::vector<uint8_t>(0x20000, 0xAA);
};

Loaded Load(const QByteArray& text) {
    Loaded r;
    r.end = LoadHexText(r.st, r.image.data(), text.constData(), static_cast<size_t>(text.size()));
    return r;
}

bool AllErased(const std::vector<uint8_t>& image, size_t from = 0, size_t to = 0x20000) {
    for (size_t i = from; i < to; ++i)
        if (image[i] != 0xFF)
            return false;
    return true;
}

} // namespace

class TstHex : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void plainRecords();
    void extendedAddresses();
    void startRecordsAndJoinedFiles();
    void longRecordsAndLineEnds();
    void piecesGiveTheSameImage();
    void skippedMemories();
    void refusedLoads_data();
    void refusedLoads();
    void lodCoding();
    void fileKinds();
};

void TstHex::plainRecords() {
    // End-of-file record alone: no image, everything erased.
    Loaded eof = Load(":00000001FF\n");
    QCOMPARE(eof.end, 0);
    QVERIFY(AllErased(eof.image));

    // A later record overwrites an earlier one; the result stays the highest address of all.
    Loaded two = Load(":0400100001020304E2\r\n:02000000AABB99\r\n:00000001FF\r\n");
    QCOMPARE(two.end, 0x13);
    QCOMPARE(two.image[0x00], uint8_t(0xAA));
    QCOMPARE(two.image[0x01], uint8_t(0xBB));
    QCOMPARE(two.image[0x02], uint8_t(0xFF));
    QCOMPARE(two.image[0x10], uint8_t(0x01));
    QCOMPARE(two.image[0x13], uint8_t(0x04));
    QCOMPARE(two.image[0x14], uint8_t(0xFF));
    QCOMPARE(two.st.BadSums, 0);

    Loaded overlap = Load(":0400100001020304E2\n:02001100CCDD44\n");
    QCOMPARE(overlap.end, 0x13);
    QCOMPARE(overlap.image[0x10], uint8_t(0x01));
    QCOMPARE(overlap.image[0x11], uint8_t(0xCC));
    QCOMPARE(overlap.image[0x12], uint8_t(0xDD));
    QCOMPARE(overlap.image[0x13], uint8_t(0x04));

    // A wrong checksum still loads, counted once per record; lower-case digits read too.
    Loaded bad = Load(":0400100001020304E3\n:02000000aabb00\n:00000001FF\n");
    QCOMPARE(bad.end, 0x13);
    QCOMPARE(bad.image[0x13], uint8_t(0x04));
    QCOMPARE(bad.image[0x01], uint8_t(0xBB));
    QCOMPARE(bad.st.BadSums, 2);
    QCOMPARE(HexBadSumText(bad.st),
             QStringLiteral("[Warning] 2 records with a wrong checksum were loaded as written."));
    bad.st.BadSums = 1;
    QCOMPARE(HexBadSumText(bad.st),
             QStringLiteral("[Warning] 1 record with a wrong checksum was loaded as written."));
    QVERIFY(HexBadSumText(two.st).isEmpty());

    // A byte order mark before the first record does not hide it.
    Loaded bom = Load("\xEF\xBB\xBF:0400100001020304E2\n:00000001FF\n");
    QCOMPARE(bom.end, 0x13);
    QCOMPARE(bom.image[0x10], uint8_t(0x01));

    // Lines that do not start with ":" are no records, however they look.
    Loaded other = Load("; comment\n\n 0400100001020304E2\n0400100001020304E2\n:0100200042"
                        "9D\n");
    QCOMPARE(other.end, 0x20);
    QCOMPARE(other.image[0x20], uint8_t(0x42));
    QVERIFY(AllErased(other.image, 0, 0x20));
    QCOMPARE(other.st.Error, ImageError::None);
}

void TstHex::extendedAddresses() {
    // 04: linear base 0x0001'0000; 02: segment 0x1000 << 4 = 0x10000 as well.
    Loaded lin = Load(":020000040001F9\n:0400100001020304E2\n:00000001FF\n");
    QCOMPARE(lin.end, 0x10013);
    QCOMPARE(lin.image[0x10010], uint8_t(0x01));
    QCOMPARE(lin.image[0x10013], uint8_t(0x04));
    QVERIFY(AllErased(lin.image, 0, 0x10010)); // the record's own bytes are not data

    Loaded seg = Load(":020000021000EC\n:02FFFE00A1A2BE\n:020000021FFFDE\n:01000F007779\n");
    QCOMPARE(seg.st.Error, ImageError::None);
    QCOMPARE(seg.image[0x1FFFE], uint8_t(0xA1));
    QCOMPARE(seg.image[0x1FFFF], uint8_t(0x77)); // 0x1FFF0 + 0x000F
    QCOMPARE(seg.end, 0x1FFFF);

    // A record that runs past 0xFFFF of its segment goes on at the next address.
    Loaded cross = Load(":04FFFE0011223344E9\n");
    QCOMPARE(cross.end, 0x10001);
    QCOMPARE(cross.image[0xFFFE], uint8_t(0x11));
    QCOMPARE(cross.image[0x10001], uint8_t(0x44));
}

void TstHex::startRecordsAndJoinedFiles() {
    // 03 and 05 write nothing; 01 returns the base to 0, so a second file starts at its own 0.
    const QByteArray first = ":020000040001F9\n:0100000011EE\n:0400000500000100F6\n:00000001FF\n";
    const QByteArray second = ":0400000300001000E9\n:0100050022D8\n:00000001FF\n";
    Loaded joined = Load(first + second);
    QCOMPARE(joined.st.Error, ImageError::None);
    QCOMPARE(joined.image[0x10000], uint8_t(0x11));
    QCOMPARE(joined.image[0x00005], uint8_t(0x22));
    QVERIFY(AllErased(joined.image, 0, 5));
    QVERIFY(AllErased(joined.image, 6, 0x10000));
    QCOMPARE(joined.end, 0x10000);
    QCOMPARE(joined.st.BadSums, 0);
}

void TstHex::longRecordsAndLineEnds() {
    // 255 data bytes in one record: every one of them lands.
    QByteArray rec = ":FF010000";
    unsigned sum = 0xFF + 0x01 + 0x00 + 0x00;
    for (int i = 0; i < 255; ++i) {
        rec += QByteArray::number(i, 16).rightJustified(2, '0').toUpper();
        sum += static_cast<unsigned>(i);
    }
    rec += QByteArray::number((0x100 - (sum & 0xFF)) & 0xFF, 16).rightJustified(2, '0').toUpper();
    QCOMPARE(rec.size(), 521);
    Loaded big = Load("\xEF\xBB\xBF" + rec + "\r\n" + rec + "   trailing junk after the record\n");
    QCOMPARE(big.st.Error, ImageError::None);
    QCOMPARE(big.st.BadSums, 0);
    QCOMPARE(big.end, 0x100 + 254);
    for (int i = 0; i < 255; ++i)
        QCOMPARE(big.image[static_cast<size_t>(0x100 + i)], uint8_t(i));

    // LF, CR LF, a lone CR and a last line without any line end read alike.
    for (const char* eol : {"\n", "\r\n", "\r"}) {
        const QByteArray e(eol);
        Loaded l = Load(":0400100001020304E2" + e + ":02000000AABB99" + e + e +
                        ":0100200042"
                        "9D");
        QCOMPARE(l.st.Error, ImageError::None);
        QCOMPARE(l.end, 0x20);
        QCOMPARE(l.image[0x01], uint8_t(0xBB));
        QCOMPARE(l.image[0x20], uint8_t(0x42));
    }
}

void TstHex::piecesGiveTheSameImage() {
    // The window reads files in chunks: any cut, a CR LF split included, must change nothing.
    const QByteArray text =
        ":020000040001F9\r\n:0400100001020304E2\r\n; note\r\n:02000000AABB99\r\n"
        ":00000001FF\r\n:0100050022D8";
    Loaded whole = Load(text);
    QCOMPARE(whole.st.LineNo, 6);
    for (int cut = 0; cut <= text.size(); ++cut) {
        HexLoadState st;
        std::vector<uint8_t> image(0x20000, 0xAA);
        HexImageLoad load(st, image.data());
        load.Feed(text.constData(), static_cast<size_t>(cut));
        load.Feed(text.constData() + cut, static_cast<size_t>(text.size() - cut));
        QCOMPARE(load.Finish(), whole.end);
        QCOMPARE(st.LineNo, whole.st.LineNo);
        QVERIFY(image == whole.image);
    }
}

void TstHex::skippedMemories() {
    // PIC18 ID locations, configuration words, data EEPROM; AVR EEPROM, fuses, lock bits.
    Loaded l = Load(":0400100001020304E2\n"
                    ":020000040020DA\n:080000000102030405060708D4\n"
                    ":020000040030CA\n:040000001D087F7CDC\n"
                    ":0200000400F00A\n:040000001122334452\n"
                    ":02000004008179\n:04000000DEADBEEFC4\n"
                    ":02000004008278\n:03000000E499FF81\n"
                    ":02000004008377\n:01000000FC03\n"
                    ":00000001FF\n");
    QCOMPARE(l.st.Error, ImageError::None);
    QCOMPARE(l.end, 0x13);
    QCOMPARE(l.st.SkippedBytes, int64_t(8 + 4 + 4 + 4 + 3 + 1));
    QVERIFY(AllErased(l.image, 0, 0x10));
    QVERIFY(AllErased(l.image, 0x14));
    QCOMPARE(HexSkippedText(l.st),
             QStringLiteral("[Info] Skipped 24 bytes at 0x200000 and above (ID, config, EEPROM)."));
    Loaded one = Load(":02000004008377\n:01000000FC03\n");
    QCOMPARE(HexSkippedText(one.st),
             QStringLiteral("[Info] Skipped 1 byte at 0x200000 and above (ID, config, EEPROM)."));
    QVERIFY(HexSkippedText(Load(":0100200042\n").st).isEmpty());
}

void TstHex::refusedLoads_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("message");
    const QByteArray good = ":0400100001020304E2\n";
    QTest::newRow("cut mid-line") << good + ":10002000000102030405060708090A0B0C\n"
                                  << int(ImageError::Damaged)
                                  << QStringLiteral("[ERROR] Hex file line 2 is damaged!");
    QTest::newRow("cut in the checksum")
        << good + good + ":0100200042" + "9\n"
        << int(ImageError::Damaged) << QStringLiteral("[ERROR] Hex file line 3 is damaged!");
    QTest::newRow("colon alone") << QByteArray(":\n") + good << int(ImageError::Damaged)
                                 << QStringLiteral("[ERROR] Hex file line 1 is damaged!");
    QTest::newRow("count not hex")
        << good + ":G400100001020304E2\n"
        << int(ImageError::Damaged) << QStringLiteral("[ERROR] Hex file line 2 is damaged!");
    QTest::newRow("address not hex")
        << good + ":04001X0001020304E2\n"
        << int(ImageError::Damaged) << QStringLiteral("[ERROR] Hex file line 2 is damaged!");
    QTest::newRow("data not hex") << good + ":0400100001 20304E2\n"
                                  << int(ImageError::Damaged)
                                  << QStringLiteral("[ERROR] Hex file line 2 is damaged!");
    QTest::newRow("sum not hex") << good + ":0400100001020304E?\n"
                                 << int(ImageError::Damaged)
                                 << QStringLiteral("[ERROR] Hex file line 2 is damaged!");
    QTest::newRow("linear base with 1 byte")
        << QByteArray(":0100000401FA\n") + good << int(ImageError::Damaged)
        << QStringLiteral("[ERROR] Hex file line 1 is damaged!");
    QTest::newRow("type 06") << good + "\n:0100000601F8\n"
                             << int(ImageError::UnknownRecord)
                             << QStringLiteral(
                                    "[ERROR] Hex file line 3 has an unknown record type!");
    QTest::newRow("data at 0x20000")
        << good + ":020000040002F8\n:0100000055AA\n"
        << int(ImageError::PastImage)
        << QStringLiteral("[ERROR] Hex file line 3: data at 0x20000 is past the 128 KiB image!");
    QTest::newRow("record across 0x20000")
        << good + ":020000040001F9\n:02FFFF005566DD\n"
        << int(ImageError::PastImage)
        << QStringLiteral("[ERROR] Hex file line 3: data at 0x20000 is past the 128 KiB image!");
    QTest::newRow("256 KiB part's upper half")
        << QByteArray(":020000040003F7\n:011000009956\n") << int(ImageError::PastImage)
        << QStringLiteral("[ERROR] Hex file line 2: data at 0x31000 is past the 128 KiB image!");
    QTest::newRow("just below the skipped memories")
        << QByteArray(":02000004001FDB\n:01FFFF000100\n") << int(ImageError::PastImage)
        << QStringLiteral("[ERROR] Hex file line 2: data at 0x1FFFFF is past the 128 KiB image!");
}

void TstHex::refusedLoads() {
    QFETCH(QByteArray, text);
    QFETCH(int, error);
    QFETCH(QString, message);
    Loaded l = Load(text);
    QCOMPARE(l.end, 0);
    QCOMPARE(int(l.st.Error), error);
    QCOMPARE(HexLoadErrorText(l.st), message);
    QVERIFY(AllErased(l.image)); // no part of a refused file stays behind
}

void TstHex::lodCoding() {
    // Key "Kq7Wd2Lp9" from the first byte: ':' ^ 'K' = 'q', '0' ^ 'q' = 'A', ...
    const QByteArray plain = ":00000001FF\r\n";
    const QByteArray coded = XorLod(plain);
    const char expect[] = {'q', 'A',    '\x07', 'g',    'T',    '\x02', '|',
                           '@', '\x08', '\x0D', '\x37', '\x3A', '\x5D'};
    QCOMPARE(coded, QByteArray(expect, sizeof expect));
    QCOMPARE(XorLod(coded), plain);

    // Coded in pieces, the key goes on where the last piece stopped.
    QByteArray pieces = plain;
    size_t pos = 0;
    XorLodBytes(pieces.data(), 4, "Kq7Wd2Lp9", 9, pos);
    QCOMPARE(pos, size_t(4));
    XorLodBytes(pieces.data() + 4, 9, "Kq7Wd2Lp9", 9, pos);
    QCOMPARE(pos, size_t(4));
    QCOMPARE(pieces, coded);

    QCOMPARE(XorLod("abc", QByteArray()), QByteArray("abc"));
}

void TstHex::fileKinds() {
    QCOMPARE(FirmwareKindFromName("FW.HEX"), FirmwareKind::PlainHex);
    QCOMPARE(FirmwareKindFromName("/data/fw.hexa"), FirmwareKind::PlainHex);
    QCOMPARE(FirmwareKindFromName("/data/fw.hex.lod"), FirmwareKind::Scrambled);
    QCOMPARE(FirmwareKindFromName("firmware"), FirmwareKind::Scrambled);
    QCOMPARE(FirmwareKindFromName("default.bin"), FirmwareKind::Scrambled);
    QCOMPARE(FirmwareKindFromName("/data/fw.ihx"), FirmwareKind::Scrambled);
    // HEX text shows itself by its first byte, whatever the name says.
    QCOMPARE(FirmwareKindOf("/data/fw.ihx", ":10"), FirmwareKind::PlainHex);
    QCOMPARE(FirmwareKindOf("/data/firmware", ":10"), FirmwareKind::PlainHex);
    QCOMPARE(FirmwareKindOf("/data/fw.lod", "qA@f"), FirmwareKind::Scrambled);
    QCOMPARE(FirmwareKindOf("/data/fw.hex", "qA@f"), FirmwareKind::PlainHex);
    QCOMPARE(FirmwareKindOf("/data/fw.lod", QByteArray()), FirmwareKind::Scrambled);
    QCOMPARE(FirmwareKindOf("/data/fw.ihx", "\xEF\xBB\xBF:"), FirmwareKind::PlainHex);
    QCOMPARE(FirmwareKindOf("/data/fw.ihx", "\xEF\xBB\xBFq"), FirmwareKind::Scrambled);
}

QTEST_APPLESS_MAIN(TstHex)
#include "tst_hex.moc"
