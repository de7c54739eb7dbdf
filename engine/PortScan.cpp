#include "engine/DownloadEngine.h"

#include "link/PortInfo.h"
#include "link/PortNames.h"

#include <QFileInfo>
#include <QTimer>

namespace {

constexpr int32_t ScanIdle = 0;
constexpr int32_t ScanStart = 10;
constexpr int32_t ScanNext = 12;
constexpr int32_t ScanTry = 13;

} // namespace

bool DownloadEngine::OpenPort() {
    if (!Comm1.Enabled())
        Comm1.Open();
    PortOpened = Comm1.Enabled();
    Pause(EnginePause::AfterOpen);
    return PortOpened;
}

void DownloadEngine::ClosePort() {
    if (Comm1.Enabled())
        Comm1.Close();
}

QString DownloadEngine::PortDevice() const {
    const QString path = Comm1.ResolvedDevicePath();
    const QString canonical = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

QString DownloadEngine::PortFaultReasonText() const {
    if (Comm1.Enabled())
        return {};
    return PortFaultText(DiagnosePortFault(QString::fromLocal8Bit(Comm1.DeviceName()),
                                           Comm1.ResolvedDevicePath(), Comm1.LastError(),
                                           Comm1.LastErrorText(), Comm1.DeviceLost()));
}

QString DownloadEngine::PortSharers() const {
    return PortOpenHoldersText(PortDevice());
}

void DownloadEngine::WarnIfPortShared() {
    if (!Comm1.Enabled())
        return;
    const QString device = PortDevice();
    QString first;
    const QString others = PortOpenHoldersText(device, &first);
    if (!others.isEmpty())
        AddLog(PortSharedWarningText(device, others, first));
}

void DownloadEngine::CmbComPortChange() {
    if (PortOpened) {
        Comm1.Close();
        PortOpened = false;
    }
    Comm1.SetDeviceName(Choices.PortName().toLocal8Bit());
}

void DownloadEngine::ConfigurePort(const QString& name, int rateCode) {
    Comm1.SetDeviceName(name.toLocal8Bit());
    Comm1.SetBaudRate(rateCode);
}

void DownloadEngine::StartDeviceSearch() {
    DevCtrlState = ScanStart;
    TmDevCtrl->start();
}

void DownloadEngine::TmDevCtrlTimer() {
    DevCtrlStep();
}

void DownloadEngine::DevCtrlStep() {
    switch (DevCtrlState) {
    case ScanIdle:
        TmDevCtrl->stop();
        SetDefaultCursor();
        break;
    case ScanStart: {
        // The scan opens every port by name: a port left open would be listed as found
        // without having been tried, so it is closed first.
        ClosePort();
        SetHourglass();
        AddLog(QStringLiteral("잠시만, 장치를 찾고 있습니다..."));
        RepaintLog();
        // A typed rate that names no row keeps the component's current rate (-1 changes nothing).
        Comm1.SetBaudRate(Choices.RateCode());
        // The port list empties; the operator's text stays.
        Q_EMIT PortListCleared();
        ScanFound = 0;
        ScanPortNo = 1;
        DevCtrlState = ScanNext;
        break;
    }
    case ScanNext:
        if (ScanPortNo > 8) {
            AddLog(QStringLiteral("[") + QString::number(ScanFound) +
                   QStringLiteral("]개의 COM포트 발견"));
            DevCtrlState = ScanIdle;
        } else {
            DevCtrlState = ScanTry;
        }
        break;
    case ScanTry: {
        TmDevCtrl->stop();
        const QString name = QStringLiteral("Com") + QString::number(ScanPortNo);
        Comm1.SetDeviceName(name.toLocal8Bit());
        Pause(EnginePause::BeforeScanOpen);
        RxCount = 0;
        if (OpenPort()) {
            ++ScanFound;
            Q_EMIT PortFound(name);
            AddLog(QStringLiteral("Found COM Port : ") + name);
            ClosePort();
        }
        ScanPortNo += 1;
        DevCtrlState = ScanNext;
        TmDevCtrl->start();
        break;
    }
    default:
        break;
    }
}
