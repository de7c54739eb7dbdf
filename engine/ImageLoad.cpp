// Firmware files into FirmwareImage through the core's loader, with the boxes and log lines the
// operator sees.
#include "engine/DownloadEngine.h"
#include "image/HexMessages.h"

int32_t DownloadEngine::LoadFirmwareFile(const QString& fileName) {
    return LoadFirmwareFileReport(fileName, true).End;
}

FirmwareFileLoad DownloadEngine::LoadFirmwareFileReport(const QString& fileName, bool showBoxes) {
    ++FirmwareLoads;
    const FirmwareFileLoad load = ReadFirmwareFile(fileName, FirmwareImage.data());
    LastLoadReason = FirmwareLoadReason(load, fileName);
    if (load.Opened && load.Kind == FirmwareKind::Scrambled)
        Q_EMIT LogCleared();
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

int32_t DownloadEngine::LoadLocalFile(const QString& fileName) {
    ImageEnd = LoadFirmwareFile(fileName);
    RememberLocalImage(fileName);
    return ImageEnd;
}

void DownloadEngine::ForgetImage() {
    ImageEnd = 0;
    ServerImageAccepted = false;
}
