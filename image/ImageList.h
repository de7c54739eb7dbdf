// The image list "hexlist.txt": one model per line, "model name=image file name". The text comes
// from the update server over plain HTTP, so nothing here trusts it: lines are bounded, rows are
// capped at the catalogue's capacity and file names are checked before they touch the disk.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>
#include <vector>

class QIODevice;

// Rows the model catalogue holds (CmbModel rows and ModelFiles entries).
constexpr int ImageListCapacity = 20;
// The model box's rows before any image list is read.
constexpr std::array<const char*, 16> kDesignModelNames = {
    "Model 01 motion sensor V1.6",
    "Model 02 motion sensor 3-axis",
    "Model 03 motion sensor 3-axis high sensitivity",
    "Model 04 motion sensor 3-axis wide range",
    "Model 05 motion sensor level gauge",
    "Model 06 force sensor Ver1.0",
    "Model 07 light experiment Ver1.03",
    "Model 08 pressure meter Ver1.40",
    "Model 09 pressure meter Ver1.60",
    "Model 10 pressure meter Ver1.70",
    "Model 11 pulse generator Ver1.6",
    "Model 12 vehicle bus tester Ver3.1",
    "Model 13 multiport controller",
    "Model 14 controller",
    "Model 15 CAN board",
    "Model 16 multi board"};
// Longest line kept, in bytes without its terminator. Real lines are well under 200 bytes; the cap
// only bounds memory and keeps a runaway line from becoming several rows.
constexpr int ImageListLineCap = 4096;

struct ImageListRow {
    QString ModelName; // row text of CmbModel; may itself contain "="
    QString FileName;  // image file name; empty when the line was longer than ImageListLineCap
};

struct ImageListText {
    std::vector<ImageListRow> Rows; // at most ImageListCapacity
    bool MoreRows = false;          // a non-blank line stood past the last row kept
    int LongLines = 0;              // lines cut at ImageListLineCap (their FileName is empty)
};

// One line, terminator already removed: the last "=" splits model name and file name; a line
// without "=" gives an empty model name and the whole line as the file name.
ImageListRow SplitImageListLine(const QString& line);

// Reads the list from the device's current position: a leading UTF-8 byte-order mark is dropped,
// CR LF and LF end lines alike, text is in the system's 8-bit code page. Reading stops once the
// catalogue is full and one more non-blank line has been seen.
ImageListText ParseImageList(QIODevice& in);
ImageListText ParseImageList(const QByteArray& text);

// Longest image list file read: real lists are a few KiB; a larger file is no list.
constexpr qint64 ImageListMaxBytes = 1024 * 1024;

// Reads the list file at path into out. Only a regular file is opened, without waiting, and one
// larger than ImageListMaxBytes is refused: false when the file cannot be read as a list.
bool ReadImageListFile(const QString& path, ImageListText& out);

// True when the name is one plain file name that may be created, loaded or deleted in the start
// directory: not empty, no "/" or "\", no control character, not starting with ".", not one of the
// program's own files ("default.ini", "hexlist.txt", "default.hex", the production record
// "downloads-*.csv"; any case), at most 255 bytes
// and representable in the system's code page.
bool IsSafeModelFileName(const QString& name);

// The link settings a model's name implies: a name starting with "P" is a PIC board behind the
// jig's reset line (blank pages skipped), one starting with "A" an AVR board behind it. Other
// names imply nothing.
struct ModelPreset {
    bool AutoReset = false;
    bool BlankSkip = false;
};
std::optional<ModelPreset> ModelPresetOf(const QString& modelName);
