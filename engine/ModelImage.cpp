// The model branch of the engine: the chosen model's image from the start directory, or fetched
// from the update server when it is missing, with a size check and at most three loads a Start.
#include "engine/DownloadEngine.h"

#include "engine/Progress.h"
#include "image/HexMessages.h"
#include "image/ImageList.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {

const QString kSeparator = QStringLiteral("------------------------------");
constexpr int32_t kAcceptAbove = 100;
constexpr int32_t kRetries = 2; // a third rejected load gives up

} // namespace

void DownloadEngine::LoadModelImage() {
    if (StepCounter == 0)
        ModelImageFailure = EngineFailure{EngineError::NetFail, FailureKind::Network};
    const auto refuse = [this](EngineError error, int row, const QString& name) {
        EngineFailure f{error, FailureKind::Image};
        f.Number = row;
        f.Name = name;
        f.Reason = FailureBodyText(f);
        FailDownload(f);
    };
    const int row = Choices.ModelRow();
    if (row < 0) {
        refuse(EngineError::ModelNoRow, row, QString());
        return;
    }
    if (row >= static_cast<int>(ModelFiles.size()) ||
        ModelFiles[static_cast<size_t>(row)].isEmpty()) {
        refuse(EngineError::ModelNoFile, row, QString());
        return;
    }
    const QString name = ModelFiles[static_cast<size_t>(row)];
    // The name comes from the server's list; the engine may delete the file it names.
    if (!IsSafeModelFileName(name)) {
        refuse(EngineError::ModelUnsafeName, row, name);
        return;
    }
    ModelImagePath = StartDir + QLatin1Char('/') + name;
    if (QFileInfo(ModelImagePath).isFile()) {
        LoadModelImageFile(name, false);
        AddLog(kSeparator);
        AddLog(QStringLiteral("Load File OK"));
        Q_EMIT FetchBarSet(true);
        DownloadState = DownloadStep::CheckImage;
        return;
    }
    Q_EMIT FetchBarSet(false);
    if (!Upd.CheckServer(Upd.BaseUrl)) {
        // The reason of this probe, not of a refusal of an earlier load.
        ModelImageFailure = EngineFailure{EngineError::NetFail, FailureKind::Network};
        ModelImageFailure.Reason = Upd.LastReason;
        if (Upd.Cancelled && Upd.Cancelled()) {
            StopModelFetch();
            return;
        }
        DownloadState = DownloadStep::NetFail;
        return;
    }
    Upd.DownloadFile(Upd.UpdateUrl, name);
    // A Stop the blocked event loop could not deliver: no load, no retry, no 2-second pause.
    if (Upd.LastError == UpdError::Cancelled) {
        StopModelFetch();
        return;
    }
    AddLog(kSeparator);
    AddLog(QStringLiteral("Load file from server...."));
    LoadModelImageFile(name, true);
    DownloadState = DownloadStep::CheckImage;
}

void DownloadEngine::StopModelFetch() {
    // The Stop that asked for it is queued: it ends the record as stopped and logs its line, as
    // a Stop between two ticks does.
    ImageEnd = 0;
    DownloadState = DownloadStep::Idle;
}

void DownloadEngine::LoadModelImageFile(const QString& name, bool fetched) {
    // Up to three loads a Start may be refused; the operator gets one box, at the first load, and
    // the log names the file and the last reason when the branch gives up.
    const bool fetchFailed = fetched && Upd.LastError != UpdError::None;
    const FirmwareFileLoad load = LoadFirmwareFileReport(ModelImagePath, StepCounter == 0);
    ImageEnd = load.End;
    if (ImageEnd > kAcceptAbove)
        return;
    QString reason;
    if (fetchFailed) {
        // A fetch that wrote nothing left nothing to load: its own reason stands, not the
        // loader's "no such file".
        reason = Upd.LastReason;
        // The transfer itself failed; a refused answer or a file that could not be kept is
        // about the image.
        ModelImageFailure.Kind = Upd.LastError == UpdError::Connect ||
                                         Upd.LastError == UpdError::Tls ||
                                         Upd.LastError == UpdError::Incomplete
                                     ? FailureKind::Network
                                     : FailureKind::Image;
    } else {
        reason = FirmwareLoadReason(load, ModelImagePath);
        if (reason.isEmpty())
            reason = QStringLiteral("the image ends at address %1 (%2 bytes), too small")
                         .arg(ImageEnd)
                         .arg(int64_t{ImageEnd} + 1);
        reason = QStringLiteral("refused by the loader: ") + reason;
        ModelImageFailure.Kind = FailureKind::Image;
    }
    ModelImageFailure.Reason =
        QStringLiteral("Model image %1 refused: %2").arg(PrintableName(name), reason);
    ModelImageFailure.Refused = true;
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
        Pause(EnginePause::BeforeRetry, true);
        DownloadState = DownloadStep::LoadImage;
    } else {
        DownloadState = DownloadStep::NetFail;
    }
    TmMainPro->start();
}

void DownloadEngine::NetFail() {
    EngineFailure f = ModelImageFailure;
    f.Error = EngineError::NetFail;
    if (f.Reason.isEmpty()) {
        f.Kind = FailureKind::Network;
        f.Reason = QStringLiteral("The update server does not answer");
    }
    FailDownload(f);
}
