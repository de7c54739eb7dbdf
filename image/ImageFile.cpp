#include "image/ImageFile.h"

#include "image/HexMessages.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr qint64 kReadChunk = 64 * 1024;

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
        if (n < 0)
            load.Hex.Error = ImageError::ReadFailed;
        if (n <= 0)
            break;
        total += n;
        if (total > kMaxFirmwareFileBytes) {
            load.Hex.Error = ImageError::TooLarge;
            break;
        }
        if (scrambled)
            XorLodBytes(chunk.data(), static_cast<size_t>(n), kLodKey, sizeof kLodKey - 1, keyPos);
        hex.Feed(chunk.data(), static_cast<size_t>(n));
    }
    load.End = hex.Finish();
    return load;
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
