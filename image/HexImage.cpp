#include "image/HexImage.h"

#include <array>
#include <cstring>

namespace {

constexpr uint8_t kNotHex = 0xFF;

constexpr std::array<uint8_t, 256> MakeHexDigitTable() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t)
        v = kNotHex;
    for (int c = '0'; c <= '9'; ++c)
        t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
    return t;
}

// Value of each character as a hex digit, kNotHex for every other character.
constexpr std::array<uint8_t, 256> kHexDigit = MakeHexDigitTable();

// Two hex digits at p as a byte; false when either is not a hex digit.
inline bool HexByte(const char* p, uint8_t& out) {
    const uint8_t hi = kHexDigit[static_cast<unsigned char>(p[0])];
    const uint8_t lo = kHexDigit[static_cast<unsigned char>(p[1])];
    if ((hi | lo) & 0xF0)
        return false;
    out = static_cast<uint8_t>((hi << 4) | lo);
    return true;
}

int32_t Refuse(HexLoadState& st, ImageError e, uint32_t address = 0) {
    st.Error = e;
    st.ErrorLine = st.LineNo;
    st.ErrorAddress = address;
    return 0;
}

} // namespace

int32_t ParseHexLine(HexLoadState& st, uint8_t* image, const char* line, size_t len) {
    ++st.LineNo;
    // A byte order mark before the first record would hide it: that record is often the reset
    // vector, and losing it silently would send a board firmware that cannot start.
    if (st.LineNo == 1 && len >= 3 && std::memcmp(line, "\xEF\xBB\xBF", 3) == 0) {
        line += 3;
        len -= 3;
    }
    if (len == 0 || line[0] != ':')
        return 0;
    if (st.Error != ImageError::None)
        return 0; // the load is already refused; nothing more is stored

    uint8_t count = 0;
    if (len < 3 || !HexByte(line + 1, count))
        return Refuse(st, ImageError::Damaged);
    const size_t need = 11 + 2 * static_cast<size_t>(count);
    if (len < need)
        return Refuse(st, ImageError::Damaged);

    uint8_t addrHi = 0, addrLo = 0, type = 0, sum = 0;
    if (!HexByte(line + 3, addrHi) || !HexByte(line + 5, addrLo) || !HexByte(line + 7, type) ||
        !HexByte(line + 9 + 2 * count, sum))
        return Refuse(st, ImageError::Damaged);

    // Decode the data first: a record is stored whole or not at all.
    uint8_t data[255];
    unsigned total = count + addrHi + addrLo + type + sum;
    for (unsigned i = 0; i < count; ++i) {
        if (!HexByte(line + 9 + 2 * i, data[i]))
            return Refuse(st, ImageError::Damaged);
        total += data[i];
    }
    const bool sumOk = (total & 0xFF) == 0;

    switch (type) {
    case 0x00:
        break;
    case 0x01: // end of file: a file joined after this one starts from address 0 again
        st.Base = 0;
        if (!sumOk)
            ++st.BadSums;
        return 0;
    case 0x02:
    case 0x04:
        if (count != 2)
            return Refuse(st, ImageError::Damaged);
        st.Base = ((static_cast<uint32_t>(data[0]) << 8) | data[1]) << (type == 0x02 ? 4 : 16);
        if (!sumOk)
            ++st.BadSums;
        return 0;
    case 0x03:
    case 0x05: // start address: nothing for a boot loader to write
        if (!sumOk)
            ++st.BadSums;
        return 0;
    default:
        return Refuse(st, ImageError::UnknownRecord);
    }

    if (!sumOk)
        ++st.BadSums;
    if (count == 0)
        return 0;
    const uint64_t first = static_cast<uint64_t>(st.Base) + ((addrHi << 8) | addrLo);
    const uint64_t last = first + count - 1;
    if (last >= static_cast<uint64_t>(kImageSize) && first < kSkipFrom)
        return Refuse(st, ImageError::PastImage,
                      static_cast<uint32_t>(first < static_cast<uint64_t>(kImageSize)
                                                ? static_cast<uint64_t>(kImageSize)
                                                : first));
    if (first >= kSkipFrom) {
        st.SkippedBytes += count;
        return 0;
    }
    std::memcpy(image + first, data, count);
    const auto end = static_cast<int32_t>(last);
    if (end > st.End)
        st.End = end;
    return end;
}

HexImageLoad::HexImageLoad(HexLoadState& st, uint8_t* image) : st_(st), image_(image) {
    std::memset(image_, 0xFF, kImageSize);
}

void HexImageLoad::Feed(const char* data, size_t n) {
    cutter_.Feed(data, n, [this](const char* p, size_t len) { ParseHexLine(st_, image_, p, len); });
}

int32_t HexImageLoad::Finish() {
    cutter_.Finish([this](const char* p, size_t len) { ParseHexLine(st_, image_, p, len); });
    if (st_.Error != ImageError::None) {
        std::memset(image_, 0xFF, kImageSize);
        return 0;
    }
    return st_.End;
}

int32_t LoadHexText(HexLoadState& st, uint8_t* image, const char* text, size_t len) {
    HexImageLoad load(st, image);
    load.Feed(text, len);
    return load.Finish();
}
