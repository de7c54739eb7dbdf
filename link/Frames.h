// Wire bytes of the boot-loader protocol and the chip code tables. Pure functions over fixed
// buffers: no allocation per frame.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// The identified chip. Field order as the protocol's record keeps it: flash, page, boot, EEPROM.
struct _CPU {
    uint8_t Signature = 0;
    QString Name;
    int32_t FlashSize = 0;
    int32_t PageSize = 0;
    int32_t BootSize = 0;
    int32_t EepromSize = 0;
};

QString ChipNameFromCode(uint8_t code);
int32_t FlashSizeFromCode(uint8_t code);
int32_t BootSizeFromCode(uint8_t code);
int32_t PageSizeFromCode(uint8_t code);
int32_t EepromSizeFromCode(uint8_t code);
_CPU DecodeIdReply(const uint8_t* reply); // the first five bytes of the reply

// ---- Byte values ---------------------------------------------------------------------------
namespace Wire {
constexpr uint8_t Stx = 0x02;
constexpr uint8_t Etx = 0x03;
constexpr uint8_t Ready = 0x3E;
constexpr uint8_t Go = 0x3C;
constexpr uint8_t Ack = 0x21;
constexpr uint8_t Resend = 0x40;
constexpr uint8_t Erased = 0xFF;
constexpr uint8_t WakeWord[3] = {'Z', 'U', 'B'};
constexpr uint8_t EndFrame[2] = {0xFF, 0xFF};

constexpr int CommandFrameSize = 6;
constexpr int ModeSwitchFrameSize = 7;
constexpr int IdReplySize = 5;
constexpr int PageFrameBufferSize = 1024;
// Two index bytes and the sum around the data.
constexpr int PageFrameOverhead = 3;
constexpr int MaxPageSize = PageFrameBufferSize - PageFrameOverhead;
constexpr int MaxPageIndex = 0xFFFF;
} // namespace Wire

enum class FrameError {
    None,
    BadPageSize,  // not 1..1021: no frame can carry it
    BadPageIndex, // negative, or past what two index bytes can name
    BadProtocol,  // a mode-switch frame exists only for ZUB16T1 (1) and ZUB16T2 (2)
};

// ---- Frame builders: fill the caller's buffer, return the frame length (0 on error) ---------
// Checksum: low 8 bits of 0x02 + a + b + c.
int BuildCommandFrame(uint8_t a, uint8_t b, uint8_t c, uint8_t (&out)[Wire::CommandFrameSize]);
int BuildModeSwitchFrame(int protocol, uint8_t (&out)[Wire::ModeSwitchFrameSize],
                         FrameError* error = nullptr);

// A page frame cut from the page image: index high, index low, pageSize data bytes, the 8-bit
// sum of the data bytes alone. Bytes of the page that lie past imageSize read as erased.
// *blank tells whether every data byte was 0xFF.
struct PageFrame {
    int Length = 0; // pageSize + 3, or 0 on error
    bool Blank = false;
    uint8_t Sum = 0;
    FrameError Error = FrameError::None;
};
PageFrame BuildPageFrame(const uint8_t* image, size_t imageSize, int32_t pageSize,
                         int32_t pageIndex, uint8_t (&out)[Wire::PageFrameBufferSize]);

// ---- Replies as found in the receive buffer ---------------------------------------------------
// Ready: the last byte received is 0x3E; anything before it is noise.
bool IsReadyReply(const uint8_t* buffer, int32_t count);
// The identification is there once five bytes have arrived.
bool IsIdReply(int32_t count);

enum class PageAnswer { None, Ack, Resend };
// Only the first byte counts: 0x21 accepted, 0x40 send again, anything else no answer yet.
PageAnswer PageAnswerOf(const uint8_t* buffer, int32_t count);

// ---- The check request: what a loader of ours holds of the image, asked after the last page ----
// Sent only when asked for (zubload --verify): a page frame of index FF FE, every data byte 0x00,
// sum 0x00. A loader without it answers resend, as for any page beyond its flash; ours answer
// acknowledge and the big-endian CRC-32 of the pages it wrote in this session.
namespace Wire {
constexpr int32_t CheckIndex = 0xFFFE;
constexpr int CheckAnswerSize = 5;
constexpr int32_t PicFirstPage = 64; // the PIC18F46K80's application starts at page 64
} // namespace Wire
int BuildCheckFrame(int32_t pageSize, uint8_t (&out)[Wire::PageFrameBufferSize]);

enum class CheckAnswerKind { None, Crc, CannotCheck };
struct CheckAnswer {
    CheckAnswerKind Kind = CheckAnswerKind::None;
    uint32_t Crc = 0;
};
// Acknowledge with its four CRC bytes, or resend; anything else (or too few bytes) is no answer.
CheckAnswer CheckAnswerOf(const uint8_t* buffer, int32_t count);

// zlib's CRC-32 (reflected 0xEDB88320, pre- and post-inverted): Crc32(0, ...) starts one, and
// feeding the result back in goes on with more bytes.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);

// The CRC a loader of ours answers after this download: the pages from firstPage up to
// pageCount - 1 that were sent (blank ones left out when skipBlank) and lie in the chip's
// application area (AVR: below flash - boot; PIC18F46K80: from page 64 on), ascending. Page bytes
// past imageSize read as erased.
uint32_t ImageCheckCrc(const uint8_t* image, size_t imageSize, const _CPU& device,
                       int32_t firstPage, int32_t pageCount, bool skipBlank);
