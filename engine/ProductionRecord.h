// The production record: one CSV row per Start that ended, kept per month in the start
// directory, so a line can tell afterwards which image went into which board and how it went.
#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>

// How a Start ended: the record's "result" column.
enum class RecordResult { Ok, Failed, Stopped };

// Which part of a Start failed, for callers that map the end to an exit status.
enum class RecordFailure { None, Image, Port, Download };

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
    RecordFailure Failure = RecordFailure::None;
};
