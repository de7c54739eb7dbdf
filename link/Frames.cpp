#include "link/Frames.h"

#include <algorithm>
#include <array>

namespace {

struct ChipCode {
    uint8_t Code;
    const char* Name;
};

struct SizeCode {
    uint8_t Code;
    int32_t Size;
};

constexpr ChipCode kChipNames[] = {
    {0x41, "Mega8"},    {0x42, "Mega16"},   {0x43, "Mega64"},      {0x44, "Mega128"},
    {0x45, "Mega32"},   {0x46, "Mega162"},  {0x47, "Mega169"},     {0x48, "Mega8515"},
    {0x49, "Mega8535"}, {0x4A, "Mega163"},  {0x4B, "Mega323"},     {0x4C, "Mega48"},
    {0x4D, "Mega88"},   {0x4E, "Mega168"},  {0xE0, "Pic18F46K80"}, {0x80, "Mega165"},
    {0x81, "Mega3250"}, {0x82, "Mega6450"}, {0x83, "Mega3290"},    {0x84, "Mega6490"},
    {0x85, "Mega406"},  {0x86, "Mega640"},  {0x87, "Mega1280"},    {0x88, "Mega2560"},
    {0x89, "MCAN128"},  {0x8A, "Mega164"},  {0x8B, "Mega328"},     {0x8C, "Mega324"},
    {0x8D, "Mega325"},  {0x8E, "Mega644"},  {0x8F, "Mega645"},     {0x90, "Mega1281"},
    {0x91, "Mega2561"}, {0x92, "Mega404"},  {0x93, "MUSB1286"},    {0x94, "MUSB1287"},
    {0x95, "MUSB162"},  {0x96, "MUSB646"},  {0x97, "MUSB647"},     {0x98, "MUSB82"},
    {0x9A, "MCAN32"},   {0x9B, "MCAN64"},   {0x9C, "Mega329"},     {0x9D, "Mega649"},
    {0x9E, "Mega256"},
};

constexpr SizeCode kFlashSizes[] = {
    {'g', 1 * 1024},  {'h', 2 * 1024},  {'i', 4 * 1024},   {'l', 8 * 1024},  {'m', 16 * 1024},
    {'n', 32 * 1024}, {'o', 64 * 1024}, {'p', 128 * 1024}, {'r', 40 * 1024},
};

constexpr SizeCode kBootSizes[] = {
    {'a', 128}, {'b', 256}, {'c', 512}, {'d', 1024}, {'e', 2048}, {'f', 4096},
};

constexpr SizeCode kPageSizes[] = {
    {'Q', 32}, {'R', 64}, {'S', 128}, {'T', 256}, {'V', 512},
};

constexpr SizeCode kEepromSizes[] = {
    {'.', 64}, {'/', 128}, {'0', 256}, {'1', 512}, {'2', 1024}, {'3', 2048}, {'4', 4096},
};

// Every frame must fit the one buffer a page frame is cut into.
static_assert(Wire::MaxPageSize == 1021, "page frames are cut into a 1024-byte buffer");

template <size_t N> constexpr int32_t SizeOf(const SizeCode (&table)[N], uint8_t code) {
    for (const SizeCode& e : table)
        if (e.Code == code)
            return e.Size;
    return 0;
}

constexpr uint8_t ModeSwitchId(int protocol) {
    return static_cast<uint8_t>(protocol);
}

} // namespace

QString ChipNameFromCode(uint8_t code) {
    for (const ChipCode& e : kChipNames)
        if (e.Code == code)
            return QString::fromLatin1(e.Name);
    return QStringLiteral("UnKnown");
}

int32_t FlashSizeFromCode(uint8_t code) {
    return SizeOf(kFlashSizes, code);
}
int32_t BootSizeFromCode(uint8_t code) {
    return SizeOf(kBootSizes, code);
}
int32_t PageSizeFromCode(uint8_t code) {
    return SizeOf(kPageSizes, code);
}
int32_t EepromSizeFromCode(uint8_t code) {
    return SizeOf(kEepromSizes, code);
}

_CPU DecodeIdReply(const uint8_t* reply) {
    _CPU cpu;
    cpu.Signature = reply[0];
    cpu.Name = ChipNameFromCode(reply[0]);
    cpu.FlashSize = FlashSizeFromCode(reply[1]);
    cpu.BootSize = BootSizeFromCode(reply[2]);
    cpu.PageSize = PageSizeFromCode(reply[3]);
    cpu.EepromSize = EepromSizeFromCode(reply[4]);
    return cpu;
}

int BuildCommandFrame(uint8_t a, uint8_t b, uint8_t c, uint8_t (&out)[Wire::CommandFrameSize]) {
    out[0] = Wire::Stx;
    out[1] = a;
    out[2] = b;
    out[3] = c;
    out[4] = static_cast<uint8_t>(Wire::Stx + a + b + c);
    out[5] = Wire::Etx;
    return Wire::CommandFrameSize;
}

// 02 03 FE p 00 sum 03: the same sum rule as the command frame, over bytes 0 to 4.
int BuildModeSwitchFrame(int protocol, uint8_t (&out)[Wire::ModeSwitchFrameSize],
                         FrameError* error) {
    if (protocol != 1 && protocol != 2) {
        if (error)
            *error = FrameError::BadProtocol;
        return 0;
    }
    out[0] = Wire::Stx;
    out[1] = 0x03;
    out[2] = 0xFE;
    out[3] = ModeSwitchId(protocol);
    out[4] = 0x00;
    out[5] = static_cast<uint8_t>(out[0] + out[1] + out[2] + out[3] + out[4]);
    out[6] = Wire::Etx;
    if (error)
        *error = FrameError::None;
    return Wire::ModeSwitchFrameSize;
}

PageFrame BuildPageFrame(const uint8_t* image, size_t imageSize, int32_t pageSize,
                         int32_t pageIndex, uint8_t (&out)[Wire::PageFrameBufferSize]) {
    PageFrame frame;
    if (pageSize <= 0 || pageSize > Wire::MaxPageSize) {
        frame.Error = FrameError::BadPageSize;
        return frame;
    }
    if (pageIndex < 0 || pageIndex > Wire::MaxPageIndex) {
        frame.Error = FrameError::BadPageIndex;
        return frame;
    }
    out[0] = static_cast<uint8_t>(pageIndex >> 8);
    out[1] = static_cast<uint8_t>(pageIndex);
    const size_t start = static_cast<size_t>(pageIndex) * static_cast<size_t>(pageSize);
    unsigned sum = 0;
    bool blank = true;
    for (int32_t i = 0; i < pageSize; ++i) {
        const size_t at = start + static_cast<size_t>(i);
        const uint8_t b = at < imageSize ? image[at] : Wire::Erased;
        out[2 + i] = b;
        sum += b;
        if (b != Wire::Erased)
            blank = false;
    }
    frame.Sum = static_cast<uint8_t>(sum);
    out[2 + pageSize] = frame.Sum;
    frame.Length = pageSize + Wire::PageFrameOverhead;
    frame.Blank = blank;
    return frame;
}

bool IsReadyReply(const uint8_t* buffer, int32_t count) {
    return count > 0 && buffer[count - 1] == Wire::Ready;
}

bool IsIdReply(int32_t count) {
    return count >= Wire::IdReplySize;
}

PageAnswer PageAnswerOf(const uint8_t* buffer, int32_t count) {
    if (count <= 0)
        return PageAnswer::None;
    if (buffer[0] == Wire::Ack)
        return PageAnswer::Ack;
    if (buffer[0] == Wire::Resend)
        return PageAnswer::Resend;
    return PageAnswer::None;
}

int BuildCheckFrame(int32_t pageSize, uint8_t (&out)[Wire::PageFrameBufferSize]) {
    if (pageSize <= 0 || pageSize > Wire::MaxPageSize)
        return 0;
    out[0] = static_cast<uint8_t>(Wire::CheckIndex >> 8);
    out[1] = static_cast<uint8_t>(Wire::CheckIndex & 0xFF);
    std::fill(out + 2, out + 2 + pageSize + 1, uint8_t{0});
    return pageSize + Wire::PageFrameOverhead;
}

CheckAnswer CheckAnswerOf(const uint8_t* buffer, int32_t count) {
    CheckAnswer answer;
    if (count <= 0)
        return answer;
    if (buffer[0] == Wire::Resend) {
        answer.Kind = CheckAnswerKind::CannotCheck;
    } else if (buffer[0] == Wire::Ack && count >= Wire::CheckAnswerSize) {
        answer.Kind = CheckAnswerKind::Crc;
        answer.Crc = uint32_t{buffer[1]} << 24 | uint32_t{buffer[2]} << 16 |
                     uint32_t{buffer[3]} << 8 | buffer[4];
    }
    return answer;
}

namespace {
constexpr std::array<uint32_t, 256> crcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = crcTable();
} // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t ImageCheckCrc(const uint8_t* image, size_t imageSize, const _CPU& device,
                       int32_t firstPage, int32_t pageCount, bool skipBlank) {
    const int32_t pageSize = device.PageSize;
    uint32_t crc = 0;
    if (pageSize <= 0 || pageSize > Wire::MaxPageSize)
        return crc;
    const bool pic = device.Signature == 0xE0;
    const int32_t appEnd = pic ? pageCount : (device.FlashSize - device.BootSize) / pageSize;
    const int32_t appStart = pic ? Wire::PicFirstPage : 0;
    uint8_t frame[Wire::PageFrameBufferSize];
    for (int32_t p = std::max(firstPage, appStart); p < std::min(pageCount, appEnd); ++p) {
        const PageFrame f = BuildPageFrame(image, imageSize, pageSize, p, frame);
        if (f.Length == 0 || (skipBlank && f.Blank))
            continue;
        crc = Crc32(crc, frame + 2, static_cast<size_t>(pageSize));
    }
    return crc;
}
