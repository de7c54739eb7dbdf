#include "update/Uupdate.h"

#include "image/ImageList.h"
#include "image/SaveFile.h"
#include "update/UrlForm.h"

#include <QLoggingCategory>
#include <QtGlobal>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

// The update client's own warnings: zubload passes this category on and leaves Qt's remarks out.
Q_LOGGING_CATEGORY(lcUpdate, "zub.update")

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

// The log pane shows a refused certificate as the usual unreachable-server line; the reason goes
// to standard error, where a maintainer who starts the program from a terminal sees it.
void reportTlsFailure(CURLcode rc, const QString& url, const char* errors) {
    if (!isTlsFailure(rc))
        return;
    qCWarning(lcUpdate, "Update server %s: no verified TLS connection: %s", qPrintable(url),
              errors[0] ? errors : curl_easy_strerror(rc));
}

// libcurl's own words for a failure: the error buffer when it was filled, else the code's text.
QString curlReason(CURLcode rc, const char* errors) {
    return QString::fromLocal8Bit(errors[0] ? errors : curl_easy_strerror(rc));
}

// Asked about once a second even while nothing arrives: a Stop that the blocked event loop cannot
// deliver still ends the transfer.
bool cancelAsked(const UUPD& client) {
    return client.Cancelled && client.Cancelled();
}

// ---- probe --------------------------------------------------------------------------------------

struct Probe {
    const UUPD* client = nullptr;
    bool answered = false;
};

int probeProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return cancelAsked(*static_cast<Probe*>(user)->client) ? 1 : 0;
}

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
    if (cancelAsked(*t->client))
        return 1;
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
    case CURLE_ABORTED_BY_CALLBACK:
        return UpdError::Cancelled;
    default:
        return isTlsFailure(rc) ? UpdError::Tls : UpdError::Connect;
    }
}

// What became of a fetch, as the end of "Model image NAME refused: ...".
QString fetchReason(UpdError error, long status, CURLcode rc, const char* errors, qint64 received,
                    curl_off_t declared, int64_t cap) {
    switch (error) {
    case UpdError::None:
        return {};
    case UpdError::NoClient:
        return QStringLiteral("the update client is not ready");
    case UpdError::NoRequest:
        return QStringLiteral("no file name to fetch");
    case UpdError::UnsafeName:
        return QStringLiteral("not a plain file name of the start directory");
    case UpdError::Connect:
        return QStringLiteral("the transfer failed: ") + curlReason(rc, errors);
    case UpdError::Tls:
        return QStringLiteral("no verified TLS connection: ") + curlReason(rc, errors);
    case UpdError::HttpStatus:
        if (status == 404 || status == 410)
            return QStringLiteral("not on the server (HTTP %1)").arg(status);
        if (status >= 300 && status <= 399)
            return QStringLiteral("the server answered with a redirect it did not follow "
                                  "(HTTP %1)")
                .arg(status);
        return QStringLiteral("the server answered HTTP %1").arg(status);
    case UpdError::TooLarge:
        return QStringLiteral("larger than the %1 bytes accepted").arg(cap);
    case UpdError::Incomplete:
        if (declared >= 0)
            return QStringLiteral("arrived truncated: %1 of %2 bytes")
                .arg(received)
                .arg(static_cast<qint64>(declared));
        return QStringLiteral("arrived truncated after %1 bytes").arg(received);
    case UpdError::SaveFailed:
        break; // the caller knows the path and the system's words
    case UpdError::Cancelled:
        return QStringLiteral("the transfer was stopped");
    }
    return {};
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
    LastReason.clear();
    if (!Http || url.isEmpty()) {
        LastReason = QStringLiteral("The update client is not ready");
        return false;
    }
    CURL* h = Http;
    curl_easy_reset(h);
    const NoCacheHeaders headers;
    char errors[CURL_ERROR_SIZE];
    Probe probe;
    probe.client = this;
    setCommonOptions(h, url, headers, *this, errors);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, Limits.ProbeTimeoutMs);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, probeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &probe);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, refuseBody);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, probeProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &probe);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    const CURLcode rc = curl_easy_perform(h);
    // Leave no pointer to this frame's data in the handle.
    curl_easy_reset(h);
    // A status line arrives only over a verified connection when the address is https://.
    reportTlsFailure(rc, url, errors);
    if (!probe.answered) {
        if (rc == CURLE_ABORTED_BY_CALLBACK)
            LastReason = QStringLiteral("The request to %1 was stopped").arg(url);
        else if (isTlsFailure(rc))
            LastReason = QStringLiteral("No verified TLS connection to %1: %2")
                             .arg(url, curlReason(rc, errors));
        else
            LastReason = QStringLiteral("The update server %1 does not answer: %2")
                             .arg(url, curlReason(rc, errors));
    }
    return probe.answered;
}

void UUPD::DownloadFile(const QString& folderUrl, const QString& fileName) {
    LastStatus = 0;
    LastReason.clear();
    if (!Http) {
        LastError = UpdError::NoClient;
        LastReason = fetchReason(LastError, 0, CURLE_OK, "", 0, -1, 0);
        return;
    }
    if (folderUrl.isEmpty() || fileName.isEmpty()) {
        LastError = UpdError::NoRequest;
        LastReason = fetchReason(LastError, 0, CURLE_OK, "", 0, -1, 0);
        return;
    }
    // The name comes from a list the server published: it is used as a path only when it is one
    // plain file of the save folder. The list itself is the one reserved name fetched.
    const bool isList = fileName == QString::fromLatin1(Info.ListFile);
    if ((!IsSafeModelFileName(fileName) && !isList) || SaveDir.isEmpty()) {
        LastError = UpdError::UnsafeName;
        LastReason = fetchReason(LastError, 0, CURLE_OK, "", 0, -1, 0);
        return;
    }

    CURL* h = Http;
    curl_easy_reset(h);
    const QString target = MakeFileUrl(folderUrl, fileName);
    const NoCacheHeaders headers;
    char errors[CURL_ERROR_SIZE];
    Transfer t;
    t.client = this;
    // The list is taken no larger than its reader reads: a list every start would refuse is
    // never stored.
    t.cap =
        isList ? std::min<int64_t>(Limits.MaxBodyBytes, ImageListMaxBytes) : Limits.MaxBodyBytes;
    setCommonOptions(h, target, headers, *this, errors);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, Limits.MaxRedirects);
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.cap));
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
    LastStatus = status;
    LastReason = fetchReason(LastError, status, rc, errors, t.body.size(), declared, t.cap);
    if (LastError == UpdError::None) {
        // Written beside the target and renamed over it only when complete, so an older file
        // stays whole whenever anything fails; a link in its place is refused, not written through.
        const QString savePath = SaveDir + QStringLiteral("/") + fileName;
        const FileSave saved = SaveFileNoFollow(savePath, t.body);
        if (!saved.Saved) {
            LastError = UpdError::SaveFailed;
            LastReason = QStringLiteral("could not be saved as %1: %2")
                             .arg(savePath, FileSaveErrorText(saved));
        }
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
