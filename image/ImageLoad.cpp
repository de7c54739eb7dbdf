// Firmware files into FirmwareImage: plain HEX is parsed where it lies, a .lod file is decoded
// on the fly while it is read, so no scratch file is ever written and none of the operator's
// files is touched.
#include "app/ZubBootLoadMain.h"
#include "engine/Progress.h"
#include "image/HexMessages.h"
#include "image/LodCodec.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSaveFile>

#include <vector>

namespace {

constexpr qint64 kReadChunk = 64 * 1024;
// A full 128 KiB image is under 400 KiB of HEX text; far beyond that the "file" is a device or a
// mistake, and reading on would hold the window for ever.
constexpr qint64 kMaxFirmwareFileBytes = 16 * 1024 * 1024;

// A download is running from Start until it ends in Idle or parks waiting for the next Start.
bool DownloadRunning(int32_t state) {
    return state != DownloadStep::Idle && state != DownloadStep::WaitNext;
}

// Opens a file for reading; a directory does not count as a readable file.
bool OpenForReading(QFile& f) {
    if (f.fileName().isEmpty() || QFileInfo(f.fileName()).isDir())
        return false;
    return f.open(QIODevice::ReadOnly);
}

} // namespace

int32_t TForm1::LoadFirmwareFile(const QString& fileName) {
    QFile file(fileName);
    const bool opened = OpenForReading(file);
    const QByteArray head = opened ? file.peek(4) : QByteArray();
    const bool scrambled = FirmwareKindOf(fileName, head) == FirmwareKind::Scrambled;
    if (!opened) {
        if (scrambled)
            ShowMessage(QStringLiteral("Sorce File Read Err!"));
        ShowMessage(QStringLiteral("[ERROR] Cannot the Hex File!"));
        return 0;
    }
    if (scrambled)
        Memo1->clear();

    HexLoadState st;
    HexLoad = &st;
    FirmwareImage.fill(0xFF);
    HexLineCutter cutter;
    const auto onLine = [this](const char* p, size_t n) {
        ParseHexRecord(QByteArray::fromRawData(p, static_cast<qsizetype>(n)));
    };
    std::vector<char> chunk(kReadChunk);
    size_t keyPos = 0;
    bool readFailed = false;
    bool tooLarge = false;
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(chunk.data(), kReadChunk);
        if (n < 0)
            readFailed = true;
        if (n <= 0)
            break;
        total += n;
        if (total > kMaxFirmwareFileBytes) {
            tooLarge = true;
            break;
        }
        if (scrambled)
            XorLodBytes(chunk.data(), static_cast<size_t>(n), kLodKey, sizeof kLodKey - 1, keyPos);
        cutter.Feed(chunk.data(), static_cast<size_t>(n), onLine);
    }
    cutter.Finish(onLine);
    HexLoad = nullptr;

    // A refused load leaves no part of the file in the image, so nothing partial can be sent.
    if (readFailed || tooLarge || st.Error != ImageError::None) {
        FirmwareImage.fill(0xFF);
        ShowMessage(readFailed ? QStringLiteral("[ERROR] Cannot the Hex File!")
                    : tooLarge ? QStringLiteral("[ERROR] Hex file is larger than 16 MiB!")
                               : HexLoadErrorText(st));
        return 0;
    }
    const QString skipped = HexSkippedText(st);
    if (!skipped.isEmpty())
        AddLog(skipped);
    const QString badSums = HexBadSumText(st);
    if (!badSums.isEmpty())
        AddLog(badSums);
    return st.End;
}

void TForm1::DecodeLodFile(const QString& src, const QString& dst, const QString& key) {
    QFile in(src);
    if (!OpenForReading(in)) {
        ShowMessage(QStringLiteral("Sorce File Read Err!"));
        return;
    }
    // Written whole or not at all; the source stays intact even when dst names the same file.
    QSaveFile out(dst);
    if (!out.open(QIODevice::WriteOnly)) {
        ShowMessage(QStringLiteral("License File Write Err!"));
        return;
    }
    Memo1->clear();
    const QByteArray k = key.toLocal8Bit();
    std::vector<char> chunk(kReadChunk);
    size_t keyPos = 0;
    for (;;) {
        const qint64 n = in.read(chunk.data(), kReadChunk);
        if (n < 0) {
            out.cancelWriting();
            ShowMessage(QStringLiteral("Sorce File Read Err!"));
            return;
        }
        if (n == 0)
            break;
        XorLodBytes(chunk.data(), static_cast<size_t>(n), k.constData(),
                    static_cast<size_t>(k.size()), keyPos);
        if (out.write(chunk.data(), n) != n)
            break; // commit() reports it
    }
    if (!out.commit())
        ShowMessage(QStringLiteral("License File Write Err!"));
}

int32_t TForm1::ParseHexRecord(const QByteArray& line) {
    if (HexLoad)
        return ParseHexLine(*HexLoad, FirmwareImage.data(), line.constData(),
                            static_cast<size_t>(line.size()));
    // A line on its own: base address 0, its line end not part of the record.
    qsizetype n = line.size();
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
        --n;
    HexLoadState st;
    return ParseHexLine(st, FirmwareImage.data(), line.constData(), static_cast<size_t>(n));
}

void TForm1::BtnLocalFileClick() {
    // A new image must never replace the one a running download is sending page by page.
    if (DownloadRunning(DownloadState)) {
        AddLog(QStringLiteral("[Error] Press Stop before choosing another file."));
        return;
    }
    const QString path = RunOpenDialog();
    if (path.isEmpty())
        return;
    if (DownloadRunning(DownloadState)) {
        AddLog(QStringLiteral("[Error] Press Stop before choosing another file."));
        return;
    }
    EdFileName->setText(path);
    ImageEnd = LoadFirmwareFile(EdFileName->text());
}

void TForm1::RbLocalFileClick() {
    ImageEnd = 0;
    ServerImageAccepted = false;
    ProgressBar2->setValue(0);
}
