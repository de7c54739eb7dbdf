#include "update/Uupdate.h"

#include "image/ImageList.h"
#include "image/SaveFile.h"
#include "update/UrlForm.h"

#include <QtGlobal>

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

// Options of every request. `errors` receives libcurl's own words for a failure.
void setCommonOptions(CURL* h, const QString& url, const NoCacheHeaders& headers,
                      const UUPD& client, char* errors) {
    const QByteArray target = url.toLocal8Bit();
    curl_easy_setopt(h, CURLOPT_URL, target.constData());
    // A request that starts over TLS stays on it: a redirect to plain HTTP would hand the image to
    // anyone on the path.
    const char* protocols = IsTlsUrl(url) ? "https" : "http,https";
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, client.Limits.ConnectTimeoutMs);
    // The certificate must chain to a trusted authority and name the host; set here rather than
    // left to the library's defaults, and nothing anywhere turns it off.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!client.CaFile.isEmpty()) {
        // libcurl copies the string. The system's certificate folder goes too, so that the named
        // authority is the only one trusted.
        curl_easy_setopt(h, CURLOPT_CAINFO, client.CaFile.toLocal8Bit().constData());
        curl_easy_setopt(h, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    errors[0] = '\0';
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);
}

// Failures of the TLS layer: no verified connection was made.
bool isTlsFailure(CURLcode rc) {
    switch (rc) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return true;
    default:
        return false;
    }
}

// The log pane shows a refused certificate as the Parts' unreachable-server line; the reason goes
// to standard error, where a maintainer who starts the program from a terminal sees it.
void reportTlsFailure(CURLcode rc, const QString& url, const char* errors) {
    if (!isTlsFailure(rc))
        return;
    qWarning("Update server %s: no verified TLS connection: %s", qPrintable(url),
             errors[0] ? errors : curl_easy_strerror(rc));
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
        UpdWork work;
        work.DeclaredTotal = dltotal;
        work.WorkCount = dlnow;
        t->client->HttpWork(work);
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
        return isTlsFailure(rc) ? UpdError::Tls : UpdError::Connect;
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
    const NoCacheHeaders headers;
    char errors[CURL_ERROR_SIZE];
    Probe probe;
    setCommonOptions(h, url, headers, *this, errors);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, Limits.ProbeTimeoutMs);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, probeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &probe);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, refuseBody);
    const CURLcode rc = curl_easy_perform(h);
    // Leave no pointer to this frame's data in the handle.
    curl_easy_reset(h);
    // A status line arrives only over a verified connection when the address is https://.
    reportTlsFailure(rc, url, errors);
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
    // The name comes from a list the server published: it is used as a path only when it is one
    // plain file of the save folder. The list itself is the one reserved name fetched.
    const bool isList = fileName == QString::fromLatin1(Info.ListFile);
    if ((!IsSafeModelFileName(fileName) && !isList) || SaveDir.isEmpty()) {
        LastError = UpdError::UnsafeName;
        return;
    }

    CURL* h = Http;
    curl_easy_reset(h);
    const QString target = MakeFileUrl(folderUrl, fileName);
    const NoCacheHeaders headers;
    char errors[CURL_ERROR_SIZE];
    Transfer t;
    t.client = this;
    t.cap = Limits.MaxBodyBytes;
    setCommonOptions(h, target, headers, *this, errors);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, Limits.MaxRedirects);
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
    reportTlsFailure(rc, target, errors);

    LastError = classify(rc, t);
    // Fail-on-error lets a 3xx through (an endless or refused redirect): only 2xx is a file.
    if (LastError == UpdError::None && (status < 200 || status > 299))
        LastError = UpdError::HttpStatus;
    if (LastError == UpdError::None && declared >= 0 &&
        declared != static_cast<curl_off_t>(t.body.size()))
        LastError = UpdError::Incomplete;
    if (LastError == UpdError::None) {
        // Written beside the target and renamed over it only when complete, so an older file
        // stays whole whenever anything fails; a link in its place is refused, not written through.
        const FileSave saved = SaveFileNoFollow(SaveDir + QStringLiteral("/") + fileName, t.body);
        if (!saved.Saved)
            LastError = UpdError::SaveFailed;
    }

    UpdWork over;
    over.DeclaredTotal = declared > 0 ? declared : 0;
    over.WorkCount = t.body.size();
    over.Over = true;
    over.Saved = LastError == UpdError::None;
    HttpWork(over);
}

void UUPD::HttpWork(const UpdWork& work) {
    if (Progress)
        Progress(work);
}

void UUPD::ReleaseHttp() {
    released_ = true;
    if (Http) {
        curl_easy_cleanup(Http);
        Http = nullptr;
    }
}
