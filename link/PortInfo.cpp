#include "link/PortInfo.h"

#include "link/TComm.h"

#include <QFileInfo>
#include <QSerialPortInfo>

QList<SerialDeviceInfo> ListSerialDevices() {
    QList<SerialDeviceInfo> list;
    const QStringList devices = TComm::DeviceList();
    for (int i = 0; i < devices.size(); ++i) {
        SerialDeviceInfo info = DescribeDevice(devices.at(i));
        info.ComNumber = i < 8 ? i + 1 : 0;
        list << info;
    }
    return list;
}

SerialDeviceInfo DescribeDevice(const QString& portName) {
    TComm probe;
    probe.SetDeviceName(portName.toLocal8Bit());
    SerialDeviceInfo info;
    const QString path = probe.ResolvedDevicePath();
    const QString canonical = QFileInfo(path).canonicalFilePath();
    info.Path = canonical.isEmpty() ? path : canonical;
    const QSerialPortInfo port(info.Path);
    info.HasUsbIds = port.hasVendorIdentifier() && port.hasProductIdentifier();
    info.VendorId = port.vendorIdentifier();
    info.ProductId = port.productIdentifier();
    info.SerialNumber = port.serialNumber();
    info.Manufacturer = port.manufacturer();
    info.Description = port.description();
    return info;
}

QString DeviceColumnText(const SerialDeviceInfo& info) {
    QString text = info.Path;
    if (!info.Description.isEmpty())
        text += QLatin1Char(' ') + info.Description;
    if (!info.SerialNumber.isEmpty())
        text += QLatin1Char(' ') + info.SerialNumber;
    return text;
}
