#include "update/UrlForm.h"

#include <QUrl>

namespace {

constexpr QLatin1String kHttp("http://");
constexpr QLatin1String kHttps("https://");

// One host with an optional port: nothing that would start a path, a query, a fragment or user
// information, and no white space or control character.
bool isPlainAuthority(const QString& authority) {
    if (authority.isEmpty())
        return false;
    for (const QChar c : authority) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7F || c == QLatin1Char('/') ||
            c == QLatin1Char('\\') || c == QLatin1Char('?') || c == QLatin1Char('#') ||
            c == QLatin1Char('@'))
            return false;
    }
    return true;
}

} // namespace

QString MakeBaseUrl(const QString& host) {
    QString scheme(kHttp);
    QString authority = host;
    const int sep = host.indexOf(QStringLiteral("://"));
    if (sep >= 0) {
        const QString named = host.left(sep + 3).toLower();
        if (named != kHttp && named != kHttps)
            return QString();
        scheme = named;
        authority = host.mid(sep + 3);
    }
    if (!isPlainAuthority(authority))
        return QString();
    return scheme + authority;
}

bool IsTlsUrl(const QString& url) {
    return url.startsWith(kHttps, Qt::CaseInsensitive);
}

QString MakeUpdateUrl(const QString& baseUrl, const QString& appName) {
    // No server, no folder: an unusable host setting must not turn into a relative address.
    if (baseUrl.isEmpty())
        return QString();
    return baseUrl + QStringLiteral("/ydr/") + appName.toLower() + QStringLiteral("/");
}

QString MakeFileUrl(const QString& folderUrl, const QString& fileName) {
    // Sub-delimiters, ":" and "@" are legal inside a segment; leaving them alone keeps the URL of
    // any plain name byte for byte what the server has always been asked for.
    const QByteArray segment = QUrl::toPercentEncoding(fileName, "!$&'()*+,;=:@");
    return folderUrl + QString::fromLatin1(segment);
}
