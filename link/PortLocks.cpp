#include "link/PortLocks.h"

#include "link/PortFaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <signal.h>

#include <algorithm>
#include <cerrno>

namespace {

// Where lock files are looked for: the folders of the lock conventions (Qt also falls back to
// /tmp, but only where none of these is writable; a leftover there would hold a port for ever).
constexpr const char* kLockDirs[] = {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks",
                                     "/var/spool/uucp"};

QByteArray ReadSmallFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(4096);
}

bool ProcessAlive(qint64 pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The other processes that have `path` open, found through /proc/*/fd (only the processes this
// user may look into), in pid order.
QList<qint64> OpenHolders(const QString& path) {
    QList<qint64> holders;
    if (path.isEmpty())
        return holders;
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : pids) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == self)
            continue;
        const QString fdDir = QStringLiteral("/proc/") + entry + QStringLiteral("/fd");
        const QStringList fds = QDir(fdDir).entryList(QDir::System | QDir::NoDotAndDotDot);
        for (const QString& fd : fds) {
            if (QFile::symLinkTarget(fdDir + QLatin1Char('/') + fd) == path) {
                holders << pid;
                break;
            }
        }
    }
    std::sort(holders.begin(), holders.end());
    return holders;
}

} // namespace

qint64 PortLockHolder(const QString& path, bool oneLineOnly) {
    const QString name = LockFileName(path);
    const qint64 self = QCoreApplication::applicationPid();
    for (const char* dir : kLockDirs) {
        const QByteArray contents = ReadSmallFile(QLatin1String(dir) + QLatin1Char('/') + name);
        if (oneLineOnly && LockFileHasOwnerName(contents))
            continue;
        const qint64 pid = LockFilePid(contents);
        if (pid != self && ProcessAlive(pid))
            return pid;
    }
    return 0;
}

QString PortProcessName(qint64 pid) {
    return ProcessNameFromComm(ReadSmallFile(QStringLiteral("/proc/%1/comm").arg(pid)));
}

qint64 PortFirstOpenHolder(const QString& path) {
    const QList<qint64> holders = OpenHolders(path);
    return holders.isEmpty() ? 0 : holders.first();
}

bool PortOpenHolders(const QString& path, QList<qint64>* pids, QStringList* names) {
    *pids = OpenHolders(path);
    names->clear();
    for (const qint64 pid : std::as_const(*pids))
        *names << PortProcessName(pid);
    return !pids->isEmpty();
}

QString PortOpenHoldersText(const QString& path, QString* first) {
    QList<qint64> pids;
    QStringList names;
    if (!PortOpenHolders(path, &pids, &names))
        return {};
    if (first)
        *first = names.value(0);
    return ProcessListText(names, pids);
}
