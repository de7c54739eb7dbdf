// Frame bytes, reply recognition and the chip code tables, checked against byte strings and
// tables written out here.
#include "link/Frames.h"

#include <QByteArray>
#include <QMap>
#include <QtTest>

#include <vector>

namespace {

QByteArray Bytes(const uint8_t* data, int size) {
    return QByteArray(reinterpret_cast<const char*>(data), size);
}

} // namespace

class TstFrames : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandFrames();
    void modeSwitchFrames();
    void pageFrameLayoutAndSum();
    void pageFrameBlankDetection();
    void pageFrameBounds();
    void replies();
    void chipNames();
    void sizeTables();
    void decodeIdReply();
    void checkRequest();
};

void TstFrames::commandFrames() {
    uint8_t f[6];
    QCOMPARE(BuildCommandFrame(0x30, 0x01, 0x00, f), 6);
    QCOMPARE(Bytes(f, 6), QByteArray::fromHex("023001003303"));
    QCOMPARE(BuildCommandFrame(0x00, 0x00, 0x00, f), 6);
    QCOMPARE(Bytes(f, 6), QByteArray::fromHex("020000000203"));
    // The sum keeps its low 8 bits only.
    BuildCommandFrame(0xFF, 0xFF, 0xFF, f);
    QCOMPARE(Bytes(f, 6), QByteArray::fromHex("02ffffffff03"));
}

void TstFrames::modeSwitchFrames() {
    uint8_t f[7];
    QCOMPARE(BuildModeSwitchFrame(1, f), 7);
    QCOMPARE(Bytes(f, 7), QByteArray::fromHex("0203fe01000403"));
    QCOMPARE(BuildModeSwitchFrame(2, f), 7);
    QCOMPARE(Bytes(f, 7), QByteArray::fromHex("0203fe02000503"));
    FrameError error = FrameError::None;
    QCOMPARE(BuildModeSwitchFrame(0, f, &error), 0);
    QCOMPARE(error, FrameError::BadProtocol);
    QCOMPARE(BuildModeSwitchFrame(3, f, &error), 0);
}

void TstFrames::pageFrameLayoutAndSum() {
    std::vector<uint8_t> image(131072, 0xFF);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    uint8_t out[1024];

    // Page 300 of 128 bytes: index 01 2C, data from byte 38400, 131 bytes in all.
    PageFrame f = BuildPageFrame(image.data(), image.size(), 128, 300, out);
    QCOMPARE(f.Error, FrameError::None);
    QCOMPARE(f.Length, 131);
    QCOMPARE(out[0], uint8_t(0x01));
    QCOMPARE(out[1], uint8_t(0x2C));
    QCOMPARE(Bytes(out + 2, 128),
             QByteArray(reinterpret_cast<const char*>(image.data()) + 38400, 128));
    unsigned sum = 0;
    for (int i = 0; i < 128; ++i)
        sum += image[38400 + i];
    QCOMPARE(out[130], uint8_t(sum & 0xFF));
    QCOMPARE(f.Sum, uint8_t(sum & 0xFF));

    // The index bytes stay out of the sum: the same data under another index sums the same.
    std::vector<uint8_t> zeros(131072, 0x00);
    zeros[257 * 32] = 0x05;
    f = BuildPageFrame(zeros.data(), zeros.size(), 32, 257, out);
    QCOMPARE(Bytes(out, 35), QByteArray::fromHex("0101"
                                                 "05000000000000000000000000000000"
                                                 "00000000000000000000000000000000"
                                                 "05"));
}

void TstFrames::pageFrameBlankDetection() {
    std::vector<uint8_t> image(131072, 0xFF);
    uint8_t out[1024];
    // 128 erased bytes sum to 128 x 0xFF = 0x7F80: 0x80.
    PageFrame f = BuildPageFrame(image.data(), image.size(), 128, 4, out);
    QVERIFY(f.Blank);
    QCOMPARE(f.Length, 131);
    QCOMPARE(out[130], uint8_t(0x80));
    QCOMPARE(Bytes(out, 2), QByteArray::fromHex("0004"));

    // One byte other than 0xFF anywhere in the page, the last one included, makes it not blank.
    for (int at : {0, 63, 127}) {
        std::fill(image.begin(), image.end(), 0xFF);
        image[4 * 128 + at] = 0xFE;
        f = BuildPageFrame(image.data(), image.size(), 128, 4, out);
        QVERIFY2(!f.Blank, qPrintable(QString::number(at)));
        QCOMPARE(out[130], uint8_t(0x7F));
    }
    // A byte just outside the page does not count.
    std::fill(image.begin(), image.end(), 0xFF);
    image[5 * 128] = 0x00;
    image[4 * 128 - 1] = 0x00;
    QVERIFY(BuildPageFrame(image.data(), image.size(), 128, 4, out).Blank);
}

void TstFrames::pageFrameBounds() {
    std::vector<uint8_t> image(131072, 0x11);
    uint8_t out[1024];
    QCOMPARE(BuildPageFrame(image.data(), image.size(), 0, 0, out).Error, FrameError::BadPageSize);
    QCOMPARE(BuildPageFrame(image.data(), image.size(), -128, 0, out).Length, 0);
    QCOMPARE(BuildPageFrame(image.data(), image.size(), 1022, 0, out).Error,
             FrameError::BadPageSize);
    PageFrame f = BuildPageFrame(image.data(), image.size(), 1021, 0, out);
    QCOMPARE(f.Error, FrameError::None);
    QCOMPARE(f.Length, 1024);
    QCOMPARE(BuildPageFrame(image.data(), image.size(), 128, -1, out).Error,
             FrameError::BadPageIndex);
    QCOMPARE(BuildPageFrame(image.data(), image.size(), 32, 0x10000, out).Error,
             FrameError::BadPageIndex);

    // The largest page of the table, last page of the image, then one past it: nothing is read
    // past the image, the page past the end is erased.
    f = BuildPageFrame(image.data(), image.size(), 512, 255, out);
    QCOMPARE(f.Length, 515);
    QVERIFY(!f.Blank);
    QCOMPARE(Bytes(out, 2), QByteArray::fromHex("00ff"));
    f = BuildPageFrame(image.data(), image.size(), 512, 256, out);
    QVERIFY(f.Blank);
    // A page straddling the end: the part inside is data, the rest reads as 0xFF.
    f = BuildPageFrame(image.data(), 100, 64, 1, out);
    QCOMPARE(out[2 + 35], uint8_t(0x11));
    QCOMPARE(out[2 + 36], uint8_t(0xFF));
}

void TstFrames::replies() {
    const uint8_t ready[] = {0x3E};
    const uint8_t noiseReady[] = {0x00, 0x55, 0x3E};
    const uint8_t readyNoise[] = {0x3E, 0x00};
    QVERIFY(IsReadyReply(ready, 1));
    QVERIFY(IsReadyReply(noiseReady, 3));
    QVERIFY(!IsReadyReply(readyNoise, 2));
    QVERIFY(!IsReadyReply(ready, 0));

    const uint8_t ack[] = {0x21, 0x40};
    const uint8_t resend[] = {0x40, 0x21};
    const uint8_t noiseAck[] = {0x00, 0x21};
    const uint8_t ready2[] = {0x3E};
    QCOMPARE(PageAnswerOf(ack, 2), PageAnswer::Ack);
    QCOMPARE(PageAnswerOf(resend, 2), PageAnswer::Resend);
    QCOMPARE(PageAnswerOf(noiseAck, 2), PageAnswer::None);
    QCOMPARE(PageAnswerOf(ready2, 1), PageAnswer::None);
    QCOMPARE(PageAnswerOf(ack, 0), PageAnswer::None);

    QVERIFY(!IsIdReply(4));
    QVERIFY(IsIdReply(5));
    QVERIFY(IsIdReply(6));
}

void TstFrames::chipNames() {
    const QMap<int, QString> names = {
        {0x41, "Mega8"},    {0x42, "Mega16"},   {0x43, "Mega64"},      {0x44, "Mega128"},
        {0x45, "Mega32"},   {0x46, "Mega162"},  {0x47, "Mega169"},     {0x48, "Mega8515"},
        {0x49, "Mega8535"}, {0x4A, "Mega163"},  {0x4B, "Mega323"},     {0x4C, "Mega48"},
        {0x4D, "Mega88"},   {0x4E, "Mega168"},  {0xE0, "Pic18F46K80"}, {0x80, "Mega165"},
        {0x81, "Mega3250"}, {0x82, "Mega6450"}, {0x83, "Mega3290"},    {0x84, "Mega6490"},
        {0x85, "Mega406"},  {0x86, "Mega640"},  {0x87, "Mega1280"},    {0x88, "Mega2560"},
        {0x89, "MCAN128"},  {0x8A, "Mega164"},  {0x8B, "Mega328"},     {0x8C, "Mega324"},
        {0x8D, "Mega325"},  {0x8E, "Mega644"},  {0x8F, "Mega645"},     {0x90, "Mega1281"},
        {0x91, "Mega2561"}, {0x92, "Mega404"},  {0x93, "MUSB1286"},    {0x94, "MUSB1287"},
        {0x95, "MUSB162"},  {0x96, "MUSB646"},  {0x97, "MUSB647"},     {0x98, "MUSB82"},
        {0x9A, "MCAN32"},   {0x9B, "MCAN64"},   {0x9C, "Mega329"},     {0x9D, "Mega649"},
        {0x9E, "Mega256"},
    };
    QCOMPARE(names.size(), 45);
    for (int code = 0; code < 256; ++code)
        QCOMPARE(ChipNameFromCode(uint8_t(code)), names.value(code, "UnKnown"));
    QCOMPARE(ChipNameFromCode(0x99), QString("UnKnown"));
}

void TstFrames::sizeTables() {
    // Every code of every table, and 0 for all 256 - n others.
    const QMap<int, int> flash = {{'g', 1024},  {'h', 2048},   {'i', 4096},
                                  {'l', 8192},  {'m', 16384},  {'n', 32768},
                                  {'o', 65536}, {'p', 131072}, {'r', 40960}};
    const QMap<int, int> boot = {{'a', 128},  {'b', 256},  {'c', 512},
                                 {'d', 1024}, {'e', 2048}, {'f', 4096}};
    const QMap<int, int> page = {{'Q', 32}, {'R', 64}, {'S', 128}, {'T', 256}, {'V', 512}};
    const QMap<int, int> eeprom = {{'.', 64},   {'/', 128},  {'0', 256}, {'1', 512},
                                   {'2', 1024}, {'3', 2048}, {'4', 4096}};
    for (int code = 0; code < 256; ++code) {
        const uint8_t c = uint8_t(code);
        QCOMPARE(FlashSizeFromCode(c), flash.value(code, 0));
        QCOMPARE(BootSizeFromCode(c), boot.value(code, 0));
        QCOMPARE(PageSizeFromCode(c), page.value(code, 0));
        QCOMPARE(EepromSizeFromCode(c), eeprom.value(code, 0));
    }
    QCOMPARE(FlashSizeFromCode('r'), 40 * 1024);
    QCOMPARE(FlashSizeFromCode('j'), 0);
    QCOMPARE(FlashSizeFromCode('k'), 0);
    QCOMPARE(FlashSizeFromCode('q'), 0);
    QCOMPARE(PageSizeFromCode('U'), 0);
}

void TstFrames::decodeIdReply() {
    const uint8_t mega128[] = {0x44, 0x70, 0x64, 0x54, 0x34};
    _CPU cpu = DecodeIdReply(mega128);
    QCOMPARE(cpu.Signature, uint8_t(0x44));
    QCOMPARE(cpu.Name, QString("Mega128"));
    QCOMPARE(cpu.FlashSize, 131072);
    QCOMPARE(cpu.BootSize, 1024);
    QCOMPARE(cpu.PageSize, 256);
    QCOMPARE(cpu.EepromSize, 4096);

    // The reply carries flash, boot, page, EEPROM: every field from its own byte, read from the
    // first five bytes of a longer buffer.
    const uint8_t mega8[] = {0x41, 0x6C, 0x62, 0x51, 0x33, 0x3E};
    cpu = DecodeIdReply(mega8);
    QCOMPARE(cpu.Name, QString("Mega8"));
    QCOMPARE(cpu.FlashSize, 8192);
    QCOMPARE(cpu.BootSize, 256);
    QCOMPARE(cpu.PageSize, 32);
    QCOMPARE(cpu.EepromSize, 2048);

    const uint8_t unknown[] = {0x99, 0x6A, 0x00, 0x55, 0xFF};
    cpu = DecodeIdReply(unknown);
    QCOMPARE(cpu.Signature, uint8_t(0x99));
    QCOMPARE(cpu.Name, QString("UnKnown"));
    QCOMPARE(cpu.FlashSize, 0);
    QCOMPARE(cpu.BootSize, 0);
    QCOMPARE(cpu.PageSize, 0);
    QCOMPARE(cpu.EepromSize, 0);

    const uint8_t pic[] = {0xE0, 0x6F, 0x66, 0x52, 0x32};
    cpu = DecodeIdReply(pic);
    QCOMPARE(cpu.Name, QString("Pic18F46K80"));
    QCOMPARE(cpu.FlashSize, 65536);
    QCOMPARE(cpu.BootSize, 4096);
    QCOMPARE(cpu.PageSize, 64);
    QCOMPARE(cpu.EepromSize, 1024);
}

// The check request asked after the last page, its answers, and the CRC the host expects: the
// pages a board of ours wrote, nothing it skipped or kept for itself.
void TstFrames::checkRequest() {
    uint8_t frame[1024];
    std::fill(std::begin(frame), std::end(frame), uint8_t{0x55});
    QCOMPARE(BuildCheckFrame(128, frame), 131);
    QCOMPARE(Bytes(frame, 131), QByteArray("\xFF\xFE", 2) + QByteArray(129, '\0'));
    QCOMPARE(BuildCheckFrame(0, frame), 0);
    QCOMPARE(BuildCheckFrame(1022, frame), 0);

    const uint8_t crc[] = {0x21, 0xCB, 0xF4, 0x39, 0x26};
    const uint8_t resend[] = {0x40};
    const uint8_t noise[] = {0x3E, 0x21, 0, 0, 0, 0};
    QCOMPARE(CheckAnswerOf(crc, 5).Kind, CheckAnswerKind::Crc);
    QCOMPARE(CheckAnswerOf(crc, 5).Crc, 0xCBF43926U);
    QCOMPARE(CheckAnswerOf(crc, 4).Kind, CheckAnswerKind::None); // the CRC not all here yet
    QCOMPARE(CheckAnswerOf(resend, 1).Kind, CheckAnswerKind::CannotCheck);
    QCOMPARE(CheckAnswerOf(noise, 6).Kind, CheckAnswerKind::None);
    QCOMPARE(CheckAnswerOf(crc, 0).Kind, CheckAnswerKind::None);

    const QByteArray digits("123456789");
    const auto* d = reinterpret_cast<const uint8_t*>(digits.constData());
    QCOMPARE(Crc32(0, d, 9), 0xCBF43926U);
    QCOMPARE(Crc32(Crc32(0, d, 4), d + 4, 5), 0xCBF43926U);
    QCOMPARE(Crc32(0, d, 0), 0U);

    // Mega328, 1 KiB boot: pages 0 and 2 hold data, 1 is blank, 248 lies in the boot section.
    std::vector<uint8_t> image(131072, 0xFF);
    for (int i = 0; i < 128; ++i) {
        image[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
        image[static_cast<size_t>(256 + i)] = static_cast<uint8_t>(3 * i + 1);
        image[static_cast<size_t>(248 * 128 + i)] = 0x11;
    }
    _CPU mega328;
    mega328.Signature = 0x8B;
    mega328.FlashSize = 32768;
    mega328.BootSize = 1024;
    mega328.PageSize = 128;
    auto crcOf = [&](std::initializer_list<int> pages) {
        uint32_t c = 0;
        for (int p : pages)
            c = Crc32(c, image.data() + p * 128, 128);
        return c;
    };
    QCOMPARE(ImageCheckCrc(image.data(), image.size(), mega328, 0, 249, true), crcOf({0, 2}));
    QCOMPARE(ImageCheckCrc(image.data(), image.size(), mega328, 0, 3, false), crcOf({0, 1, 2}));
    // An image cut short: bytes past its end read as erased, as the page frames send them.
    QCOMPARE(ImageCheckCrc(image.data(), 300, mega328, 0, 3, false),
             Crc32(Crc32(Crc32(0, image.data(), 256), image.data() + 256, 44),
                   std::vector<uint8_t>(84, 0xFF).data(), 84));

    // PIC18F46K80: its loader keeps pages below 64; the image's pages from 64 on count.
    _CPU pic;
    pic.Signature = 0xE0;
    pic.FlashSize = 65536;
    pic.BootSize = 2048;
    pic.PageSize = 64;
    for (int i = 0; i < 64; ++i)
        image[static_cast<size_t>(64 * 64 + i)] = static_cast<uint8_t>(i ^ 0x5A);
    uint32_t want = Crc32(0, image.data() + 64 * 64, 64);
    QCOMPARE(ImageCheckCrc(image.data(), image.size(), pic, 64, 65, true), want);
    QCOMPARE(ImageCheckCrc(image.data(), image.size(), pic, 0, 65, true), want);
    _CPU unknown;
    QCOMPARE(ImageCheckCrc(image.data(), image.size(), unknown, 0, 5, false), 0U);
}

QTEST_GUILESS_MAIN(TstFrames)
#include "tst_frames.moc"
