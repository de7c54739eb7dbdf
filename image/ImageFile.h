// Files the program reads (firmware files, the image list, the settings file): only regular files,
// opened without waiting and read within a bound, so that a FIFO, a device or a link to one can
// never hold the window. A .lod file is decoded on the fly while it is read: no scratch file is
// written and none of the operator's files is touched.
#pragma once

#include "image/HexImage.h"
#include "image/LodCodec.h"

#include <QFile>
#include <QStringList>

// A full 128 KiB image is under 400 KiB of HEX text; far beyond that the file is a mistake.
constexpr qint64 kMaxFirmwareFileBytes = 16 * 1024 * 1024;

// Opens file.fileName() for reading when it names a regular file (links followed). Anything else
// (a folder, a FIFO, a device) is refused before it is opened: a FIFO would wait for a writer, a
// device may never end or react to being opened. *missing tells that nothing has that name.
bool OpenRegularFile(QFile& file, bool* missing = nullptr);

struct FirmwareFileLoad {
    HexLoadState Hex; // Hex.Error also tells why the file itself could not be read
    FirmwareKind Kind = FirmwareKind::PlainHex;
    bool Opened = false;
    int32_t End = 0;     // the highest address loaded; 0 when refused or without data
    qint64 Bytes = 0;    // bytes read from the file
    bool Binary = false; // a byte no text file holds (NUL, most control codes) was read
    int SystemError = 0; // errno of a failed open or read
};

// Loads a firmware file into image (kImageSize bytes). A file that cannot be opened leaves the
// image as it was; a refused load leaves it all 0xFF.
FirmwareFileLoad ReadFirmwareFile(const QString& path, uint8_t* image);

// Why a load gave no image, as a phrase for a log line ("the file is empty"); empty when it gave
// one (whatever its size). `path` is the name as given.
QString FirmwareLoadReason(const FirmwareFileLoad& load, const QString& path);

// The message boxes of a refused load, in the order they are shown; empty when it loaded.
QStringList FirmwareLoadBoxes(const FirmwareFileLoad& load);
