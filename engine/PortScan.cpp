#include "engine/DownloadEngine.h"

#include "link/PortInfo.h"
#include "link/PortNames.h"

#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

constexpr int32_t ScanIdle = 0;
constexpr int32_t ScanStart = 10;
constexpr int32_t ScanNext = 12;
constexpr int32_t ScanTry = 13;

// The device the port names, links resolved, as /proc shows it among a process's open files.
QString deviceOf(const TComm& comm) {
    const QString path = comm.ResolvedDevicePath();
    const QString canonical = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

} // namespace

bool DownloadEngine::OpenPort() {
    if (!Comm1.Enabled())
        Comm1.Open();
    PortOpened = Comm1.Enabled();
    QThread::msleep(200);
    return PortOpened;
}

void DownloadEngine::ClosePort() {
    if (Comm1.Enabled())
        Comm1.Close();
}

QString DownloadEngine::AddPortFaultReason() {
    const QString reason = PortFaultReason(Comm1);
    if (!reason.isEmpty())
        AddLog(reason);
    return reason;
}

QString DownloadEngine::PortSharers() const {
    return PortOpenHoldersText(deviceOf(Comm1));
}

void DownloadEngine::WarnIfPortShared() {
    if (!Comm1.Enabled())
        return;
    const QString device = deviceOf(Comm1);
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

int DownloadEngine::BaudRateBoxCode() const {
    // The row whose text the box shows; typed text may differ from the selected row.
    const int code = RateCodeForItemText(Choices.RateText());
    return code >= 0 ? code : -1;
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
        Comm1.SetBaudRate(BaudRateBoxCode());
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
        QThread::msleep(50);
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
