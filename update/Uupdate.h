// The web update client: probes the update server and fetches the image list and firmware images
// into SaveDir. libcurl's easy interface; every call blocks the UI thread until it returns.
#pragma once

#include <QString>

#include <cstdint>

struct SYS_INFO {
    char ListFile[64] = {};
};

class UUPD {
public:
    UUPD() = default;
    ~UUPD();
    UUPD(const UUPD&) = delete;
    UUPD& operator=(const UUPD&) = delete;

    void* Http = nullptr; // the libcurl easy handle; null before Init and after ReleaseHttp
    SYS_INFO Info;
    QString SaveDir;
    QString BaseUrl;
    QString UpdateUrl;

    void Init(SYS_INFO& info, const QString& appName);
    bool CheckServer(const QString& url);
    void DownloadFile(const QString& folderUrl, const QString& fileName);
    void HttpWork(int64_t declaredTotal, int64_t workCount);
    void ReleaseHttp();
};
