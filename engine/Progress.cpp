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

QString RateWarningText(int32_t requested, int32_t actual) {
    return QStringLiteral("[Warning] Port runs at %1 baud, not the %2 baud asked for")
        .arg(actual)
        .arg(requested);
}

QString FailureBodyText(const EngineFailure& f) {
    switch (f.Error) {
    case EngineError::IdTimeout:
        return QStringLiteral("Get ID fail!!!");
    case EngineError::PageOverCount:
        return QStringLiteral("Fail Download Page[%1]:Over Count").arg(f.Number);
    case EngineError::PageNoResponse:
        return QStringLiteral("Fail Download Page[%1]: No Response").arg(f.Number);
    case EngineError::NoAnswer:
        return QStringLiteral("No answer from the board in %1 s")
            .arg(QString::number(static_cast<double>(f.Number) / 1000.0, 'g', 6));
    case EngineError::VerifyDiffered:
        return QStringLiteral("Verify Fail: board CRC %1, image CRC %2")
            .arg(QStringLiteral("%1")
                     .arg(static_cast<qulonglong>(f.Number), 8, 16, QLatin1Char('0'))
                     .toUpper(),
                 QStringLiteral("%1")
                     .arg(static_cast<qulonglong>(f.Limit), 8, 16, QLatin1Char('0'))
                     .toUpper());
    case EngineError::VerifyNoResponse:
        return QStringLiteral("Verify Fail: No Response");
    case EngineError::PageSizeUnknown:
        return QStringLiteral("Get ID fail: unknown page size code 0x%1")
            .arg(QString::number(f.Number, 16).toUpper().rightJustified(2, QLatin1Char('0')));
    case EngineError::ImageTooLarge:
        return QStringLiteral("Image of %1 bytes does not fit the flash of %2 bytes")
            .arg(f.Number)
            .arg(f.Limit);
    case EngineError::NoPageAtStart:
        return QStringLiteral("Image has %1 pages, the board takes pages from %2 on")
            .arg(f.Number)
            .arg(f.Limit);
    case EngineError::ProtocolNoRow:
        return QStringLiteral("No protocol chosen (index %1)").arg(f.Number);
    case EngineError::RateNoRow:
        return QStringLiteral("No baud rate chosen (index %1)").arg(f.Number);
    case EngineError::ModelNoRow:
        return QStringLiteral("No model chosen");
    case EngineError::ModelNoFile:
        return QStringLiteral("No image file for model row %1").arg(f.Number);
    case EngineError::ModelUnsafeName:
        return QStringLiteral("Image file name refused: %1").arg(PrintableName(f.Name));
    case EngineError::None:
    case EngineError::ImageTooSmall:
    case EngineError::PortFault:
    case EngineError::NetFail:
    case EngineError::ListUnreachable:
    case EngineError::ListNotFetched:
        break;
    }
    return {};
}

QString FailureLineText(const EngineFailure& f) {
    switch (f.Error) {
    case EngineError::None:
        return {};
    case EngineError::ImageTooSmall:
        return QStringLiteral("파일오류 : 서버작업 취소");
    case EngineError::PortFault:
        return QStringLiteral("통신포트오류:") + f.Name;
    case EngineError::NetFail:
        return QStringLiteral("네트워크 연결이 불안정합니다.");
    case EngineError::ListUnreachable:
        return QStringLiteral("[장애]서버에 연결 할 수 없습니다.");
    case EngineError::ListNotFetched:
        return QStringLiteral("[ERROR] Cannot a Hex_List File!");
    default:
        return QStringLiteral("[Error] ") + FailureBodyText(f);
    }
}

QStringList FailureLogLines(const EngineFailure& f) {
    const QString line = FailureLineText(f);
    if (line.isEmpty())
        return {};
    const QString reason = QStringLiteral("[Error] ") + f.Reason;
    switch (f.Error) {
    case EngineError::ImageTooSmall:
    case EngineError::PortFault:
        // The line names no cause: the reason is news to the operator.
        return f.Reason.isEmpty() ? QStringList{line} : QStringList{line, reason};
    case EngineError::NetFail:
        if (f.Reason.isEmpty())
            return {line};
        return f.Refused ? QStringList{reason, line} : QStringList{line, reason};
    case EngineError::ListNotFetched:
        return {}; // a message box, not a line
    default:
        // These lines already say what went wrong; the reason goes to the record alone.
        return {line};
    }
}

RecordFailure FailureStage(EngineError error) {
    switch (error) {
    case EngineError::None:
        return RecordFailure::None;
    case EngineError::ImageTooSmall:
    case EngineError::NetFail:
    case EngineError::ListUnreachable:
    case EngineError::ListNotFetched:
    case EngineError::ModelNoRow:
    case EngineError::ModelNoFile:
    case EngineError::ModelUnsafeName:
        return RecordFailure::Image;
    case EngineError::PortFault:
        return RecordFailure::Port;
    default:
        return RecordFailure::Download;
    }
}
