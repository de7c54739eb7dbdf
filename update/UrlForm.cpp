#include "update/UrlForm.h"

#include <QUrl>

QString MakeBaseUrl(const QString& host) {
    return QStringLiteral("http://") + host;
}

QString MakeUpdateUrl(const QString& baseUrl, const QString& appName) {
    return baseUrl + QStringLiteral("/ydr/") + appName.toLower() + QStringLiteral("/");
}

QString MakeFileUrl(const QString& folderUrl, const QString& fileName) {
    // Sub-delimiters, ":" and "@" are legal inside a segment; leaving them alone keeps the URL of
    // any plain name byte for byte what the server has always been asked for.
    const QByteArray segment = QUrl::toPercentEncoding(fileName, "!$&'()*+,;=:@");
    return folderUrl + QString::fromLatin1(segment);
}
