#include "link/PortInfo.h"

#include "link/PortFaults.h"
#include "link/PortLocks.h"
#include "link/PortNames.h"
#include "link/TComm.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// The group owning `path`, and whether this login lacks it while /etc/group lists the user.
void DeviceGroup(const QString& path, QString* group, bool* pending) {
    struct stat st {};
    *pending = false;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return;
    const struct group* gr = ::getgrgid(st.st_gid);
    if (gr == nullptr)
        return;
    *group = QString::fromLocal8Bit(gr->gr_name);
    // Nobody joins the root group for a serial port; the line says what to do instead.
    if (st.st_gid == 0)
        return;
    const struct passwd* pw = ::getpwuid(::geteuid());
    if (pw == nullptr || gr->gr_mem == nullptr)
        return;
    gid_t groups[256];
    const int count = ::getgroups(256, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] == st.st_gid)
            return; // this login has the group already: joining it again would not help
    }
    for (char** member = gr->gr_mem; *member != nullptr; ++member) {
        if (std::strcmp(*member, pw->pw_name) == 0) {
            // Listed, yet the open was refused: the running login has the old group set.
            *pending = true;
            return;
        }
    }
}

bool MayOpen(const QString& path) {
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

} // namespace

namespace {

// What the system knows of the device at `path`; `devices` is the Com1..Com8 order.
SerialDeviceInfo describePath(const QString& path, const QStringList& devices) {
    SerialDeviceInfo info;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    info.Path = canonical.isEmpty() ? path : canonical;
    for (int i = 0; i < devices.size() && i < 8 && info.ComNumber == 0; ++i) {
        if (QFileInfo(devices.at(i)).canonicalFilePath() == info.Path)
            info.ComNumber = i + 1;
    }
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    const QStringList links = byId.entryList(QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& link : links) {
        if (!info.Path.isEmpty() &&
            QFileInfo(byId.filePath(link)).canonicalFilePath() == info.Path) {
            info.ById = byId.filePath(link);
            break;
        }
    }
    const QSerialPortInfo port(info.Path);
    info.HasUsbIds = port.hasVendorIdentifier() && port.hasProductIdentifier();
    info.VendorId = port.vendorIdentifier();
    info.ProductId = port.productIdentifier();
    info.SerialNumber = port.serialNumber();
    info.Manufacturer = port.manufacturer();
    info.Description = port.description();
    return info;
}

} // namespace

QList<SerialDeviceInfo> ListSerialDevices() {
    QList<SerialDeviceInfo> list;
    const QStringList devices = TComm::DeviceList();
    for (const QString& device : devices)
        list << describePath(device, devices);
    return list;
}

SerialDeviceInfo DescribeDevice(const QString& portName) {
    // The device list is read once: it names what "ComN" opens and each device's Com number.
    const QStringList devices = TComm::DeviceList();
    return describePath(DevicePathForName(portName.toLocal8Bit(), devices), devices);
}

QString DeviceColumnText(const SerialDeviceInfo& info) {
    QString text = info.Path;
    if (!info.Description.isEmpty())
        text += QLatin1Char(' ') + info.Description;
    if (!info.SerialNumber.isEmpty())
        text += QLatin1Char(' ') + info.SerialNumber;
    return text;
}

PortFaultFacts DiagnosePortFault(const QString& port, const QString& path,
                                 QSerialPort::SerialPortError error, const QString& errorText,
                                 bool lost) {
    PortFaultFacts f;
    f.Port = port;
    const QString canonical = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    f.Path = canonical.isEmpty() ? path : canonical;
    if (lost) {
        f.Fault = PortFault::Lost;
        f.Others = PortOpenHoldersText(f.Path, &f.Holder);
        return f;
    }
    if (error == QSerialPort::NoError)
        return f; // closed on purpose, not refused: nothing to explain
    if (path.isEmpty() || !QFileInfo::exists(path) || error == QSerialPort::DeviceNotFoundError) {
        f.Fault = PortFault::NoDevice;
        if (path.isEmpty())
            f.DeviceCount = int(TComm::DeviceList().size());
        return f;
    }
    // A lock naming a live program says who holds the port, whatever error the open gave.
    f.HolderPid = PortLockHolder(f.Path, false);
    if (f.HolderPid == 0 && !MayOpen(f.Path) && errno == EACCES) {
        f.Fault = PortFault::Denied;
        DeviceGroup(f.Path, &f.Group, &f.GroupPending);
        return f;
    }
    if (f.HolderPid == 0 && error == QSerialPort::PermissionError)
        f.HolderPid = PortFirstOpenHolder(f.Path); // an exclusive open without a lock file
    if (f.HolderPid != 0 || error == QSerialPort::PermissionError) {
        f.Fault = PortFault::Held;
        if (f.HolderPid != 0)
            f.Holder = PortProcessName(f.HolderPid);
        return f;
    }
    f.Fault = PortFault::Other;
    f.Detail = errorText;
    return f;
}

QStringList PortAccessHint() {
    if (::geteuid() == 0)
        return {};
    bool anyDevice = false;
    QString group;
    bool pending = false;
    for (const QString& path : TComm::DeviceList()) {
        if (MayOpen(path))
            return {};
        if (errno != EACCES)
            continue;
        anyDevice = true;
        DeviceGroup(path, &group, &pending);
    }
    return anyDevice ? PortAccessHintText(group, pending) : QStringList();
}
