// Addresses on the update server. The host comes from the build (ZUB_UPDATE_HOST), the folder from
// the application name, the file name from the image list.
#pragma once

#include <QString>

// The address the reachability probe asks, from the build's host setting, with no path and no
// trailing slash: "host[:port]" and "http://host[:port]" give "http://host[:port]" (plain HTTP),
// "https://host[:port]" gives "https://host[:port]" (verified TLS); the scheme in any letter case.
// A setting with another scheme, a path, a query, user information, white space or no host gives
// an empty address, which no probe reaches: a mistyped setting never falls back to plain HTTP.
QString MakeBaseUrl(const QString& host);

// True when the address is fetched over TLS ("https://" in any letter case). Such a fetch never
// leaves TLS, not even through a redirect.
bool IsTlsUrl(const QString& url);

// baseUrl + "/ydr/" + appName in lower case + "/": the folder every file is fetched from. Empty
// for an empty baseUrl.
QString MakeUpdateUrl(const QString& baseUrl, const QString& appName);

// folderUrl + fileName, the name percent-encoded as one path segment (UTF-8). Characters a path
// segment may hold as they are (letters, digits, "-._~!$&'()*+,;=:@") stay unchanged, so a plain
// name gives exactly folderUrl + fileName; a space, "#", "?", "%", "/" or non-ASCII text is
// encoded so that it cannot end the path or name another resource.
QString MakeFileUrl(const QString& folderUrl, const QString& fileName);
