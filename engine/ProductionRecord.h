// The production record: one CSV row per Start that ended, kept per month in the start
// directory, so a line can tell afterwards which image went into which board and how it went.
#pragma once

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>

// How a Start ended: the record's "result" column.
enum class RecordResult { Ok, Failed, Stopped };

// Which part of a Start failed, for callers that map the end to an exit status.
enum class RecordFailure { None, Image, Port, Download };

// What a failure was due to, for a jig that acts on it: the JSON result's "kind"
// (image, network, port, board, interrupted).
enum class FailureKind { None, Image, Network, Port, Board, Interrupted };

// One row of the record; the column of each member is named beside it.
struct DownloadRecord {
    QDateTime Started;        // started
    QDateTime Ended;          // ended
    QString Station;          // station: host name
    QString Program;          // program: name and version
    QString Port;             // port: as the operator gave it
    QString Device;           // device: resolved path and USB serial number when known
    QString Source;           // source: "file" or "model"
    QString Model;            // model: the row text, empty for a file
    QString Image;            // image: the file path or model image name
    int64_t ImageBytes = 0;   // image_bytes: ImageEnd + 1
    QString ImageSha256;      // image_sha256: of bytes 0..ImageEnd as sent
    QString Protocol;         // protocol: NORMAL, ZUB16T1 or ZUB16T2
    int32_t Baud = 0;         // baud: bit/s the download ran at
    QString Chip;             // chip: "Mega32 0x45", empty before identification
    int32_t PagesSent = 0;    // pages_sent
    int32_t PagesSkipped = 0; // pages_skipped: blank pages passed over
    int32_t Resends = 0;      // resends: pages sent again on request
    RecordResult Result = RecordResult::Ok; // result (seconds come from Started and Ended)
    QString Detail;                         // detail: the failure line as logged
    QString Id;         // id: a random UUID, so rows gathered from many stations are told apart
    QString Serial;     // serial: the board's serial number, when the station was given one
    QString Order;      // order: the work order or lot
    QString ListSha256; // list_sha256: of the "hexlist.txt" a model came from; empty for a file
    // write_seconds: from the board's ready answer to the end; invalid before it answered.
    QDateTime ReadyAt;
    // verified: the board's check of what it holds matched the image (empty: not asked, or the
    // board's loader cannot tell).
    enum class Verification { NotAsked, Matched, Differed } Verified = Verification::NotAsked;
    RecordFailure Failure = RecordFailure::None;
    // Why it failed, in English (the record's detail carries it after the failure line).
    FailureKind Kind = FailureKind::None;
    QString Reason;
    // Whether the row reached the record file, and the warning's reason when it did not.
    bool RowWritten = false;
    QString RowError;
};

// How a column's value is written: text as it is (JSON: a string, null when empty), a count
// (always a number), an amount that is empty in the CSV and null in JSON when it is 0 (nothing
// was loaded), seconds with three decimals (empty and null when there are none), or a truth value
// (true/false; empty and null when unknown).
enum class RecordValueType { Text, Count, Amount, Seconds, Flag };

// One column of the record, in file order: the CSV writer and zubload's JSON result walk the same
// list, so a column is named and valued in one place.
struct RecordColumn {
    const char* Name;
    RecordValueType Type;
    QString (*Value)(const DownloadRecord& record); // numbers as decimal text
};
constexpr int kRecordColumnCount = 26;
extern const std::array<RecordColumn, kRecordColumnCount> kRecordColumns;

// Why a row could not be added; the reason text names the file and the system's own words.
enum class RecordError { None, Open, NotAFile, Link, Lock, Write, Sync };

struct RecordWrite {
    RecordError Error = RecordError::None;
    int SystemError = 0; // errno of the failed call
};

// "ZubLoader <version>": the program column, from the project version.
QString RecordProgramText();
// The month's file in `dir`, by local time: dir/downloads-YYYY-MM.csv.
QString RecordFilePath(const QString& dir, const QDateTime& when);
// One field as RFC 4180 writes it: quoted only when it holds a quote, comma, CR or LF. A field
// that begins with =, +, -, @, tab or CR gets a leading apostrophe so no spreadsheet runs it.
QString CsvField(const QString& text);
QByteArray RecordHeaderRow();                       // column names, CR LF
QByteArray RecordRow(const DownloadRecord& record); // UTF-8, CR LF
QString RecordTimeText(const QDateTime& when);      // 2026-12-07T18:04:05.123+01:00
QString RecordResultText(RecordResult result);      // ok, failed, stopped
QString FailureKindText(FailureKind kind);          // image, network, ...; empty for None
// The detail column: the failure line, then ": " and the reason when there is one.
QString RecordDetailText(const DownloadRecord& record);
// Lower-case hex SHA-256 of `size` bytes; empty when size is 0 or less.
QString ImageSha256(const uint8_t* image, int64_t size);
// Appends the row with one write under an exclusive lock, then flushes it to disk. A file that is
// new or empty gets the byte order mark and the header row in the same write. A symbolic link,
// folder, FIFO or device in the file's place is refused, never written through.
RecordWrite AppendRecordRow(const QString& path, const QByteArray& row);
// The reason of the warning line "[Warning] Production record not written: <reason>".
QString RecordErrorText(const RecordWrite& write, const QString& path);
