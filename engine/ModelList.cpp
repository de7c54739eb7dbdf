#include "engine/DownloadEngine.h"

#include "image/ImageList.h"

void DownloadEngine::ReadImageList(const QString& fileName) {
    ImageListText list;
    if (!ReadImageListFile(fileName, list)) {
        ShowMessage(QStringLiteral("[ERROR] Cannot a Hex_List File!"));
        return;
    }

    QStringList models;
    for (size_t i = 0; i < list.Rows.size(); ++i) {
        models << list.Rows[i].ModelName;
        ModelFiles[i] = list.Rows[i].FileName;
    }
    Q_EMIT ModelListRead(models);
    if (list.MoreRows)
        AddLog(QStringLiteral("[WARNING] Hex_List File has more than 20 models: only the first 20 "
                              "are listed."));
}
