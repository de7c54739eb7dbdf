// Arithmetic and texts of the download engine that need no window: page planning, the folded
// page progress, rate codes, time stamps and the engine's own error lines.
#pragma once

#include "engine/ProductionRecord.h"
#include "link/Frames.h"

#include <QString>
#include <QStringList>

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

// Why a Start ended without a board written. Each names one log line of the window; the
// engine's failures travel as EngineFailure values and are worded in one place below.
enum class EngineError {
    None,
    ImageTooSmall,    // "파일오류 : 서버작업 취소": no image of 100 bytes or more to send
    PortFault,        // "통신포트오류:" + port: the port would not open, or went away
    NetFail,          // "네트워크 연결이 불안정합니다.": no model image to be had
    ListUnreachable,  // the image list's server does not answer (zubload before its first board)
    ListNotFetched,   // the server answered, but no image list came (a message box)
    IdTimeout,        // no identification within 300 ticks
    PageOverCount,    // a page sent four times without acknowledgement
    PageNoResponse,   // 301 ticks without a page answer
    NoAnswer,         // zubload's --timeout ran out before the board identified itself
    VerifyDiffered,   // the board's check CRC is not the image's
    VerifyNoResponse, // no answer to the check request
    PageSizeUnknown,  // the identification names no page size: pages cannot be cut
    ImageTooLarge,    // the image reaches past the identified flash
    NoPageAtStart,    // the board takes pages from 64 on, the image ends below that
    ProtocolNoRow,    // the protocol box holds no row (settings gave -1 or 99)
    RateNoRow,        // the rate box holds no row
    ModelNoRow,       // no model row selected, or typed text that matches no row
    ModelNoFile,      // the row has no image file behind it (beyond the catalogue, or empty)
    ModelUnsafeName,  // the image list names something that is not one plain file name
};

// One failure of a Start, as a value: the error, what its line names, what it was due to and
// why in words (the record's reason, the JSON "reason", zubload's standard error).
struct EngineFailure {
    EngineFailure() = default;
    EngineFailure(EngineError error, FailureKind kind, const QString& reason = QString())
        : Error(error), Kind(kind), Reason(reason) {}

    EngineError Error = EngineError::None;
    FailureKind Kind = FailureKind::None;
    QString Reason;
    int64_t Number = 0; // the page, row, index, page size code, image bytes, ms or board CRC
    int64_t Limit = 0;  // the flash size, the first page the board takes, or the image's CRC
    QString Name;       // the port or the file name the line names
    // NetFail: a model image was refused, and the reason stands before the line as its cause.
    bool Refused = false;
};

// The failure's own line, as the window logs it (and the record's detail).
QString FailureLineText(const EngineFailure& failure);
// What follows "[Error] " in a line that is its own reason; empty for the lines that are not.
QString FailureBodyText(const EngineFailure& failure);
// Every line the window logs for the failure, in order: its line alone, or with the reason on a
// line of its own where the line names no cause (the port, an image load, the network).
QStringList FailureLogLines(const EngineFailure& failure);
// The part of a Start that failed, for the record and zubload's exit status.
RecordFailure FailureStage(EngineError error);

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

QString RateWarningText(int32_t requested, int32_t actual);
