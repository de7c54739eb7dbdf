// What the system knows of its serial devices: the port list of the command-line loader, the
// production record's device column and the reasons a port could not be opened.
#pragma once

#include "link/PortFaults.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

class TComm;

struct SerialDeviceInfo {
    int ComNumber = 0; // 1..8 when "ComN" reaches this device, else 0
    QString Path;      // the device, symlinks resolved: /dev/ttyUSB0
    QString ById;      // its /dev/serial/by-id name, or empty
    bool HasUsbIds = false;
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    QString SerialNumber;
    QString Manufacturer;
    QString Description;
};

// Every serial device the system has, in the order Com1..Com8 index them.
QList<SerialDeviceInfo> ListSerialDevices();

// The device an open of `portName` reaches ("Com3", a path, a by-id link), symlinks resolved,
// with what the system knows of it.
SerialDeviceInfo DescribeDevice(const QString& portName);

// The record's device column: the path, then the description and serial number when known
// ("/dev/ttyUSB0 FT232R A50285BI").
QString DeviceColumnText(const SerialDeviceInfo& info);

// Why `comm` could not open its device (after a failed Open, or once an open device went away):
// the facts the system gives (the device, its group, a lock file or /proc naming the holder)
// and the line that says it with its usual fix. Empty when the port is open.
PortFaultFacts DiagnosePortFault(const TComm& comm);
QString PortFaultReason(const TComm& comm);

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

// For the port list: when this user may open none of the system's serial devices, the lines
// that say which group they need and what to run; empty otherwise (or as root).
QStringList PortAccessHint();
