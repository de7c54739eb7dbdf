// The update client's part of the start-up: the image list fetched when it is missing, for the
// window's start-up sequence and for zubload alike.
#include "engine/DownloadEngine.h"

#include <QFileInfo>

#include <utility>

QString DownloadEngine::ImageListFile() const {
    return QString::fromLocal8Bit(Upd.Info.ListFile);
}

bool DownloadEngine::FetchMissingImageList(EngineFailure* failure) {
    const QString listFile = ImageListFile();
    // A list already on disk is never refreshed here: the update command does that.
    if (QFileInfo::exists(listFile))
        return true;
    if (!Upd.CheckServer(Upd.BaseUrl)) {
        EngineFailure f{EngineError::ListUnreachable, FailureKind::Network};
        // The client's own words name a TLS refusal or the system's error, where it has them.
        f.Reason = !Upd.LastReason.isEmpty()
                       ? Upd.LastReason
                       : QStringLiteral("the update server %1 did not answer").arg(Upd.BaseUrl);
        AddLog(FailureLineText(f));
        if (failure)
            *failure = f;
        return false;
    }
    Upd.DownloadFile(Upd.UpdateUrl, listFile);
    if (failure && !QFileInfo::exists(listFile)) {
        *failure = EngineFailure{EngineError::ListNotFetched, FailureKind::Network};
        failure->Reason = QStringLiteral("%1 could not be fetched from %2: %3")
                              .arg(listFile, Upd.UpdateUrl,
                                   Upd.LastReason.isEmpty() ? QStringLiteral("no file was received")
                                                            : Upd.LastReason);
    }
    return true;
}

bool DownloadEngine::CheckUpdateServer() {
    return Upd.CheckServer(Upd.BaseUrl);
}

void DownloadEngine::FetchImageList() {
    Upd.DownloadFile(Upd.UpdateUrl, ImageListFile());
}

void DownloadEngine::SetFetchCancelCheck(std::function<bool()> cancelled) {
    Upd.Cancelled = std::move(cancelled);
}
