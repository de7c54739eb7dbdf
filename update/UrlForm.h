// Addresses on the update server. The host comes from the build (ZUB_UPDATE_HOST), the folder from
// the application name, the file name from the image list.
#pragma once

#include <QString>

// "http://" + host; no path and no trailing slash. This is the address the reachability probe asks.
QString MakeBaseUrl(const QString& host);

// baseUrl + "/ydr/" + appName in lower case + "/": the folder every file is fetched from.
QString MakeUpdateUrl(const QString& baseUrl, const QString& appName);

// folderUrl + fileName, the name percent-encoded as one path segment (UTF-8). Characters a path
// segment may hold as they are (letters, digits, "-._~!$&'()*+,;=:@") stay unchanged, so a plain
// name gives exactly folderUrl + fileName; a space, "#", "?", "%", "/" or non-ASCII text is
// encoded so that it cannot end the path or name another resource.
QString MakeFileUrl(const QString& folderUrl, const QString& fileName);
