// The serial port component: exactly the operations the program needs, over QSerialPort.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QStringList>

#include <functional>

class TComm : public QObject {
    Q_OBJECT
public:
    explicit TComm(QObject* parent = nullptr);
    ~TComm() override;

    // Names the device the next Open opens: "Com1".."Com8" (any case) stand for the system's
    // first eight serial devices; anything else is a device name or path.
    void SetDeviceName(const QByteArray& name);
    QByteArray DeviceName() const;
    // Rate codes 0-14 (110 .. 256000 bit/s); any other code changes nothing.
    void SetBaudRate(int code);
    int BaudRateCode() const;
    void Open();
    void Close();
    bool Enabled() const;
    // Hands every byte to the OS before it returns, within a deadline. Returns the bytes taken.
    int Write(const void* buffer, int count);
    int InQueCount();
    int Read(void* buffer, int count);

    // The rate the kernel really runs the open line at (read back from the driver), or 0.
    qint32 KernelBaudRate() const;
    // The device path an Open with the current name would use.
    QString ResolvedDevicePath() const;
    // Why the port is not open: the system's error of the last failed Open (a QSerialPort
    // error and its text), or that an open device went away. Cleared by a good Open.
    QSerialPort::SerialPortError LastError() const { return lastError_; }
    QString LastErrorText() const { return lastErrorText_; }
    bool DeviceLost() const { return deviceLost_; }

    // Seam: the list of serial devices that "Com1".."Com8" index into. Tests give it
    // pseudo-terminals; unset, the system's serial ports are listed.
    static void SetDeviceListProvider(std::function<QStringList()> provider);
    static QStringList DeviceList();

Q_SIGNALS:
    // The received-characters event, on the UI thread, with the number of bytes received.
    void RxChar(int count);

private:
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    // Bytes left in the input queue after a read get an event of their own later, so a reader
    // that took only part of them never leaves the rest stranded until the next byte arrives.
    void scheduleRxCheck();
    void emitPendingRx();
    // Waits until the OS holds every queued byte, or the deadline passes. True when all left.
    bool flushToOs(qint64 deadlineMs);
    qint64 wireTimeMs(qint64 bytes) const;
    // USB serial adapters hold received bytes for up to 16 ms unless asked not to; the page
    // loop waits for each one-byte answer. Drivers without the setting (a pty) are left alone.
    void requestLowLatency();
    void restoreLatency();

    QSerialPort* port_;
    QByteArray name_ = "Com1";
    int rateCode_ = 11;
    // Set while the component itself waits on the port (pulling input, writing, draining): the
    // receive event is not raised from inside those calls but queued for the event loop.
    bool busy_ = false;
    bool rxCheckQueued_ = false;
    QSerialPort::SerialPortError lastError_ = QSerialPort::NoError;
    QString lastErrorText_;
    bool deviceLost_ = false;
    // Open turned the driver's low-latency flag on; Close turns it off again.
    bool lowLatencySet_ = false;
};
