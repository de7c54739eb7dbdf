#include "link/TComm.h"

#include <QSerialPort>

// STUB: replaced by the serial component.
TComm::TComm(QObject* parent) : QObject(parent), port_(new QSerialPort(this)) {}
TComm::~TComm() = default;
void TComm::SetDeviceName(const QByteArray& name) { name_ = name; }
QByteArray TComm::DeviceName() const { return name_; }
void TComm::SetBaudRate(int code) { if (code >= 0 && code <= 14) rateCode_ = code; }
int TComm::BaudRateCode() const { return rateCode_; }
void TComm::Open() {}
void TComm::Close() {}
bool TComm::Enabled() const { return false; }
int TComm::Write(const void*, int) { return 0; }
int TComm::InQueCount() { return 0; }
int TComm::Read(void*, int) { return 0; }
qint32 TComm::KernelBaudRate() const { return 0; }
QString TComm::ResolvedDevicePath() const { return QString(); }
void TComm::SetDeviceListProvider(std::function<QStringList()>) {}
QStringList TComm::DeviceList() { return {}; }
