// The model branch of the engine: the chosen model's image from the start directory, or fetched
// from the update server when it is missing, with a size check and at most three loads a Start.
#include "engine/DownloadEngine.h"

#include "engine/Progress.h"
#include "image/HexMessages.h"
#include "image/ImageList.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

const QString kSeparator = QStringLiteral("------------------------------");
constexpr int32_t kAcceptAbove = 100;
constexpr int32_t kRetries = 2; // a third rejected load gives up

} // namespace

void DownloadEngine::LoadModelImage() {
    if (StepCounter == 0)
        ModelImageRefusal.clear();
    const int row = Choices.ModelRow();
    if (row < 0) {
        DownloadState = DownloadStep::Idle;
        FailDownload(RecordFailure::Image, RowErrorText(EngineError::ModelNoRow, row));
        return;
    }
    if (row >= static_cast<int>(ModelFiles.size()) ||
        ModelFiles[static_cast<size_t>(row)].isEmpty()) {
        DownloadState = DownloadStep::Idle;
        FailDownload(RecordFailure::Image, RowErrorText(EngineError::ModelNoFile, row));
        return;
    }
    const QString name = ModelFiles[static_cast<size_t>(row)];
    // The name comes from the server's list; the engine may delete the file it names.
    if (!IsSafeModelFileName(name)) {
        DownloadState = DownloadStep::Idle;
        FailDownload(RecordFailure::Image, RowErrorText(EngineError::ModelUnsafeName, row, name));
        return;
    }
    ModelImagePath = StartDir + QLatin1Char('/') + name;
    if (QFileInfo(ModelImagePath).isFile()) {
        LoadModelImageFile(name);
        AddLog(kSeparator);
        AddLog(QStringLiteral("Load File OK"));
        Q_EMIT FetchBarSet(true);
        DownloadState = DownloadStep::CheckImage;
        return;
    }
    Q_EMIT FetchBarSet(false);
    if (!Upd.CheckServer(Upd.BaseUrl)) {
        DownloadState = DownloadStep::NetFail;
        return;
    }
    Upd.DownloadFile(Upd.UpdateUrl, name);
    AddLog(kSeparator);
    AddLog(QStringLiteral("Load file from server...."));
    LoadModelImageFile(name);
    DownloadState = DownloadStep::CheckImage;
}

void DownloadEngine::LoadModelImageFile(const QString& name) {
    // Up to three loads a Start may be refused; the operator gets one box, at the first load, and
    // the log names the file and the last reason when the branch gives up.
    const FirmwareFileLoad load = LoadFirmwareFileReport(ModelImagePath, StepCounter == 0);
    ImageEnd = load.End;
    if (ImageEnd > kAcceptAbove)
        return;
    QString reason = HexRefusalReason(load.Hex);
    if (reason.isEmpty())
        reason = ImageEnd == 0
                     ? QStringLiteral("no data")
                     : QStringLiteral("image ends at address %1, too short").arg(ImageEnd);
    ModelImageRefusal =
        QStringLiteral("[Error] Model image %1 refused: %2").arg(PrintableName(name), reason);
}

void DownloadEngine::CheckImage() {
    if (ImageEnd > kAcceptAbove) {
        ServerImageAccepted = true;
        DownloadState = DownloadStep::OpenLink;
        return;
    }
    ImageEnd = 0;
    // The path of this Start's load, not of whatever row is selected now.
    if (!ModelImagePath.isEmpty())
        QFile::remove(ModelImagePath);
    ++StepCounter;
    if (StepCounter <= kRetries) {
        AddLog(QStringLiteral("Retry Times : ") + QString::number(StepCounter));
        RepaintLog();
        QThread::msleep(2000);
        DownloadState = DownloadStep::LoadImage;
    } else {
        DownloadState = DownloadStep::NetFail;
    }
    TmMainPro->start();
}

void DownloadEngine::NetFail() {
    if (!ModelImageRefusal.isEmpty())
        AddLog(ModelImageRefusal);
    DownloadState = DownloadStep::Idle;
    FailDownload(RecordFailure::Image, QStringLiteral("네트워크 연결이 불안정합니다."));
}
