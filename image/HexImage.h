// Intel HEX text into the flat page image: record parsing, the extended address state, and a
// line cutter for text that arrives in pieces. No Qt widgets, no files: the window's loader and
// the tools feed bytes in.
#pragma once

#include <cstddef>
#include <cstdint>

// The page image holds the device's program memory from address 0; a download can send no more.
constexpr int32_t kImageSize = 0x20000;
// From here on a HEX file addresses memories that page frames never write: PIC18 ID locations,
// configuration words and data EEPROM, AVR EEPROM, fuse and lock sections. Such data is skipped.
constexpr uint32_t kSkipFrom = 0x200000;
// The longest record: ":" count(2) address(4) type(2) 255 data bytes(510) sum(2).
constexpr size_t kHexRecordMax = 1 + 2 + 4 + 2 + 2 * 255 + 2;

// Errors of the firmware image subsystem.
enum class ImageError : uint8_t {
    None,
    Damaged,       // a record cut short, or count, address, type, data or sum not hexadecimal
    PastImage,     // data between the image end and kSkipFrom: more program memory than we send
    UnknownRecord, // a record type that Intel HEX does not define
    // Refusals of the file around the text (set by ReadFirmwareFile, never by a line):
    Missing,    // no file of that name
    NotOpened,  // a folder, a FIFO, a device, or no permission to read
    ReadFailed, // the system reported a read error
    TooLarge,   // more bytes than kMaxFirmwareFileBytes: no firmware file is that large
};

// Everything a load carries from one line to the next. Zero-initialised = start of a file.
struct HexLoadState {
    uint32_t Base = 0;        // set by types 02 (segment << 4) and 04 (linear << 16); 01 clears it
    int32_t End = 0;          // highest address stored so far
    int32_t LineNo = 0;       // lines seen, 1-based number of the line being parsed
    int64_t SkippedBytes = 0; // data bytes at or above kSkipFrom, not stored
    int32_t BadSums = 0;      // records stored although their checksum is wrong
    ImageError Error = ImageError::None;
    int32_t ErrorLine = 0;     // line of the first error
    uint32_t ErrorAddress = 0; // for PastImage: the first address that does not fit
};

// Parses one line (its line end already removed) into image, which holds kImageSize bytes.
// Lines not starting with ":" are ignored. A damaged or refused record stores nothing and sets
// st.Error (the first error is kept). Returns the last address this line stored, or 0.
int32_t ParseHexLine(HexLoadState& st, uint8_t* image, const char* line, size_t len);

// Cuts a byte stream into lines: LF, CR LF and a lone CR each end a line. Only the first
// kHexRecordMax bytes of a line (and a byte order mark) are kept; the rest of an over-long line
// is dropped, as no record reaches past them. Calls onLine(const char*, size_t) once per line,
// the last one unterminated included (on Finish).
class HexLineCutter {
public:
    template <typename F> void Feed(const char* data, size_t n, F&& onLine) {
        for (size_t i = 0; i < n; ++i) {
            const char c = data[i];
            if (c == '\n' && afterCr_) {
                afterCr_ = false;
                continue;
            }
            afterCr_ = (c == '\r');
            if (c == '\n' || c == '\r') {
                onLine(buf_, len_);
                len_ = 0;
                open_ = false;
                continue;
            }
            open_ = true;
            if (len_ < sizeof buf_)
                buf_[len_++] = c;
        }
    }
    template <typename F> void Finish(F&& onLine) {
        if (open_)
            onLine(buf_, len_);
        len_ = 0;
        open_ = false;
        afterCr_ = false;
    }

private:
    char buf_[kHexRecordMax + 3]; // room for a byte order mark before the first record
    size_t len_ = 0;
    bool open_ = false; // a line has begun and not ended yet
    bool afterCr_ = false;
};

// One load of HEX text that arrives in pieces: erases image, then cuts and parses what Feed
// gets. Finish returns the highest address stored, or 0 when st.Error says the load is refused
// (the image is then all 0xFF again, so nothing partial can be sent).
class HexImageLoad {
public:
    HexImageLoad(HexLoadState& st, uint8_t* image);
    void Feed(const char* data, size_t n);
    int32_t Finish();

private:
    HexLoadState& st_;
    uint8_t* image_;
    HexLineCutter cutter_;
};

// A whole HEX text in one piece, as HexImageLoad loads it.
int32_t LoadHexText(HexLoadState& st, uint8_t* image, const char* text, size_t len);
