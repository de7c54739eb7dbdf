// HEX text, as any file may hold it, into the page image. Besides the sanitizers it checks what
// the download relies on: a refused load leaves an erased image and no end, an accepted one ends
// inside the image, and cutting the text into pieces never changes the result.
#include "image/HexMessages.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Images are kept between runs and compared with memcmp: loops over 128 KiB under coverage
// instrumentation would cost more than the parse itself.
std::vector<uint8_t> whole(kImageSize), pieces(kImageSize), single(kImageSize);
const std::vector<uint8_t> erased(kImageSize, 0xFF);

bool Erased(const uint8_t* from, size_t n) {
    return std::memcmp(from, erased.data(), n) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);

    HexLoadState st;
    const int32_t end = LoadHexText(st, whole.data(), text, size);
    if (st.Error != ImageError::None) {
        Check(end == 0 && st.ErrorLine >= 1 && st.ErrorLine <= st.LineNo);
        Check(Erased(whole.data(), kImageSize));
        Check(!HexLoadErrorText(st).isEmpty());
    } else {
        Check(end >= 0 && end < kImageSize && end == st.End);
        Check(Erased(whole.data() + end + 1, static_cast<size_t>(kImageSize - end - 1)));
    }

    // The same text in two pieces, cut where the first byte says.
    const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    HexLoadState st2;
    HexImageLoad load(st2, pieces.data());
    load.Feed(text, cut);
    load.Feed(text + cut, size - cut);
    Check(load.Finish() == end);
    Check(st2.Error == st.Error && st2.LineNo == st.LineNo);
    Check(std::memcmp(pieces.data(), whole.data(), kImageSize) == 0);

    // The whole input as one line, line end bytes and all.
    HexLoadState one;
    const int32_t r = ParseHexLine(one, single.data(), text, size);
    Check(r >= 0 && r < kImageSize);
    return 0;
}
