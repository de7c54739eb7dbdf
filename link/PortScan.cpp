#include "app/ZubBootLoadMain.h"

#include "link/PortInfo.h"
#include "link/PortNames.h"

#include <QComboBox>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

constexpr int32_t ScanIdle = 0;
constexpr int32_t ScanStart = 10;
constexpr int32_t ScanNext = 12;
constexpr int32_t ScanTry = 13;

} // namespace

bool TForm1::OpenPort() {
    if (!Comm1.Enabled())
        Comm1.Open();
    PortOpened = Comm1.Enabled();
    QThread::msleep(200);
    return PortOpened;
}

void TForm1::ClosePort() {
    if (Comm1.Enabled())
        Comm1.Close();
}

QString TForm1::AddPortFaultReason() {
    const QString reason = PortFaultReason(Comm1);
    if (!reason.isEmpty())
        AddLog(reason);
    return reason;
}

QString TForm1::PortSharers() const {
    const QString path = Comm1.ResolvedDevicePath();
    const QString canonical = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    return PortOpenHoldersText(canonical.isEmpty() ? path : canonical);
}

void TForm1::WarnIfPortShared() {
    if (!Comm1.Enabled())
        return;
    const QString path = Comm1.ResolvedDevicePath();
    const QString canonical = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    const QString device = canonical.isEmpty() ? path : canonical;
    QString first;
    const QString others = PortOpenHoldersText(device, &first);
    if (!others.isEmpty())
        AddLog(PortSharedWarningText(device, others, first));
}

void TForm1::CmbComPortChange() {
    if (PortOpened) {
        Comm1.Close();
        PortOpened = false;
    }
    Comm1.SetDeviceName(CmbComPort->currentText().toLocal8Bit());
}

int TForm1::BaudRateBoxCode() const {
    // The row whose text the box shows; typed text may differ from the selected row.
    const int code = RateCodeForItemText(CmbBaudRate->currentText());
    return code >= 0 ? code : -1;
}

void TForm1::StartDeviceSearch() {
    DevCtrlState = ScanStart;
    TmDevCtrl->start();
}

void TForm1::TmDevCtrlTimer() {
    DevCtrlStep();
}

void TForm1::DevCtrlStep() {
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
        // clear() on an editable box also empties its text: the operator's text stays.
        const QString shown = CmbComPort->currentText();
        CmbComPort->clear();
        CmbComPort->setEditText(shown);
        ScanPortNo = 1;
        DevCtrlState = ScanNext;
        break;
    }
    case ScanNext:
        if (ScanPortNo > 8) {
            AddLog(QStringLiteral("[") + QString::number(CmbComPort->count()) +
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
            // The first row added to an empty editable box becomes its text: keep the text.
            const QString shown = CmbComPort->currentText();
            CmbComPort->addItem(name);
            if (CmbComPort->currentText() != shown)
                CmbComPort->setEditText(shown);
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
