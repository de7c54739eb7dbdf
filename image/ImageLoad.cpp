// Firmware files into FirmwareImage through the core's loader, with the boxes and log lines the
// operator sees.
#include "app/ZubBootLoadMain.h"
#include "engine/Progress.h"
#include "image/HexMessages.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>

namespace {

// A download is running from Start until it ends in Idle or parks waiting for the next Start.
bool DownloadRunning(int32_t state) {
    return state != DownloadStep::Idle && state != DownloadStep::WaitNext;
}

} // namespace

int32_t TForm1::LoadFirmwareFile(const QString& fileName) {
    return LoadFirmwareFileReport(fileName, true).End;
}

FirmwareFileLoad TForm1::LoadFirmwareFileReport(const QString& fileName, bool showBoxes) {
    ++FirmwareLoads;
    const FirmwareFileLoad load = ReadFirmwareFile(fileName, FirmwareImage.data());
    LastLoadReason = FirmwareLoadReason(load, fileName);
    if (load.Opened && load.Kind == FirmwareKind::Scrambled)
        Memo1->clear();
    if (load.Hex.Error != ImageError::None) {
        if (showBoxes) {
            for (const QString& box : FirmwareLoadBoxes(load))
                ShowMessage(box);
        }
        return load;
    }
    const QString skipped = HexSkippedText(load.Hex);
    if (!skipped.isEmpty())
        AddLog(skipped);
    const QString badSums = HexBadSumText(load.Hex);
    if (!badSums.isEmpty())
        AddLog(badSums);
    return load;
}

void TForm1::BtnLocalFileClick() {
    // A new image must never replace the one a running download is sending page by page.
    if (DownloadRunning(DownloadState)) {
        AddLog(QStringLiteral("[Error] Press Stop before choosing another file."));
        return;
    }
    const QString path = RunOpenDialog();
    if (path.isEmpty())
        return;
    if (DownloadRunning(DownloadState)) {
        AddLog(QStringLiteral("[Error] Press Stop before choosing another file."));
        return;
    }
    EdFileName->setText(path);
    ImageEnd = LoadFirmwareFile(EdFileName->text());
}

void TForm1::RbLocalFileClick() {
    ImageEnd = 0;
    ServerImageAccepted = false;
    ProgressBar2->setValue(0);
}
