#include "link/TComm.h"

#include "link/PortLocks.h"
#include "link/PortNames.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QThread>

#include <asm/termbits.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace {

constexpr int kLockRetries = 10;
constexpr unsigned long kLockRetryMs = 20;

std::function<QStringList()>& deviceListProvider() {
    static std::function<QStringList()> provider;
    return provider;
}

// Bytes the kernel has received for `fd` that nobody has read yet.
int kernelInputCount(int fd) {
    int n = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0)
        return 0;
    return n;
}

// Bytes still in the driver's output buffer.
int kernelOutputCount(int fd) {
    int n = 0;
    if (fd < 0 || ::ioctl(fd, TIOCOUTQ, &n) != 0)
        return 0;
    return n;
}

} // namespace

TComm::TComm(QObject* parent) : QObject(parent), port_(new QSerialPort(this)) {
    port_->setBaudRate(kBaudRates[static_cast<size_t>(rateCode_)]);
    connect(port_, &QSerialPort::readyRead, this, &TComm::onReadyRead);
    connect(port_, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onError(e); });
}

TComm::~TComm() {
    if (port_->isOpen()) {
        restoreLatency();
        port_->close();
    }
}

void TComm::SetDeviceName(const QByteArray& name) {
    name_ = name;
}

QByteArray TComm::DeviceName() const {
    return name_;
}

void TComm::SetBaudRate(int code) {
    const int32_t rate = BaudRateForCode(code);
    if (rate == 0)
        return;
    rateCode_ = code;
    // Applies to the open line at once, and to every later open.
    port_->setBaudRate(rate);
}

int TComm::BaudRateCode() const {
    return rateCode_;
}

void TComm::Open() {
    if (port_->isOpen())
        return;
    deviceLost_ = false;
    QString path = ResolvedDevicePath();
    if (path.isEmpty()) {
        lastError_ = QSerialPort::DeviceNotFoundError;
        lastErrorText_ = QStringLiteral("no such device");
        return;
    }
    // Open the device itself, not a /dev/serial/by-id link to it: Qt names its lock file after
    // the path it is given, and the lock must be the one every other program sees.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (!canonical.isEmpty())
        path = canonical;
    port_->setPortName(path);
    port_->setBaudRate(kBaudRates[static_cast<size_t>(rateCode_)]);
    port_->setDataBits(QSerialPort::Data8);
    port_->setParity(QSerialPort::NoParity);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    // Qt frees a device before it removes the device's lock file, so a pseudo-terminal or
    // adapter that another program has just closed can be free while its lock still stands for a
    // moment. Such a lock is waited out briefly; a port that stays held still fails soon.
    for (int attempt = 0;; ++attempt) {
        // Qt takes a one-line lock file (minicom, lockdev, UUCP) for a stale one and removes it;
        // a lock naming a program that runs is respected all the same.
        if (PortLockHolder(path, true) != 0) {
            lastError_ = QSerialPort::PermissionError;
            lastErrorText_ = QStringLiteral("locked by another program");
            if (attempt >= kLockRetries)
                return;
            QThread::msleep(kLockRetryMs);
            continue;
        }
        if (port_->open(QIODevice::ReadWrite)) {
            lastError_ = QSerialPort::NoError;
            lastErrorText_.clear();
            requestLowLatency();
            return;
        }
        const QSerialPort::SerialPortError error = port_->error();
        lastError_ = error;
        lastErrorText_ = port_->errorString();
        port_->clearError();
        if (error != QSerialPort::PermissionError || attempt >= kLockRetries)
            return;
        QThread::msleep(kLockRetryMs);
    }
}

void TComm::Close() {
    if (!port_->isOpen())
        return;
    // Let bytes in flight leave at the rate they were written at, but never wait for ever on a
    // device that stopped taking them.
    const int fd = static_cast<int>(port_->handle());
    bool drained = flushToOs(wireTimeMs(port_->bytesToWrite()) * 2 + 500);
    if (drained && port_->isOpen()) {
        QElapsedTimer clock;
        clock.start();
        const qint64 limit = wireTimeMs(kernelOutputCount(fd)) * 2 + 500;
        while (kernelOutputCount(fd) > 0 && clock.elapsed() < limit)
            QThread::msleep(1);
        drained = kernelOutputCount(fd) == 0;
        if (drained)
            ::ioctl(fd, TCSBRK, 1); // tcdrain: the last characters leave the transmitter
    }
    if (!port_->isOpen())
        return;
    if (!drained)
        ::ioctl(fd, TCFLSH, TCOFLUSH);
    restoreLatency();
    port_->close();
    port_->clearError();
}

bool TComm::Enabled() const {
    return port_->isOpen();
}

int TComm::Write(const void* buffer, int count) {
    if (!port_->isOpen() || buffer == nullptr || count <= 0)
        return 0;
    const qint64 queuedBefore = port_->bytesToWrite();
    const qint64 taken = port_->write(static_cast<const char*>(buffer), count);
    if (taken <= 0)
        return 0;
    const bool all = flushToOs(wireTimeMs(queuedBefore + taken) * 2 + 1000);
    if (all || !port_->isOpen())
        return all ? static_cast<int>(taken) : 0;
    // The device stopped reading: what is still queued will not go out in any useful time, and
    // leaving it queued would send it after the caller has moved on.
    const qint64 left = port_->bytesToWrite();
    port_->clear(QSerialPort::Output);
    return static_cast<int>(std::clamp<qint64>(taken - left, 0, taken));
}

int TComm::InQueCount() {
    if (!port_->isOpen())
        return 0;
    // Qt counts only what it has already fetched; pull in what waits in the kernel as well.
    const bool wasBusy = busy_;
    busy_ = true;
    for (int i = 0;
         i < 4 && port_->isOpen() && kernelInputCount(static_cast<int>(port_->handle())) > 0; ++i) {
        if (!port_->waitForReadyRead(0))
            break;
    }
    busy_ = wasBusy;
    if (!port_->isOpen())
        return 0;
    if (port_->error() == QSerialPort::TimeoutError)
        port_->clearError();
    const qint64 n = port_->bytesAvailable();
    if (n > 0)
        scheduleRxCheck();
    return static_cast<int>(std::min<qint64>(n, INT32_MAX));
}

int TComm::Read(void* buffer, int count) {
    if (!port_->isOpen() || buffer == nullptr || count <= 0)
        return 0;
    const qint64 n = port_->read(static_cast<char*>(buffer), count);
    if (port_->bytesAvailable() > 0)
        scheduleRxCheck();
    return n > 0 ? static_cast<int>(n) : 0;
}

qint32 TComm::KernelBaudRate() const {
    if (!port_->isOpen())
        return 0;
    struct termios2 tio {};
    if (::ioctl(static_cast<int>(port_->handle()), TCGETS2, &tio) != 0)
        return 0;
    return static_cast<qint32>(tio.c_ospeed);
}

QString TComm::ResolvedDevicePath() const {
    if (ComPortNumber(name_) > 0)
        return DevicePathForName(name_, DeviceList());
    return DevicePathForName(name_, {});
}

void TComm::SetDeviceListProvider(std::function<QStringList()> provider) {
    deviceListProvider() = std::move(provider);
}

QStringList TComm::DeviceList() {
    QStringList names;
    if (deviceListProvider()) {
        names = deviceListProvider()();
    } else {
        const auto ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo& info : ports)
            names << info.systemLocation();
    }
    return SortDeviceNames(names);
}

void TComm::onReadyRead() {
    if (busy_) {
        scheduleRxCheck();
        return;
    }
    emitPendingRx();
}

void TComm::onError(QSerialPort::SerialPortError error) {
    if (!port_->isOpen())
        return;
    bool gone = error == QSerialPort::ResourceError;
    if (error == QSerialPort::ReadError || error == QSerialPort::WriteError) {
        // A hung-up line (the far end of a pseudo-terminal closed) reads as end of file, which
        // Qt reports as a read error over and over: the device is gone all the same.
        pollfd p{static_cast<int>(port_->handle()), POLLIN | POLLOUT, 0};
        gone = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    // The device is gone (adapter pulled, peer closed): nothing can be drained.
    if (gone) {
        deviceLost_ = true;
        lastError_ = error;
        lastErrorText_ = port_->errorString();
        lowLatencySet_ = false;
        port_->close();
    }
}

void TComm::scheduleRxCheck() {
    if (rxCheckQueued_)
        return;
    rxCheckQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            rxCheckQueued_ = false;
            emitPendingRx();
        },
        Qt::QueuedConnection);
}

void TComm::emitPendingRx() {
    if (!port_->isOpen())
        return;
    const qint64 n = port_->bytesAvailable();
    if (n > 0)
        Q_EMIT RxChar(static_cast<int>(std::min<qint64>(n, INT32_MAX)));
}

bool TComm::flushToOs(qint64 deadlineMs) {
    QElapsedTimer clock;
    clock.start();
    // Waiting for the output also fetches input; its event comes later from the event loop.
    const bool wasBusy = busy_;
    busy_ = true;
    while (port_->isOpen() && port_->bytesToWrite() > 0) {
        const qint64 left = deadlineMs - clock.elapsed();
        if (left <= 0)
            break;
        port_->waitForBytesWritten(static_cast<int>(std::min<qint64>(left, 100)));
    }
    busy_ = wasBusy;
    if (port_->isOpen() && port_->error() == QSerialPort::TimeoutError)
        port_->clearError();
    return port_->isOpen() && port_->bytesToWrite() == 0;
}

void TComm::requestLowLatency() {
    lowLatencySet_ = false;
    const int fd = static_cast<int>(port_->handle());
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    lowLatencySet_ = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void TComm::restoreLatency() {
    if (!lowLatencySet_)
        return;
    // The adapter goes back to how other programs found it.
    lowLatencySet_ = false;
    const int fd = static_cast<int>(port_->handle());
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
}

qint64 TComm::wireTimeMs(qint64 bytes) const {
    // Ten bit times per byte (start, eight data, stop).
    return bytes * 10 * 1000 / kBaudRates[static_cast<size_t>(rateCode_)];
}
