// The web update client: probes the update server and fetches the image list and firmware images
// into SaveDir. libcurl's easy interface; every call blocks the UI thread until it returns, and no
// timer or slot runs meanwhile.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

struct SYS_INFO {
    char ListFile[64] = {};
};

// Why the last DownloadFile wrote no file. Callers are never told (they look at the file); this is
// for tests and for a maintainer in a debugger.
enum class UpdError {
    None,       // the file was saved whole
    NoClient,   // before Init or after ReleaseHttp
    NoRequest,  // empty folder URL or file name: nothing asked
    UnsafeName, // not one plain file name of the start directory
    Connect,    // no connection, time-out, too slow, refused URL, too many redirects
    Tls,        // no verified TLS connection: the certificate check or the handshake failed
    HttpStatus, // the final answer was not 2xx
    TooLarge,   // the body passed MaxBodyBytes
    Incomplete, // the body ended before its declared length
    SaveFailed, // the file could not be written (the older file stays)
    Cancelled,  // Cancelled() asked to stop: the transfer was abandoned
};

// Time and size bounds of every request, so that a silent or hostile server cannot hold the window
// for ever nor fill the memory or the disk. Public so that tests can shorten the waits.
struct UpdLimits {
    long ConnectTimeoutMs = 5000;     // TCP connect, probe and download
    long ProbeTimeoutMs = 10000;      // whole probe, until the status line arrived
    long LowSpeedBytesPerSec = 100;   // a download slower than this ...
    long LowSpeedTimeS = 10;          // ... for this long is abandoned (covers a silent server)
    long TransferTimeoutS = 120;      // whole download, redirects included
    int64_t MaxBodyBytes = 4LL << 20; // no image list or firmware image comes near 4 MiB
    long MaxRedirects = 5;
};

// How far a download has come. The client knows no window: whoever shows the progress sets
// UUPD::Progress, and the client calls it from inside DownloadFile, on the calling thread.
struct UpdWork {
    int64_t DeclaredTotal = 0; // the body length the answer declared; 0 while none is declared
    int64_t WorkCount = 0;     // body bytes received so far
    bool Over = false;         // the fetch has ended: the last call for it, nothing moves after
    bool Saved = false;        // with Over: the file was saved whole
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

    UpdLimits Limits;
    UpdError LastError = UpdError::None;
    long LastStatus = 0; // HTTP status of the last fetch's final answer; 0 when none came
    // Why the last probe or fetch failed, in English with the system's or libcurl's own words;
    // empty after a probe that was answered or a file saved whole.
    QString LastReason;
    // Polled about once a second, even while the server sends nothing: true abandons the probe
    // or fetch under way (a Stop that cannot reach the blocked event loop). May be empty.
    std::function<bool()> Cancelled;
    // Called for every change of a download's progress and once when it ends; may be empty.
    std::function<void(const UpdWork&)> Progress;
    // Tests only: the one certificate authority file that https:// servers are checked against,
    // instead of the system's trust store. Empty in the program. Names an authority, never turns
    // the check off.
    QString CaFile;

    void Init(SYS_INFO& info, const QString& appName);
    bool CheckServer(const QString& url);
    // Saves SaveDir + "/" + fileName whole, or writes nothing. fileName must be a plain model file
    // name (IsSafeModelFileName) or the image list's own name in Info.ListFile.
    void DownloadFile(const QString& folderUrl, const QString& fileName);
    void HttpWork(const UpdWork& work); // passes the work event on to Progress
    void ReleaseHttp();

private:
    bool released_ = false;
};
