#include "update/Uupdate.h"

#include "app/ZubBootLoadMain.h"
#include "image/ImageList.h"
#include "update/UrlForm.h"

#include <QProgressBar>
#include <QSaveFile>

#include <curl/curl.h>

#include <cstring>

namespace {

constexpr const char* UserAgent = "Ydr Server in pavix";

// Set once per process; libcurl's global state must exist before the first handle.
bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// Request headers of every call: an answer from a cache would hide a newer list or image.
struct NoCacheHeaders {
    curl_slist* list = nullptr;
    NoCacheHeaders() {
        list = curl_slist_append(list, "Cache-Control: no-cache");
        list = curl_slist_append(list, "Pragma: no-cache");
    }
    ~NoCacheHeaders() { curl_slist_free_all(list); }
    NoCacheHeaders(const NoCacheHeaders&) = delete;
    NoCacheHeaders& operator=(const NoCacheHeaders&) = delete;
};

void setCommonOptions(CURL* h, const QByteArray& url, const NoCacheHeaders& headers,
                      const UpdLimits& limits) {
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.ConnectTimeoutMs);
}

// ---- probe --------------------------------------------------------------------------------------

struct Probe {
    bool answered = false;
};

// Stops the probe at the status line: the server has answered, and no body is read.
size_t probeHeader(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        static_cast<Probe*>(user)->answered = true;
        return 0;
    }
    return n;
}

size_t refuseBody(char*, size_t, size_t, void*) {
    return 0;
}

// ---- download -----------------------------------------------------------------------------------

struct Transfer {
    UUPD* client = nullptr;
    QByteArray body;
    int64_t cap = 0;
    bool overCap = false;
    int64_t lastTotal = -1;
    int64_t lastNow = -1;
};

size_t downloadHeader(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    // A new status line starts a new response (after a redirect): only the last one's body counts.
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0)
        static_cast<Transfer*>(user)->body.clear();
    return n;
}

// The cap is counted here because libcurl's own size limit only acts on a declared length.
size_t downloadBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (static_cast<int64_t>(t->body.size()) + static_cast<int64_t>(n) > t->cap) {
        t->overCap = true;
        return 0;
    }
    t->body.append(data, static_cast<qsizetype>(n));
    return n;
}

int downloadProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (dltotal != t->lastTotal || dlnow != t->lastNow) {
        t->lastTotal = dltotal;
        t->lastNow = dlnow;
        t->client->HttpWork(dltotal, dlnow);
    }
    return 0;
}

UpdError classify(CURLcode rc, const Transfer& t) {
    switch (rc) {
    case CURLE_OK:
        return UpdError::None;
    case CURLE_HTTP_RETURNED_ERROR:
        return UpdError::HttpStatus;
    case CURLE_FILESIZE_EXCEEDED:
        return UpdError::TooLarge;
    case CURLE_WRITE_ERROR:
        return t.overCap ? UpdError::TooLarge : UpdError::Connect;
    case CURLE_PARTIAL_FILE:
        return UpdError::Incomplete;
    default:
        return UpdError::Connect;
    }
}

} // namespace

UUPD::~UUPD() {
    ReleaseHttp();
}

void UUPD::Init(SYS_INFO& info, const QString& appName) {
    if (released_)
        return;
    if (!Http && curlReady())
        Http = curl_easy_init();
    BaseUrl = MakeBaseUrl(QStringLiteral(ZUB_UPDATE_HOST));
    UpdateUrl = MakeUpdateUrl(BaseUrl, appName);
    qstrncpy(info.ListFile, "hexlist.txt", sizeof(info.ListFile));
}

bool UUPD::CheckServer(const QString& url) {
    if (!Http || url.isEmpty())
        return false;
    CURL* h = Http;
    curl_easy_reset(h);
    const QByteArray target = url.toLocal8Bit();
    const NoCacheHeaders headers;
    Probe probe;
    setCommonOptions(h, target, headers, Limits);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, Limits.ProbeTimeoutMs);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, probeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &probe);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, refuseBody);
    curl_easy_perform(h);
    // Leave no pointer to this frame's data in the handle.
    curl_easy_reset(h);
    return probe.answered;
}

void UUPD::DownloadFile(const QString& folderUrl, const QString& fileName) {
    if (!Http) {
        LastError = UpdError::NoClient;
        return;
    }
    if (folderUrl.isEmpty() || fileName.isEmpty()) {
        LastError = UpdError::NoRequest;
        return;
    }
    // The name comes from a list fetched over plain HTTP: it is used as a path only when it is one
    // plain file of the save folder. The list itself is the one reserved name fetched.
    const bool isList = fileName == QString::fromLatin1(Info.ListFile);
    if ((!IsSafeModelFileName(fileName) && !isList) || SaveDir.isEmpty()) {
        LastError = UpdError::UnsafeName;
        return;
    }

    CURL* h = Http;
    curl_easy_reset(h);
    const QByteArray target = MakeFileUrl(folderUrl, fileName).toLocal8Bit();
    const NoCacheHeaders headers;
    Transfer t;
    t.client = this;
    t.cap = Limits.MaxBodyBytes;
    setCommonOptions(h, target, headers, Limits);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, Limits.MaxRedirects);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(Limits.MaxBodyBytes));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, Limits.LowSpeedBytesPerSec);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, Limits.LowSpeedTimeS);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, Limits.TransferTimeoutS);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, downloadHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, downloadBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, downloadProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    const CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t declared = -1;
    curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
    curl_easy_reset(h);

    LastError = classify(rc, t);
    if (LastError != UpdError::None)
        return;
    // Fail-on-error lets a 3xx through (an endless or refused redirect): only 2xx is a file.
    if (status < 200 || status > 299) {
        LastError = UpdError::HttpStatus;
        return;
    }
    if (declared >= 0 && declared != static_cast<curl_off_t>(t.body.size())) {
        LastError = UpdError::Incomplete;
        return;
    }

    // Written beside the target and renamed over it only when complete, so an older file stays
    // whole whenever anything fails.
    QSaveFile file(SaveDir + QStringLiteral("/") + fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(t.body) != t.body.size() || !file.commit()) {
        LastError = UpdError::SaveFailed;
        return;
    }
    LastError = UpdError::None;
}

void UUPD::HttpWork(int64_t declaredTotal, int64_t workCount) {
    if (!Form1 || !Form1->ProgressBar2)
        return;
    QProgressBar* bar = Form1->ProgressBar2;
    // Low 32 bits, as the bar's range is 32-bit; a body without a declared length gives the range
    // 0..0, which the bar shows as busy.
    bar->setMaximum(static_cast<int>(static_cast<uint32_t>(declaredTotal)));
    bar->setValue(static_cast<int>(static_cast<uint32_t>(workCount)));
    bar->repaint();
}

void UUPD::ReleaseHttp() {
    released_ = true;
    if (Http) {
        curl_easy_cleanup(Http);
        Http = nullptr;
    }
}
