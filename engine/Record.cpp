// The engine's side of the production record: what each Start did, written as one row when it
// ends, after the end frame or the failure, so the download itself never waits for the disk.
#include "engine/DownloadEngine.h"

#include "link/PortInfo.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QUuid>

void DownloadEngine::BeginRecord() {
    Record = DownloadRecord{};
    Failure = EngineFailure{};
    RecordOpen = true;
    RecordDevicePending = false;
    Record.Started = QDateTime::currentDateTime();
    Record.Id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    Record.Station = QSysInfo::machineHostName();
    Record.Program = RecordProgramText();
    Record.Port = Choices.PortName();
    if (Choices.LocalFile()) {
        Record.Source = QStringLiteral("file");
        const QString name = Choices.FileName();
        if (!name.isEmpty())
            Record.Image = QDir::cleanPath(QDir(StartDir).absoluteFilePath(name));
    } else {
        Record.Source = QStringLiteral("model");
        const int row = Choices.ModelRow();
        if (row >= 0) {
            Record.Model = Choices.ModelName(row);
            if (row < static_cast<int>(ModelFiles.size()))
                Record.Image = ModelFiles[static_cast<size_t>(row)];
        }
    }
}

void DownloadEngine::RecordImage() {
    if (ImageEnd <= 0)
        return;
    Record.ImageBytes = int64_t{ImageEnd} + 1;
    Record.ImageSha256 = ImageSha256(FirmwareImage.data(), Record.ImageBytes);
}

void DownloadEngine::RecordDevice() {
    RecordDevicePending = false;
    Record.Device = DeviceColumnText(DescribeDevice(Choices.PortName()));
}

void DownloadEngine::FailDownload(const EngineFailure& failure) {
    DownloadState = DownloadStep::Idle;
    for (const QString& line : FailureLogLines(failure))
        AddLog(line);
    EndRecord(RecordResult::Failed, failure);
}

void DownloadEngine::FailPort() {
    EngineFailure f{EngineError::PortFault, FailureKind::Port, PortFaultReasonText()};
    f.Name = Choices.PortName();
    PortOpened = false;
    if (f.Reason.isEmpty()) {
        // Nothing to add to the line on screen; the record still says what happened.
        DownloadState = DownloadStep::Idle;
        AddLog(FailureLineText(f));
        f.Reason = QStringLiteral("the port could not be used");
        EndRecord(RecordResult::Failed, f);
        return;
    }
    FailDownload(f);
}

void DownloadEngine::FailBoard(const EngineFailure& failure) {
    for (const QString& line : FailureLogLines(failure))
        AddLog(line);
    EndRecord(RecordResult::Failed, failure);
    BtnStopClick(); // the port closed at once, as Stop does
}

void DownloadEngine::FailBeforeStart(const EngineFailure& failure, const QDateTime& began,
                                     const QString& model) {
    StopRecord();
    BeginRecord();
    Record.Started = began;
    // Without a list the boxes hold no model of the server's: the row names the one asked for.
    Record.Model = model;
    Record.Image.clear();
    if (failure.Error == EngineError::None) {
        EndRecord(RecordResult::Stopped, failure);
        return;
    }
    // The unreachable server's line is the start-up's own, logged when the fetch gave up.
    if (failure.Error == EngineError::ListNotFetched)
        ShowMessage(FailureLineText(failure));
    EndRecord(RecordResult::Failed, failure);
}

void DownloadEngine::StopRecord() {
    if (RecordOpen)
        EndRecord(RecordResult::Stopped, {EngineError::None, FailureKind::Interrupted,
                                          QStringLiteral("Stopped by the operator")});
}

void DownloadEngine::EndRecord(RecordResult result, const EngineFailure& failure) {
    if (!RecordOpen)
        return;
    if (RecordDevicePending)
        RecordDevice();
    RecordOpen = false;
    Failure = result == RecordResult::Failed ? failure : EngineFailure{};
    Record.Ended = QDateTime::currentDateTime();
    Record.Result = result;
    Record.Failure = FailureStage(failure.Error);
    Record.Detail = FailureLineText(failure);
    Record.Kind = failure.Kind;
    Record.Reason = failure.Reason;
    const QString path = RecordFilePath(StartDir, Record.Ended);
    const RecordWrite write = AppendRecordRow(path, RecordRow(Record));
    Record.RowWritten = write.Error == RecordError::None;
    Record.RowError = Record.RowWritten ? QString() : RecordErrorText(write, path);
    if (!Record.RowWritten)
        AddLog(QStringLiteral("[Warning] Production record not written: ") + Record.RowError);
    Q_EMIT RecordEnded(Record);
}
