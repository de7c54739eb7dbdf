// The model branch of the engine: the chosen model's image from the start directory, or fetched
// from the update server when it is missing, with a size check and at most three loads a Start.
#include "app/ZubBootLoadMain.h"

#include "engine/Progress.h"
#include "image/ImageList.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QThread>
#include <QTimer>

namespace {

const QString kSeparator = QStringLiteral("------------------------------");
constexpr int32_t kAcceptAbove = 100;
constexpr int32_t kRetries = 2; // a third rejected load gives up

} // namespace

void TForm1::LoadModelImage() {
    const int row = SelectedModelRow();
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
        ImageEnd = LoadFirmwareFile(ModelImagePath);
        AddLog(kSeparator);
        AddLog(QStringLiteral("Load File OK"));
        ProgressBar2->setValue(ProgressBar2->maximum());
        DownloadState = DownloadStep::CheckImage;
        return;
    }
    ProgressBar2->setValue(0);
    if (!Upd.CheckServer(Upd.BaseUrl)) {
        DownloadState = DownloadStep::NetFail;
        return;
    }
    Upd.DownloadFile(Upd.UpdateUrl, name);
    AddLog(kSeparator);
    AddLog(QStringLiteral("Load file from server...."));
    ImageEnd = LoadFirmwareFile(ModelImagePath);
    DownloadState = DownloadStep::CheckImage;
}

void TForm1::CheckImage() {
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

void TForm1::NetFail() {
    DownloadState = DownloadStep::Idle;
    FailDownload(RecordFailure::Image, QStringLiteral("네트워크 연결이 불안정합니다."));
}
