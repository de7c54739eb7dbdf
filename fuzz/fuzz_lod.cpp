// A .lod file decoded and loaded, as the window does it: decoding in pieces equals decoding
// whole, coding twice gives the input back, and the load keeps the image's guarantees.
#include "image/HexImage.h"
#include "image/LodCodec.h"

#include <QByteArray>
#include <QString>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray decoded = XorLod(input);
    Check(decoded.size() == input.size());
    Check(XorLod(decoded) == input);

    // Decoded chunk by chunk with the running key position, as files are read.
    QByteArray chunked = input;
    size_t keyPos = 0;
    const size_t step = size == 0 ? 1 : 1 + data[0] % 17;
    for (size_t at = 0; at < size; at += step) {
        const size_t n = size - at < step ? size - at : step;
        XorLodBytes(chunked.data() + at, n, kLodKey, sizeof kLodKey - 1, keyPos);
    }
    Check(chunked == decoded);

    static std::vector<uint8_t> image(kImageSize);
    HexLoadState st;
    const int32_t end =
        LoadHexText(st, image.data(), decoded.constData(), static_cast<size_t>(decoded.size()));
    Check(end >= 0 && end < kImageSize);
    if (st.Error != ImageError::None)
        Check(end == 0);

    // The kind rule on a name taken from the input: any text, never a crash.
    const QString name = QString::fromUtf8(input.left(40));
    const FirmwareKind kind = FirmwareKindOf(name, input.left(4));
    Check(size == 0 || data[0] != ':' || kind == FirmwareKind::PlainHex);
    return 0;
}
