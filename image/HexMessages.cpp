#include "image/HexMessages.h"

QString HexLoadErrorText(const HexLoadState& st) {
    const QString line = QString::number(st.ErrorLine);
    switch (st.Error) {
    case ImageError::None:
        break;
    case ImageError::Damaged:
        return QStringLiteral("[ERROR] Hex file line %1 is damaged!").arg(line);
    case ImageError::PastImage:
        return QStringLiteral("[ERROR] Hex file line %1: data at 0x%2 is past the 128 KiB image!")
            .arg(line, QString::number(st.ErrorAddress, 16).toUpper());
    case ImageError::UnknownRecord:
        return QStringLiteral("[ERROR] Hex file line %1 has an unknown record type!").arg(line);
    }
    return QString();
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
