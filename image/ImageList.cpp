#include "image/ImageList.h"

#include "image/ImageFile.h"

#include <QBuffer>
#include <QIODevice>

#include <array>

namespace {

// Files of the program itself, which a list entry must never replace or delete.
constexpr std::array<const char*, 3> ReservedNames = {"default.ini", "hexlist.txt", "default.hex"};

// The record files' names, downloads-YYYY-MM.csv: refused whatever stands between.
constexpr const char* RecordNamePrefix = "downloads-";
constexpr const char* RecordNameSuffix = ".csv";

// Longest file name the usual Linux file systems take (NAME_MAX).
constexpr int MaxNameBytes = 255;

enum class LineRead { Line, LongLine, End };

// Reads one line without its terminator into `line`, keeping at most ImageListLineCap bytes; the
// rest of a longer line is read and dropped so that it cannot turn into further rows.
LineRead readListLine(QIODevice& in, QByteArray& line) {
    line.clear();
    // Room for a line at the cap with its CR LF, and the NUL readLine appends.
    std::array<char, ImageListLineCap + 3> buf;
    const qint64 n = in.readLine(buf.data(), static_cast<qint64>(buf.size()));
    if (n <= 0)
        return LineRead::End;
    line = QByteArray(buf.data(), static_cast<int>(n));
    bool ended = line.endsWith('\n');
    if (ended)
        line.chop(1);
    bool tooLong = false;
    while (!ended) {
        const qint64 more = in.readLine(buf.data(), static_cast<qint64>(buf.size()));
        if (more <= 0)
            break;
        tooLong = true;
        ended = buf[static_cast<size_t>(more - 1)] == '\n';
    }
    if (!tooLong && line.endsWith('\r'))
        line.chop(1);
    if (tooLong || line.size() > ImageListLineCap) {
        line.truncate(ImageListLineCap);
        return LineRead::LongLine;
    }
    return LineRead::Line;
}

} // namespace

ImageListRow SplitImageListLine(const QString& line) {
    const int eq = line.lastIndexOf(QLatin1Char('='));
    if (eq < 0)
        return {QString(), line};
    return {line.left(eq), line.mid(eq + 1)};
}

ImageListText ParseImageList(QIODevice& in) {
    ImageListText out;
    QByteArray line;
    bool first = true;
    for (;;) {
        const LineRead r = readListLine(in, line);
        if (r == LineRead::End)
            break;
        if (first && line.startsWith("\xEF\xBB\xBF"))
            line.remove(0, 3);
        first = false;
        if (static_cast<int>(out.Rows.size()) == ImageListCapacity) {
            if (!line.trimmed().isEmpty()) {
                out.MoreRows = true;
                break;
            }
            continue;
        }
        ImageListRow row = SplitImageListLine(QString::fromLocal8Bit(line));
        if (r == LineRead::LongLine) {
            // The end of the line, where the file name stands, is lost: never use a cut name.
            row.FileName.clear();
            ++out.LongLines;
        }
        out.Rows.push_back(std::move(row));
    }
    return out;
}

ImageListText ParseImageList(const QByteArray& text) {
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    return ParseImageList(buffer);
}

bool ReadImageListFile(const QString& path, ImageListText& out) {
    QFile file(path);
    if (!OpenRegularFile(file))
        return false;
    const QByteArray text = file.read(ImageListMaxBytes + 1);
    if (text.size() > ImageListMaxBytes || file.error() != QFileDevice::NoError)
        return false;
    out = ParseImageList(text);
    return true;
}

bool IsSafeModelFileName(const QString& name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return false;
        if (c.category() == QChar::Other_Control)
            return false;
    }
    for (const char* reserved : ReservedNames) {
        if (name.compare(QLatin1String(reserved), Qt::CaseInsensitive) == 0)
            return false;
    }
    // The production record of any month (downloads-YYYY-MM.csv): a refused "image" of that name
    // would be deleted and replaced by the server's file.
    if (name.startsWith(QLatin1String(RecordNamePrefix), Qt::CaseInsensitive) &&
        name.endsWith(QLatin1String(RecordNameSuffix), Qt::CaseInsensitive))
        return false;
    const QByteArray bytes = name.toLocal8Bit();
    if (bytes.size() > MaxNameBytes)
        return false;
    // A name that does not survive the code page would be stored under another name.
    return QString::fromLocal8Bit(bytes) == name;
}

std::optional<ModelPreset> ModelPresetOf(const QString& modelName) {
    if (modelName.startsWith(QLatin1Char('P')))
        return ModelPreset{true, true};
    if (modelName.startsWith(QLatin1Char('A')))
        return ModelPreset{true, false};
    return std::nullopt;
}
