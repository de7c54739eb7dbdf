// The image list as a hostile server could publish it: any bytes. Checks the bounds the window
// relies on, that a name passing the check is one plain file name, and that its URL is one path
// segment that decodes back to the name.
#include "image/ImageList.h"
#include "update/UrlForm.h"

#include <QByteArray>
#include <QUrl>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const ImageListText list = ParseImageList(text);
    if (list.Rows.size() > static_cast<size_t>(ImageListCapacity))
        std::abort();
    const QString folder = QStringLiteral("http://127.0.0.1:8371/ydr/zubloader/");
    for (const ImageListRow& row : list.Rows) {
        if (row.ModelName.contains(QLatin1Char('\n')) || row.FileName.contains(QLatin1Char('\n')))
            std::abort();
        if (row.ModelName.toLocal8Bit().size() > 3 * ImageListLineCap ||
            row.FileName.toLocal8Bit().size() > 3 * ImageListLineCap)
            std::abort();
        if (!IsSafeModelFileName(row.FileName))
            continue;
        if (row.FileName.contains(QLatin1Char('/')) || row.FileName.contains(QLatin1Char('\\')) ||
            row.FileName.startsWith(QLatin1Char('.')) || row.FileName.isEmpty())
            std::abort();
        const QString url = MakeFileUrl(folder, row.FileName);
        const QString segment = url.mid(folder.size());
        for (const QChar c : segment) {
            if (c.unicode() <= 0x20 || c.unicode() >= 0x7F || c == QLatin1Char('/') ||
                c == QLatin1Char('?') || c == QLatin1Char('#'))
                std::abort();
        }
        if (QString::fromUtf8(QByteArray::fromPercentEncoding(segment.toLatin1())) != row.FileName)
            std::abort();
    }
    return 0;
}
