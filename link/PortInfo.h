// What the system knows of its serial devices: the port list of the command-line loader, the
// production record's device column and the reasons a port could not be opened.
#pragma once

#include "link/PortFaults.h"
#include "link/PortLocks.h"

#include <QList>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <cstdint>

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

// Why the port `port` (reaching `path`) could not be opened, from what the serial layer said of
// its last open (`error`, `errorText`) or that an open device went away (`lost`): the facts the
// system gives (the device, its group, a lock file or /proc naming the holder).
PortFaultFacts DiagnosePortFault(const QString& port, const QString& path,
                                 QSerialPort::SerialPortError error, const QString& errorText,
                                 bool lost);

// For the port list: when this user may open none of the system's serial devices, the lines
// that say which group they need and what to run; empty otherwise (or as root).
QStringList PortAccessHint();
