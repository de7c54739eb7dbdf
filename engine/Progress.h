// Arithmetic and texts of the download engine that need no window: page planning, the folded
// page progress, rate codes, time stamps and the engine's own error lines.
#pragma once

#include "link/Frames.h"

#include <QString>

#include <cstdint>

// The engine's step numbers. The numbers are what DownloadState holds; gaps are deliberate.
namespace DownloadStep {
enum : int32_t {
    Idle = 0,
    WaitNext = 10,
    Begin = 20,
    LoadImage = 21,
    CheckImage = 22,
    OpenLink = 23,
    NetFail = 25,
    ResetTarget = 100,
    SendWake = 101,
    WaitReady = 102,
    WaitId = 110,
    SendPage = 111,
    WaitAck = 112,
    Finish = 113,
    Release = 114,
    // Only when the owner asks for the board's check (CheckAfterPages): between the last page
    // and Finish.
    SendCheck = 120,
    WaitCheck = 121,
};
} // namespace DownloadStep

// Why a download ended before its first page, or was refused before the port was touched.
enum class EngineError {
    None,
    PageSizeUnknown, // the identification names no page size: pages cannot be cut
    ImageTooLarge,   // the image reaches past the identified flash
    NoPageAtStart,   // the board takes pages from 64 on, the image ends below that
    ProtocolNoRow,   // the protocol box holds no row (settings gave -1 or 99)
    RateNoRow,       // the rate box holds no row
    ModelNoRow,      // no model row selected, or typed text that matches no row
    ModelNoFile,     // the row has no image file behind it (beyond the catalogue, or empty)
    ModelUnsafeName, // the image list names something that is not one plain file name
};

// True when the line runs further from the request than a UART's own tolerance (2 %).
bool RateMismatch(int32_t requested, int32_t actual);

// Pages needed to cover byte addresses 0..imageEnd; 0 when the page size is unusable.
int32_t PageCountOf(int32_t imageEnd, int32_t pageSize);
int32_t FirstPageOf(uint8_t signature); // the Pic18F46K80's boot loader takes pages from 64
int32_t ProgressMaxOf(int32_t pageCount);
// The bar fills once over the first half of the pages and again over the second half.
int32_t ProgressValueOf(int32_t pageNumber, int32_t progressMax);

// The checks between identification and the first page.
struct DownloadPlan {
    EngineError Error = EngineError::None;
    int32_t PageCount = 0;
    int32_t FirstPage = 0;
};
DownloadPlan PlanDownload(int32_t imageEnd, const _CPU& device);

QString StampText(int hour, int minute, int second); // "hh:mm:ss"
QString FlashSizeText(int32_t bytes);                // "128k"
// A name from outside shown in one log line: control characters become "?".
QString PrintableName(const QString& name);

// The log line of an engine error; the arguments fill in what the line names (pageCode: byte 3
// of the identification).
QString PlanErrorText(const DownloadPlan& plan, int32_t imageEnd, const _CPU& device,
                      uint8_t pageCode);
QString RateWarningText(int32_t requested, int32_t actual);
QString RowErrorText(EngineError error, int index, const QString& name = QString());
