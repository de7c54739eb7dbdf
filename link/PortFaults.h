// Why a serial port could not be opened, as one line an operator can act on, and the hint the
// port list gives a user who may open no port at all. Pure text logic: the caller gathers the
// facts from the system (link/PortInfo.cpp).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

enum class PortFault {
    None,
    NoDevice, // nothing at that path, or "ComN" past the system's devices
    Denied,   // the device exists but this user may not open it
    Held,     // another program has it (lock file, exclusive open)
    Lost,     // it was open and went away (adapter pulled, peer closed)
    Other,    // anything else: the system's own error text is shown
};

struct PortFaultFacts {
    PortFault Fault = PortFault::None;
    QString Port;        // the name as given: "Com3", "/dev/ttyUSB0", a by-id path
    QString Path;        // the device it reaches, symlinks resolved; empty for a "ComN" too far
    int DeviceCount = 0; // serial devices the system has (for "ComN" past them)
    QString Group;       // the group that owns the device (Denied)
    bool GroupPending = false; // the user is listed in Group, but this login predates it
    QString Holder;            // the holding program's name, when the system tells it (Held, Lost)
    qint64 HolderPid = 0;
    QString Others; // Lost: the other programs that have the device open ("cat (pid 7)")
    QString Detail; // the system's error text (Other)
};

// Why the port would not open, with the usual fix (the reason after the port error line), or
// empty for PortFault::None.
QString PortFaultText(const PortFaultFacts& facts);

// A warning line for a port that other programs have open as well (`others`: "cat (pid 7)"):
// whatever they read, the board's answers never reach the loader.
QString PortSharedWarningText(const QString& device, const QString& others, const QString& holder);
// The programs in `names`/`pids` as one list: "cat (pid 7), ModemManager (pid 812)".
QString ProcessListText(const QStringList& names, const QList<qint64>& pids);

// The hint the port list prints when this user may open none of the ports: the command that
// fixes it. `pending`: the user is already listed in the group, only a new login is missing.
QStringList PortAccessHintText(const QString& group, bool pending);

// Lock files: "LCK.." and the device's name below /dev with "/" as "_" (LCK..ttyUSB0,
// LCK..pts_3), as Qt and the UUCP convention name them.
QString LockFileName(const QString& devicePath);
// The owner's process id in a lock file: decimal text on the first line (blanks around it;
// UUCP, lockdev, Qt) or a 4-byte binary number (old Kermit style). 0 when it holds none.
qint64 LockFilePid(const QByteArray& contents);
// Whether a lock file names its program after the pid (Qt's form: pid, program, host lines).
bool LockFileHasOwnerName(const QByteArray& contents);
// A process name from /proc/PID/comm (one line, trailing newline dropped).
QString ProcessNameFromComm(const QByteArray& contents);
