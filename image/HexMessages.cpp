#include "image/HexMessages.h"

QString HexRefusalReason(const HexLoadState& st) {
    const QString line = QString::number(st.ErrorLine);
    switch (st.Error) {
    case ImageError::None:
        break;
    case ImageError::Damaged:
        return QStringLiteral("line %1 is damaged").arg(line);
    case ImageError::PastImage:
        return QStringLiteral("line %1: data at 0x%2 is past the 128 KiB image")
            .arg(line, QString::number(st.ErrorAddress, 16).toUpper());
    case ImageError::UnknownRecord:
        return QStringLiteral("line %1 has an unknown record type").arg(line);
    case ImageError::Missing:
        return QStringLiteral("no such file");
    case ImageError::NotOpened:
        return QStringLiteral("not a readable file");
    case ImageError::ReadFailed:
        return QStringLiteral("read error");
    case ImageError::TooLarge:
        return QStringLiteral("larger than 16 MiB");
    }
    return QString();
}

QString HexLoadErrorText(const HexLoadState& st) {
    switch (st.Error) {
    case ImageError::None:
        return QString();
    case ImageError::Missing:
    case ImageError::NotOpened:
    case ImageError::ReadFailed:
        return QStringLiteral("[ERROR] Cannot the Hex File!");
    case ImageError::TooLarge:
        return QStringLiteral("[ERROR] Hex file is larger than 16 MiB!");
    case ImageError::Damaged:
    case ImageError::PastImage:
    case ImageError::UnknownRecord:
        break;
    }
    return QStringLiteral("[ERROR] Hex file ") + HexRefusalReason(st) + QLatin1Char('!');
}

QString HexSkippedText(const HexLoadState& st) {
    if (st.SkippedBytes <= 0)
        return QString();
    return QStringLiteral("[Info] Skipped %1 %2 at 0x200000 and above (ID, config, EEPROM).")
        .arg(QString::number(st.SkippedBytes),
             st.SkippedBytes == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"));
}

QString HexBadSumText(const HexLoadState& st) {
    if (st.BadSums <= 0)
        return QString();
    if (st.BadSums == 1)
        return QStringLiteral("[Warning] 1 record with a wrong checksum was loaded as written.");
    return QStringLiteral("[Warning] %1 records with a wrong checksum were loaded as written.")
        .arg(st.BadSums);
}
