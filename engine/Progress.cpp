#include "engine/Progress.h"

#include <cstdlib>

bool RateMismatch(int32_t requested, int32_t actual) {
    if (requested <= 0 || actual <= 0)
        return false; // nothing known to compare
    const int64_t diff = std::llabs(static_cast<int64_t>(actual) - requested);
    return diff * 100 > static_cast<int64_t>(requested) * 2;
}

int32_t PageCountOf(int32_t imageEnd, int32_t pageSize) {
    if (pageSize <= 0 || imageEnd < 0)
        return 0;
    return imageEnd / pageSize + 1;
}

int32_t FirstPageOf(uint8_t signature) {
    return signature == 0xE0 ? 64 : 0;
}

int32_t ProgressMaxOf(int32_t pageCount) {
    return pageCount / 2;
}

int32_t ProgressValueOf(int32_t pageNumber, int32_t progressMax) {
    return pageNumber <= progressMax ? pageNumber : pageNumber - progressMax;
}

DownloadPlan PlanDownload(int32_t imageEnd, const _CPU& device) {
    DownloadPlan plan;
    plan.FirstPage = FirstPageOf(device.Signature);
    if (device.PageSize <= 0) {
        plan.Error = EngineError::PageSizeUnknown;
        return plan;
    }
    plan.PageCount = PageCountOf(imageEnd, device.PageSize);
    // The size is only known for flash codes in the table; an unknown one checks nothing.
    if (device.FlashSize > 0 && static_cast<int64_t>(imageEnd) + 1 > device.FlashSize) {
        plan.Error = EngineError::ImageTooLarge;
        return plan;
    }
    if (plan.FirstPage >= plan.PageCount) {
        // Built without the boot loader's offset: sending would write a blank page 64.
        plan.Error = EngineError::NoPageAtStart;
        return plan;
    }
    return plan;
}

QString StampText(int hour, int minute, int second) {
    return QString::asprintf("%02d:%02d:%02d", hour, minute, second);
}

QString FlashSizeText(int32_t bytes) {
    return QString::number(bytes / 1024) + QLatin1Char('k');
}

QString PrintableName(const QString& name) {
    QString out;
    out.reserve(name.size());
    for (const QChar c : name)
        out.append(c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
                           c == QChar::LineSeparator || c == QChar::ParagraphSeparator
                       ? QLatin1Char('?')
                       : c);
    return out;
}

QString PlanErrorText(const DownloadPlan& plan, int32_t imageEnd, const _CPU& device,
                      uint8_t pageCode) {
    switch (plan.Error) {
    case EngineError::PageSizeUnknown:
        return QStringLiteral("[Error] Get ID fail: unknown page size code 0x%1")
            .arg(QString::number(pageCode, 16).toUpper().rightJustified(2, QLatin1Char('0')));
    case EngineError::ImageTooLarge:
        return QStringLiteral("[Error] Image of %1 bytes does not fit the flash of %2 bytes")
            .arg(static_cast<int64_t>(imageEnd) + 1)
            .arg(device.FlashSize);
    case EngineError::NoPageAtStart:
        return QStringLiteral("[Error] Image has %1 pages, the board takes pages from %2 on")
            .arg(plan.PageCount)
            .arg(plan.FirstPage);
    default:
        return QString();
    }
}

QString RateWarningText(int32_t requested, int32_t actual) {
    return QStringLiteral("[Warning] Port runs at %1 baud, not the %2 baud asked for")
        .arg(actual)
        .arg(requested);
}

QString RowErrorText(EngineError error, int index, const QString& name) {
    switch (error) {
    case EngineError::ProtocolNoRow:
        return QStringLiteral("[Error] No protocol chosen (index %1)").arg(index);
    case EngineError::RateNoRow:
        return QStringLiteral("[Error] No baud rate chosen (index %1)").arg(index);
    case EngineError::ModelNoRow:
        return QStringLiteral("[Error] No model chosen");
    case EngineError::ModelNoFile:
        return QStringLiteral("[Error] No image file for model row %1").arg(index);
    case EngineError::ModelUnsafeName:
        return QStringLiteral("[Error] Image file name refused: %1").arg(PrintableName(name));
    default:
        return QString();
    }
}
