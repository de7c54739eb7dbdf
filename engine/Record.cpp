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

void DownloadEngine::FailDownload(RecordFailure failure, const QString& line, FailureKind kind,
                                  const QString& reason) {
    AddLog(line);
    // A line that is already "[Error] <reason>" says it once.
    const QString reasonLine = QStringLiteral("[Error] ") + reason;
    if (!reason.isEmpty() && reasonLine != line)
        AddLog(reasonLine);
    EndRecord(RecordResult::Failed, failure, line, kind, reason);
}

void DownloadEngine::FailPort() {
    const QString line = QStringLiteral("통신포트오류:") + Choices.PortName();
    AddLog(line);
    QString reason = AddPortFaultReason();
    if (reason.startsWith(QLatin1String("[Error] ")))
        reason.remove(0, 8);
    if (reason.isEmpty())
        reason = QStringLiteral("the port could not be used");
    EndRecord(RecordResult::Failed, RecordFailure::Port, line, FailureKind::Port, reason);
}

void DownloadEngine::StopRecord() {
    if (RecordOpen)
        EndRecord(RecordResult::Stopped, RecordFailure::None, QString(), FailureKind::Interrupted,
                  QStringLiteral("Stopped by the operator"));
}

void DownloadEngine::EndRecord(RecordResult result, RecordFailure failure, const QString& detail,
                               FailureKind kind, const QString& reason) {
    if (!RecordOpen)
        return;
    if (RecordDevicePending)
        RecordDevice();
    RecordOpen = false;
    Record.Ended = QDateTime::currentDateTime();
    Record.Result = result;
    Record.Failure = failure;
    Record.Detail = detail;
    Record.Kind = kind;
    Record.Reason = reason;
    const QString path = RecordFilePath(StartDir, Record.Ended);
    const RecordWrite write = AppendRecordRow(path, RecordRow(Record));
    Record.RowWritten = write.Error == RecordError::None;
    Record.RowError = Record.RowWritten ? QString() : RecordErrorText(write, path);
    if (!Record.RowWritten)
        AddLog(QStringLiteral("[Warning] Production record not written: ") + Record.RowError);
    Q_EMIT RecordEnded(Record);
}
