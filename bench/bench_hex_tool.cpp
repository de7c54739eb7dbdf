// zub-hex2bin: loads an Intel HEX file with the window's loader (read in chunks, cut into lines,
// each record parsed into the 128 KiB image) and writes bytes 0..end as a flat binary, like
// objcopy -I ihex -O binary --gap-fill 0xff does for an image that starts at 0. The benchmark
// times whole runs of it against objcopy.
#include "image/HexImage.h"

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <in.hex> <out.bin>\n", argv[0]);
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<uint8_t> image(kImageSize, 0xFF);
    HexLoadState st;
    HexImageLoad load(st, image.data());
    std::vector<char> chunk(64 * 1024);
    size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0)
        load.Feed(chunk.data(), n);
    load.Finish();
    const bool readOk = !std::ferror(in);
    std::fclose(in);
    if (!readOk || st.Error != ImageError::None) {
        if (!readOk)
            std::fprintf(stderr, "%s: read error\n", argv[1]);
        else
            std::fprintf(stderr, "%s: line %d refused (error %d)\n", argv[1], st.ErrorLine,
                         static_cast<int>(st.Error));
        return 1;
    }
    // A new file, as objcopy writes one: truncating the old one makes ext4 flush it on close.
    std::remove(argv[2]);
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    const size_t size = static_cast<size_t>(st.End) + 1;
    const bool ok = std::fwrite(image.data(), 1, size, out) == size;
    return std::fclose(out) == 0 && ok ? 0 : 1;
}
