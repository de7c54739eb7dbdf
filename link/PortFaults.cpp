#include "link/PortFaults.h"

#include <cstring>

namespace {

// Programs known to grab new USB serial adapters, with what removes them from the way.
QString HolderFix(const QString& holder) {
    if (holder == QLatin1String("ModemManager"))
        return QStringLiteral("it probes new adapters for a few seconds: wait and start again, or "
                              "run: sudo systemctl disable --now ModemManager");
    if (holder == QLatin1String("brltty"))
        return QStringLiteral("it claims CH340 and CP210x adapters as Braille displays: "
                              "run: sudo apt remove brltty, then plug the adapter in again");
    return QStringLiteral("close that program, or pick another port");
}

} // namespace

QString PortFaultText(const PortFaultFacts& f) {
    const QString device = f.Path.isEmpty() ? f.Port : f.Path;
    switch (f.Fault) {
    case PortFault::None:
        return {};
    case PortFault::NoDevice:
        if (f.Path.isEmpty())
            return QStringLiteral("%1 names no device: this system has %2 serial "
                                  "port(s); pick another port")
                .arg(f.Port)
                .arg(f.DeviceCount);
        return QStringLiteral("No such device: %1; plug the adapter in, or pick another "
                              "port")
            .arg(device);
    case PortFault::Denied: {
        const QString group = f.Group.isEmpty() ? QStringLiteral("dialout") : f.Group;
        if (group == QLatin1String("root"))
            return QStringLiteral("Permission denied: %1; it belongs to the group "
                                  "\"root\", which is no group to join: give the device a group "
                                  "such as \"dialout\" (a udev rule), or ask the administrator")
                .arg(device);
        if (f.GroupPending)
            return QStringLiteral("Permission denied: %1; this login predates the "
                                  "user's \"%2\" group: log out and in again")
                .arg(device, group);
        return QStringLiteral("Permission denied: %1; the user is not in the \"%2\" "
                              "group: run sudo usermod -aG %2 $USER, then log in again")
            .arg(device, group);
    }
    case PortFault::Held:
        if (f.Holder.isEmpty() && f.HolderPid <= 0)
            return QStringLiteral("%1 is in use by another program; close it, or pick "
                                  "another port")
                .arg(device);
        return QStringLiteral("%1 is in use by %2 (pid %3); %4")
            .arg(device, f.Holder.isEmpty() ? QStringLiteral("a program") : f.Holder)
            .arg(f.HolderPid)
            .arg(HolderFix(f.Holder));
    case PortFault::Lost:
        // A reader beside the loader takes the board's answers: the cable is not to blame.
        if (!f.Others.isEmpty())
            return QStringLiteral("%1 failed while %2 had it open too; %3")
                .arg(device, f.Others, HolderFix(f.Holder));
        return QStringLiteral("%1 went away; check the cable and the adapter, then start "
                              "again")
            .arg(device);
    case PortFault::Other:
        return QStringLiteral("Cannot open %1: %2")
            .arg(device, f.Detail.isEmpty() ? QStringLiteral("unknown error") : f.Detail);
    }
    return {};
}

QString PortSharedWarningText(const QString& device, const QString& others, const QString& holder) {
    return QStringLiteral("[Warning] %1 is open in %2 as well: the board's answers may go "
                          "there; %3")
        .arg(device, others, HolderFix(holder));
}

QString ProcessListText(const QStringList& names, const QList<qint64>& pids) {
    QStringList parts;
    for (qsizetype i = 0; i < pids.size(); ++i) {
        const QString name =
            i < names.size() && !names.at(i).isEmpty() ? names.at(i) : QStringLiteral("a program");
        parts << QStringLiteral("%1 (pid %2)").arg(name).arg(pids.at(i));
    }
    return parts.join(QStringLiteral(", "));
}

QStringList PortAccessHintText(const QString& group, bool pending) {
    // A root-owned device gives no group to join; the usual one is named instead.
    const QString g =
        group.isEmpty() || group == QLatin1String("root") ? QStringLiteral("dialout") : group;
    if (pending)
        return {QStringLiteral("The serial ports belong to the group \"%1\"; this user was added "
                               "to it after logging in.")
                    .arg(g),
                QStringLiteral("Log out and in again (or run: newgrp %1) to use them.").arg(g)};
    return {QStringLiteral("The serial ports belong to the group \"%1\", and this user is not in "
                           "it.")
                .arg(g),
            QStringLiteral("Run: sudo usermod -aG %1 $USER").arg(g),
            QStringLiteral("then log out and in again to use them.")};
}

QString LockFileName(const QString& devicePath) {
    QString name = devicePath;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

qint64 LockFilePid(const QByteArray& contents) {
    const QByteArray first = contents.left(contents.indexOf('\n')).trimmed();
    bool ok = false;
    const qint64 pid = first.toLongLong(&ok);
    if (ok)
        return pid > 0 && pid <= 0x3FFFFFFF ? pid : 0;
    if (contents.size() == 4) {
        int32_t binary = 0;
        std::memcpy(&binary, contents.constData(), 4);
        return binary > 0 ? binary : 0;
    }
    return 0;
}

bool LockFileHasOwnerName(const QByteArray& contents) {
    const qsizetype firstEnd = contents.indexOf('\n');
    return firstEnd >= 0 && !contents.mid(firstEnd + 1).trimmed().isEmpty();
}

QString ProcessNameFromComm(const QByteArray& contents) {
    QByteArray line = contents.left(contents.indexOf('\n'));
    return QString::fromLocal8Bit(line.left(64)).trimmed();
}
