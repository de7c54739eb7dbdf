#include "image/ImageFile.h"

#include "image/HexMessages.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr qint64 kReadChunk = 64 * 1024;

// A byte that no HEX text holds: NUL and the control codes other than tab, line ends, form feed
// and the DOS end-of-file mark.
bool HasBinaryByte(const char* data, qint64 n) {
    for (qint64 i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1A) ||
            c == 0x7F)
            return true;
    }
    return false;
}

} // namespace

bool OpenRegularFile(QFile& file, bool* missing) {
    if (missing)
        *missing = false;
    const QByteArray path = QFile::encodeName(file.fileName());
    struct stat sb {};
    if (path.isEmpty() || ::stat(path.constData(), &sb) != 0) {
        if (missing)
            *missing = path.isEmpty() || errno == ENOENT || errno == ENOTDIR;
        return false;
    }
    if (!S_ISREG(sb.st_mode))
        return false;
    // O_NONBLOCK: should the name have become a FIFO since the look above, open returns at once.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

FirmwareFileLoad ReadFirmwareFile(const QString& path, uint8_t* image) {
    FirmwareFileLoad load;
    QFile file(path);
    bool missing = false;
    load.Opened = OpenRegularFile(file, &missing);
    load.SystemError = load.Opened ? 0 : errno;
    load.Kind = FirmwareKindOf(path, load.Opened ? file.peek(4) : QByteArray());
    if (!load.Opened) {
        load.Hex.Error = missing ? ImageError::Missing : ImageError::NotOpened;
        return load;
    }
    const bool scrambled = load.Kind == FirmwareKind::Scrambled;
    HexImageLoad hex(load.Hex, image);
    std::vector<char> chunk(kReadChunk);
    size_t keyPos = 0;
    qint64 total = 0;
    // A refused record ends the reading: nothing after it is stored.
    while (load.Hex.Error == ImageError::None) {
        const qint64 n = file.read(chunk.data(), kReadChunk);
        if (n < 0) {
            load.SystemError = errno;
            load.Hex.Error = ImageError::ReadFailed;
        }
        if (n <= 0)
            break;
        total += n;
        load.Bytes = total;
        if (total > kMaxFirmwareFileBytes) {
            load.Hex.Error = ImageError::TooLarge;
            break;
        }
        if (scrambled)
            XorLodBytes(chunk.data(), static_cast<size_t>(n), kLodKey, sizeof kLodKey - 1, keyPos);
        if (!load.Binary)
            load.Binary = HasBinaryByte(chunk.data(), n);
        hex.Feed(chunk.data(), static_cast<size_t>(n));
    }
    load.End = hex.Finish();
    return load;
}

QString FirmwareLoadReason(const FirmwareFileLoad& load, const QString& path) {
    const auto systemText = [&load] {
        return QString::fromLocal8Bit(std::strerror(load.SystemError));
    };
    switch (load.Hex.Error) {
    case ImageError::None:
        break;
    case ImageError::Missing:
        // The system's names are read as UTF-8; bytes that are not became U+FFFD on the way in
        // and can never name the file again.
        if (path.contains(QChar::ReplacementCharacter))
            return QStringLiteral("the file name is not valid UTF-8; rename the file");
        if (path.isEmpty())
            return QStringLiteral("no file chosen");
        return QStringLiteral("no such file");
    case ImageError::NotOpened: {
        const QFileInfo info(path);
        if (info.exists() && !info.isFile())
            return info.isDir() ? QStringLiteral("a folder, not a file")
                                : QStringLiteral("not a regular file");
        return QStringLiteral("cannot be opened: ") +
               (load.SystemError != 0 ? systemText() : QStringLiteral("unknown error"));
    }
    case ImageError::ReadFailed:
        return QStringLiteral("read error: ") + systemText();
    default:
        return HexRefusalReason(load.Hex);
    }
    if (load.End > 0)
        return {};
    if (load.Bytes == 0)
        return QStringLiteral("the file is empty");
    if (load.Binary)
        return load.Kind == FirmwareKind::Scrambled
                   ? QStringLiteral("not a .lod file: it does not decode to Intel HEX text")
                   : QStringLiteral("not Intel HEX text (binary data)");
    return QStringLiteral("the file holds no data record");
}

QStringList FirmwareLoadBoxes(const FirmwareFileLoad& load) {
    QStringList boxes;
    if (load.Hex.Error == ImageError::None)
        return boxes;
    // A .lod source that cannot be read gets the decoder's box before the loader's own.
    if (!load.Opened && load.Kind == FirmwareKind::Scrambled)
        boxes << QStringLiteral("Sorce File Read Err!");
    boxes << HexLoadErrorText(load.Hex);
    return boxes;
}
