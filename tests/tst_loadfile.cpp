// Firmware files as an operator loads them into the main window: real toolchain output, .lod
// files, the file dialog, message boxes and log lines, and the files left in the working folder.
#include "app/ZubBootLoadMain.h"
#include "tst_engine_probe.h"
#include "tst_fifo.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kData = QStringLiteral(ZUB_SOURCE_DIR "/tests/data/firmware/");

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The .lod scrambling, written out here: every byte XOR the key "Kq7Wd2Lp9", from byte 0.
QByteArray Scramble(QByteArray bytes) {
    static const char key[] = "Kq7Wd2Lp9";
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ key[i % 9]);
    return bytes;
}

// One Intel HEX data record of `count` bytes of `fill` at `address`, with its checksum.
QByteArray DataRecord(int address, int count, uint8_t fill) {
    QByteArray bytes;
    bytes.append(static_cast<char>(count));
    bytes.append(static_cast<char>(address >> 8));
    bytes.append(static_cast<char>(address & 0xFF));
    bytes.append('\0');
    bytes.append(QByteArray(count, static_cast<char>(fill)));
    uint8_t sum = 0;
    for (const char c : bytes)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    bytes.append(static_cast<char>(-sum));
    return ":" + bytes.toHex().toUpper() + "\n";
}

QByteArray Image(const TForm1& form) {
    return QByteArray(reinterpret_cast<const char*>(form.Engine.Image().data()),
                      static_cast<qsizetype>(form.Engine.Image().size()));
}

bool AllErased(const QByteArray& image, qsizetype from = 0, qsizetype to = 0x20000) {
    for (qsizetype i = from; i < to; ++i)
        if (static_cast<uint8_t>(image[i]) != 0xFF)
            return false;
    return true;
}

} // namespace

class TstLoadFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void hexAndLodLoadTheSameImage();
    void operatorsDefaultHexIsNeverTouched();
    void fileKindsByNameAndContent();
    void missingFiles();
    void pic18CompilerFile();
    void avrFileAsObjcopyReadsIt();
    void refusedLoadsLeaveNoImage();
    void joinedFilesAndWrongChecksums();
    void localFileButtonAndRadio();
    void startSaysWhyTheFileIsRefused();

private:
    QStringList Boxes;
    std::unique_ptr<QTemporaryDir> Dir;
    std::unique_ptr<TForm1> Form;
    QString OldCwd;
    QString Path(const QString& name) const { return Dir->filePath(name); }
    QStringList FilesInDir() const {
        return QDir(Dir->path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
};

void TstLoadFile::init() {
    Boxes.clear();
    Dir = std::make_unique<QTemporaryDir>();
    QVERIFY(Dir->isValid());
    OldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(Dir->path()));
    Form = std::make_unique<TForm1>();
    Form->Timer1->stop();
    Form->MessageBoxHook = [this](const QString& text) { Boxes << text; };
    Form->OpenDialogHook = [] { return QString(); };
}

void TstLoadFile::cleanup() {
    Form.reset();
    QDir::setCurrent(OldCwd);
    Dir.reset();
}

void TstLoadFile::hexAndLodLoadTheSameImage() {
    // avr-objcopy writes CR LF; the scrambled copy keeps them as bytes like any other.
    const QByteArray hex = ReadAll(kData + "atmega128-far.hex");
    QVERIFY(hex.contains("\r\n"));
    WriteAll(Path("far.hex"), hex);
    WriteAll(Path("far.lod"), Scramble(hex));
    QCOMPARE(ReadAll(Path("far.lod")).left(1), QByteArray("q"));

    Form->Memo1->setPlainText(QStringLiteral("earlier line"));
    QCOMPARE(Form->Engine.LoadLocalFile(Path("far.hex")), 0x1FFFF);
    const QByteArray fromHex = Image(*Form);
    QCOMPARE(Form->Memo1->toPlainText(), QStringLiteral("earlier line")); // plain: log kept

    EngineProbe(Form->Engine).FirmwareImage().fill(0x00);
    QCOMPARE(Form->Engine.LoadLocalFile(Path("far.lod")), 0x1FFFF);
    QVERIFY(Image(*Form) == fromHex);
    QCOMPARE(Form->Memo1->toPlainText(), QString()); // decoding clears the log
    QVERIFY(Boxes.isEmpty());
    // Nothing of ours is left behind, here or in the working folder.
    QCOMPARE(FilesInDir(), QStringList({"far.hex", "far.lod"}));
    QVERIFY(!QFile::exists(QStringLiteral("default.hex")));
}

void TstLoadFile::operatorsDefaultHexIsNeverTouched() {
    // The operator's own "default.hex" in the working folder, next to a .lod being loaded.
    const QByteArray own = ":0400100001020304E2\r\n:00000001FF\r\n";
    WriteAll(Path("default.hex"), own);
    const QByteArray other = ":02000000AABB99\n:00000001FF\n";
    WriteAll(Path("other.lod"), Scramble(other));

    QCOMPARE(Form->Engine.LoadLocalFile(QStringLiteral("other.lod")), 1);
    QCOMPARE(Form->Engine.Image()[0], uint8_t(0xAA));
    QCOMPARE(ReadAll(Path("default.hex")), own);

    // Loading that file itself, and a .lod of it, keeps it as well.
    QCOMPARE(Form->Engine.LoadLocalFile(QStringLiteral("default.hex")), 0x13);
    QCOMPARE(ReadAll(Path("default.hex")), own);
    WriteAll(Path("default.lod"), Scramble(own));
    QCOMPARE(Form->Engine.LoadLocalFile(Path("default.lod")), 0x13);
    QCOMPARE(ReadAll(Path("default.hex")), own);
    QCOMPARE(ReadAll(Path("default.lod")), Scramble(own));
    QVERIFY(Boxes.isEmpty());
}

void TstLoadFile::fileKindsByNameAndContent() {
    const QByteArray hex = ":0400100001020304E2\n:00000001FF\n";
    struct Case {
        const char* name;
        bool scrambled;
    };
    const Case cases[] = {
        {"FW.HEX", false},     {"fw.hexa", false}, {"fw.hex.lod", true}, {"firmware", true},
        {"fw.ihx", false},     {"fw.ihex", false}, {"fw", false},        {"fw.bin", true},
        {"fw.lod.hex", false}, {"HEXDUMP", true},
    };
    for (const Case& c : cases) {
        const QString path = Path(QString::fromLatin1(c.name));
        WriteAll(path, c.scrambled ? Scramble(hex) : hex);
        Form->Memo1->setPlainText(QStringLiteral("x"));
        EngineProbe(Form->Engine).FirmwareImage().fill(0);
        QVERIFY2(Form->Engine.LoadLocalFile(path) == 0x13, c.name);
        QVERIFY2(Form->Engine.Image()[0x12] == 0x03 && Form->Engine.Image()[0x14] == 0xFF, c.name);
        QVERIFY2(Form->Memo1->toPlainText().isEmpty() == c.scrambled, c.name);
        QFile::remove(path);
    }
    QVERIFY(Boxes.isEmpty());

    // Saved by an editor that puts a byte order mark first.
    WriteAll(Path("bom.ihx"), "\xEF\xBB\xBF" + hex);
    QCOMPARE(Form->Engine.LoadLocalFile(Path("bom.ihx")), 0x13);
    QCOMPARE(Form->Engine.Image()[0x10], uint8_t(0x01));

    // A scrambled file with a HEX name is not recognised: its lines do not start with ":".
    WriteAll(Path("wrong.hex"), Scramble(hex));
    QCOMPARE(Form->Engine.LoadLocalFile(Path("wrong.hex")), 0);
    QVERIFY(Boxes.isEmpty());

    // Paths far past 255 bytes load like any other.
    QString deep = Dir->path();
    for (int i = 0; i < 8; ++i)
        deep += QStringLiteral("/folder-with-a-long-name-%1-xxxxxxxxxxxxxxxxxxxxxxxx").arg(i);
    QVERIFY(QDir().mkpath(deep));
    WriteAll(deep + "/fw.lod", Scramble(hex));
    QVERIFY(deep.toLocal8Bit().size() > 300);
    QCOMPARE(Form->Engine.LoadLocalFile(deep + "/fw.lod"), 0x13);
}

void TstLoadFile::missingFiles() {
    // The file-name box's first text: scrambled by name, and missing.
    EngineProbe(Form->Engine).FirmwareImage().fill(0x5A);
    QCOMPARE(Form->Engine.LoadLocalFile(QStringLiteral("default.bin")), 0);
    QCOMPARE(Boxes, QStringList({"Sorce File Read Err!", "[ERROR] Cannot the Hex File!"}));
    QCOMPARE(Form->Engine.Image()[0], uint8_t(0x5A)); // nothing opened, nothing changed

    Boxes.clear();
    QCOMPARE(Form->Engine.LoadLocalFile(Path("FW.HEX")), 0);
    QCOMPARE(Boxes, QStringList({"[ERROR] Cannot the Hex File!"}));

    Boxes.clear();
    QCOMPARE(Form->Engine.LoadLocalFile(Dir->path()), 0); // a folder is no file
    QCOMPARE(Boxes, QStringList({"Sorce File Read Err!", "[ERROR] Cannot the Hex File!"}));

    Boxes.clear();
    QCOMPARE(Form->Engine.LoadLocalFile(QString()), 0);
    QCOMPARE(Boxes, QStringList({"Sorce File Read Err!", "[ERROR] Cannot the Hex File!"}));
    QCOMPARE(FilesInDir(), QStringList());

    // An empty file is no image, and no error either.
    Boxes.clear();
    WriteAll(Path("empty.hex"), QByteArray());
    QCOMPARE(Form->Engine.LoadLocalFile(Path("empty.hex")), 0);
    QVERIFY(Boxes.isEmpty());
    QVERIFY(AllErased(Image(*Form)));
}

void TstLoadFile::pic18CompilerFile() {
    // gpasm's output for a PIC18F46K80: code, then ID locations, configuration words and EEPROM.
    Form->Memo1->setPlainText(QStringLiteral("before"));
    QCOMPARE(Form->Engine.LoadLocalFile(kData + "pic18f46k80-blink.hex"), 0x105);
    QVERIFY(Boxes.isEmpty());
    const QByteArray image = Image(*Form);
    QCOMPARE(image.left(4), QByteArray("\x80\xEF\x00\xF0", 4));
    QCOMPARE(image.mid(0x100, 6), QByteArray("\x95\x6A\x8C\x70\xFE\xD7", 6));
    QVERIFY(AllErased(image, 4, 0x100));
    QVERIFY(AllErased(image, 0x106));
    QCOMPARE(Form->Memo1->toPlainText(),
             QStringLiteral("before\n[Info] Skipped 24 bytes at 0x200000 and above "
                            "(ID, config, EEPROM)."));
}

void TstLoadFile::avrFileAsObjcopyReadsIt() {
    const QString hexPath = kData + "atmega128-far.hex";
    QByteArray expected;
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (!objcopy.isEmpty()) {
        QProcess p;
        p.start(objcopy,
                {"-I", "ihex", "-O", "binary", "--gap-fill", "0xff", hexPath, Path("objcopy.bin")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        expected = ReadAll(Path("objcopy.bin"));
        QCOMPARE(expected, ReadAll(kData + "atmega128-far.bin"));
    } else {
        expected = ReadAll(kData + "atmega128-far.bin");
    }
    QCOMPARE(expected.size(), 0x20000);

    QCOMPARE(Form->Engine.LoadLocalFile(hexPath), 0x1FFFF);
    QVERIFY(Image(*Form) == expected);
    QCOMPARE(Form->Memo1->toPlainText(), QString());

    // The same program with its EEPROM, fuse and lock sections: same flash, 8 bytes skipped.
    EngineProbe(Form->Engine).FirmwareImage().fill(0);
    QCOMPARE(Form->Engine.LoadLocalFile(kData + "atmega128-far-all.hex"), 0x1FFFF);
    QVERIFY(Image(*Form) == expected);
    QCOMPARE(Form->Memo1->toPlainText(),
             QStringLiteral("[Info] Skipped 8 bytes at 0x200000 and above (ID, config, EEPROM)."));
    QVERIFY(Boxes.isEmpty());
}

void TstLoadFile::refusedLoadsLeaveNoImage() {
    // Data at 0x20000: a 256 KiB part's upper half, which a download cannot send.
    WriteAll(Path("big.hex"), ":0400100001020304E2\n:020000040002F8\n:0100000055AA\n:00000001FF\n");
    QCOMPARE(Form->Engine.LoadLocalFile(Path("big.hex")), 0);
    QCOMPARE(Boxes,
             QStringList({"[ERROR] Hex file line 3: data at 0x20000 is past the 128 KiB image!"}));
    QVERIFY(AllErased(Image(*Form)));

    // Files that never end are refused instead of holding the window for ever: a device, a link
    // to one, a FIFO (even opening it waits for a writer) and a file larger than any HEX file.
    Boxes.clear();
    EngineProbe(Form->Engine).FirmwareImage().fill(0x5A);
    QCOMPARE(Form->Engine.LoadLocalFile(QStringLiteral("/dev/zero")), 0);
    QCOMPARE(Boxes, QStringList({"Sorce File Read Err!", "[ERROR] Cannot the Hex File!"}));
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), Path("zero.hex")));
    {
        FifoWithWriter fifo(Path("fifo.hex"), ":0400100001020304E2\n");
        QVERIFY(fifo.Ok());
        Boxes.clear();
        QCOMPARE(Form->Engine.LoadLocalFile(Path("zero.hex")), 0);
        QCOMPARE(Form->Engine.LoadLocalFile(Path("fifo.hex")), 0);
        QCOMPARE(Boxes, QStringList(2, "[ERROR] Cannot the Hex File!"));
        QVERIFY(!fifo.ReaderCame());
    }
    QCOMPARE(Form->Engine.Image()[0], uint8_t(0x5A)); // nothing opened, nothing changed
    {
        QFile big(Path("huge.hex")); // sparse: no disk space taken
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(16 * 1024 * 1024 + 1));
    }
    Boxes.clear();
    QCOMPARE(Form->Engine.LoadLocalFile(Path("huge.hex")), 0);
    QCOMPARE(Boxes, QStringList({"[ERROR] Hex file is larger than 16 MiB!"}));
    QVERIFY(AllErased(Image(*Form)));

    // A file cut in the middle of line 40, plain and scrambled.
    const QByteArray hex = ReadAll(kData + "atmega128-far.hex");
    qsizetype at = 0;
    for (int line = 1; line < 40; ++line)
        at = hex.indexOf('\n', at) + 1;
    const QByteArray cut = hex.left(at + 20);
    for (const char* name : {"cut.hex", "cut.lod"}) {
        Boxes.clear();
        QCOMPARE(Form->Engine.LoadLocalFile(kData + "atmega128-far.hex"), 0x1FFFF);
        const bool lod = QByteArray(name).endsWith(".lod");
        WriteAll(Path(name), lod ? Scramble(cut) : cut);
        QCOMPARE(Form->Engine.LoadLocalFile(Path(name)), 0);
        QCOMPARE(Boxes, QStringList({"[ERROR] Hex file line 40 is damaged!"}));
        QVERIFY(AllErased(Image(*Form)));
    }
}

void TstLoadFile::joinedFilesAndWrongChecksums() {
    // The AVR file ends in segment 0x1000; a file joined after it starts from 0 again.
    const QByteArray first = ReadAll(kData + "atmega128-far.hex");
    const QByteArray second = ":0400100001020304E3\n:0102000077"
                              "86\n:00000001FF\n";
    WriteAll(Path("joined.hex"), first + second);
    QCOMPARE(Form->Engine.LoadLocalFile(Path("joined.hex")), 0x1FFFF);
    QVERIFY(Boxes.isEmpty());
    QCOMPARE(Form->Engine.Image()[0x200], uint8_t(0x77));
    QCOMPARE(Form->Engine.Image()[0x10200], uint8_t(0xFF));
    QCOMPARE(Form->Engine.Image()[0x13], uint8_t(0x04)); // wrong sum, loaded as written
    QCOMPARE(Form->Memo1->toPlainText(),
             QStringLiteral("[Warning] 1 record with a wrong checksum was loaded as written."));
}

void TstLoadFile::localFileButtonAndRadio() {
    WriteAll(Path("fw.hex"), ":0400100001020304E2\n:00000001FF\n");
    Form->EdFileName->setText(QStringLiteral("default.bin"));
    EngineProbe(Form->Engine).ImageEnd() = 0x77;

    int asked = 0;
    Form->OpenDialogHook = [&] {
        ++asked;
        return QString();
    };
    Form->BtnLocalFile->click();
    QCOMPARE(asked, 1);
    QCOMPARE(Form->EdFileName->text(), QStringLiteral("default.bin"));
    QCOMPARE(Form->Engine.ImageEndAddress(), 0x77);
    QVERIFY(Boxes.isEmpty());

    Form->OpenDialogHook = [&] {
        ++asked;
        return Path("fw.hex");
    };
    Form->BtnLocalFile->click();
    QCOMPARE(Form->EdFileName->text(), Path("fw.hex"));
    QCOMPARE(Form->Engine.ImageEndAddress(), 0x13);

    // A running download keeps its image: no dialog, one log line.
    EngineProbe(Form->Engine).DownloadState() = 3;
    Form->Memo1->clear();
    Form->BtnLocalFile->click();
    QCOMPARE(asked, 2);
    QCOMPARE(Form->Engine.ImageEndAddress(), 0x13);
    QCOMPARE(Form->Memo1->toPlainText(),
             QStringLiteral("[Error] Press Stop before choosing another file."));
    // Parked after a continuous-mode download, the next file may be chosen.
    EngineProbe(Form->Engine).DownloadState() = 10;
    Form->BtnLocalFile->click();
    QCOMPARE(asked, 3);
    EngineProbe(Form->Engine).DownloadState() = 0;

    EngineProbe(Form->Engine).ServerImageAccepted() = true;
    Form->ProgressBar2->setValue(40);
    Form->RbLocalFile->click();
    QCOMPARE(Form->Engine.ImageEndAddress(), 0);
    QVERIFY(!Form->Engine.ServerImageTaken());
    QCOMPARE(Form->ProgressBar2->value(), 0);
}

void TstLoadFile::startSaysWhyTheFileIsRefused() {
    // The operator's Start with a local file that gives no image to send: the generic line,
    // then the file and why, in the log, the record and its detail column.
    QByteArray tiny;
    for (int a = 0; a < 64; a += 16)
        tiny += DataRecord(a, 16, 0x42);
    tiny += ":00000001FF\n";
    QByteArray binary;
    for (int i = 0; i < 512; ++i)
        binary.append(static_cast<char>((i * 37) & 0xFF));
    // A name that is not UTF-8 can be created, yet never typed or passed as text.
    const QByteArray rawName = QFile::encodeName(Dir->path()) + "/\xff\xfe.hex";
    const int fd = ::open(rawName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, tiny.constData(), static_cast<size_t>(tiny.size())), tiny.size());
    ::close(fd);
    struct Case {
        QString name;
        QByteArray bytes; // the file's contents, when the case writes one
        QString reason;
    };
    const Case cases[] = {
        {Path("empty.hex"), QByteArray(), QStringLiteral("the file is empty")},
        {Path("notes.hex"), "firmware 1.2 for the sensor board\n",
         QStringLiteral("the file holds no data record")},
        {Path("blob.hex"), binary, QStringLiteral("not Intel HEX text (binary data)")},
        {Path("tiny.hex"), tiny,
         QStringLiteral("the image ends at address 63 (64 bytes); images of at least 101 bytes "
                        "are sent")},
        {Path("folder.hex"), QByteArray(), QStringLiteral("a folder, not a file")},
        {QString::fromLocal8Bit(rawName), QByteArray(),
         QStringLiteral("the file name is not valid UTF-8; rename the file")},
    };
    QVERIFY(QDir(Dir->path()).mkdir(QStringLiteral("folder.hex")));
    Form->RbLocalFile->setChecked(true);
    for (const Case& c : cases) {
        if (c.name.endsWith(QLatin1String("empty.hex")) || !c.bytes.isEmpty())
            WriteAll(c.name, c.bytes);
        Form->Memo1->clear();
        Form->EdFileName->setText(c.name);
        Form->Engine.BtnStartClick();
        QTRY_VERIFY(Form->Engine.State() == 0 && !Form->Engine.Ticking());
        const QStringList log = Form->Memo1->toPlainText().split(QLatin1Char('\n'));
        const QString reason = c.name + QStringLiteral(": ") + c.reason;
        QCOMPARE(log.mid(log.size() - 2), QStringList({QStringLiteral("파일오류 : 서버작업 취소"),
                                                       QStringLiteral("[Error] ") + reason}));
        QCOMPARE(Form->Engine.CurrentRecord().Kind, FailureKind::Image);
        QCOMPARE(Form->Engine.CurrentRecord().Reason, reason);
    }
    QStringList rows;
    for (const QString& name : QDir(Dir->path()).entryList({QStringLiteral("downloads-*.csv")}))
        rows += QString::fromUtf8(ReadAll(Path(name))).split(QStringLiteral("\r\n"));
    QVERIFY(rows.join(QLatin1Char('\n'))
                .contains(QStringLiteral(",파일오류 : 서버작업 취소: ") + Path("tiny.hex") +
                          QStringLiteral(": the image ends at address 63 (64 bytes); images of "
                                         "at least 101 bytes are sent")));
}

QTEST_MAIN(TstLoadFile)
#include "tst_loadfile.moc"
