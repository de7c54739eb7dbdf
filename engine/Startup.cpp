// The update client's part of the start-up: the image list fetched when it is missing, for the
// window's start-up sequence and for zubload alike.
#include "engine/DownloadEngine.h"

#include <QFileInfo>

bool DownloadEngine::FetchMissingImageList() {
    const QString listFile = QString::fromLocal8Bit(Upd.Info.ListFile);
    // A list already on disk is never refreshed here: the update command does that.
    if (QFileInfo::exists(listFile))
        return true;
    if (!Upd.CheckServer(Upd.BaseUrl)) {
        AddLog(QStringLiteral("[장애]서버에 연결 할 수 없습니다."));
        return false;
    }
    Upd.DownloadFile(Upd.UpdateUrl, listFile);
    return true;
}
