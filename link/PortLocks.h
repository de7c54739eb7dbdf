// Who else has a serial device: lock files and the open files /proc shows. The serial component
// waits on a lock it finds; the port's diagnosis and the shared-port warning name the holders.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Another live program that a lock file of the device `path` names (LCK..ttyUSB0 in /var/lock
// and the other usual folders), or 0. `oneLineOnly`: pass over Qt's lock files, which name
// their program too and which Qt judges itself (a pid reused by another program is stale).
qint64 PortLockHolder(const QString& path, bool oneLineOnly);

// The other processes that have the device `path` (symlinks resolved) open, found through
// /proc/*/fd (those this user may look into), and their names; false when there are none.
bool PortOpenHolders(const QString& path, QList<qint64>* pids, QStringList* names);
// Those processes as a list for a line ("cat (pid 7)"); empty when there are none. `first`
// receives the first one's name.
QString PortOpenHoldersText(const QString& path, QString* first = nullptr);

// A process's name from /proc, or empty.
QString PortProcessName(qint64 pid);
// The lowest pid of the other processes that have `path` open, or 0.
qint64 PortFirstOpenHolder(const QString& path);
