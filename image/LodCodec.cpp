#include "image/LodCodec.h"

void XorLodBytes(char* data, size_t n, const char* key, size_t keyLen, size_t& keyPos) {
    if (keyLen == 0)
        return;
    if (keyPos >= keyLen)
        keyPos %= keyLen;
    for (size_t i = 0; i < n; ++i) {
        data[i] = static_cast<char>(data[i] ^ key[keyPos]);
        if (++keyPos == keyLen)
            keyPos = 0;
    }
}

QByteArray XorLod(QByteArray data, const QByteArray& key) {
    size_t pos = 0;
    XorLodBytes(data.data(), static_cast<size_t>(data.size()), key.constData(),
                static_cast<size_t>(key.size()), pos);
    return data;
}

FirmwareKind FirmwareKindFromName(const QString& path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const QString ext = dot < 0 ? path.left(3) : path.mid(dot + 1, 3);
    return ext.toLower() == QLatin1String("hex") ? FirmwareKind::PlainHex : FirmwareKind::Scrambled;
}

FirmwareKind FirmwareKindOf(const QString& path, const QByteArray& head) {
    if (head.startsWith(':') || head.startsWith("\xEF\xBB\xBF:"))
        return FirmwareKind::PlainHex;
    return FirmwareKindFromName(path);
}
