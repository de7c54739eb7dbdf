// The one-shot start-up sequence: about a second after the window appears it restores the
// operator's choices, fills the model list, configures the port, and fetches a missing image list.
#include "app/ZubBootLoadMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QRadioButton>
#include <QTimer>

void TForm1::Timer1Timer() {
    // Stop first: the sequence must never run twice, even if a nested event loop (a message box)
    // lets the timer fire again while it runs.
    Timer1->stop();
    SetHourglass();

    LoadSettings(StartDir + QStringLiteral("/default.ini"));

    // Reading the list selects row 0; the row restored from the settings must survive it.
    const int modelRow = CmbModel->currentIndex();
    // Bare name on purpose: the working directory is still the start directory here.
    ReadImageList(QStringLiteral("hexlist.txt"));
    // An index past the new list's end leaves no row selected.
    CmbModel->setCurrentIndex(modelRow < CmbModel->count() ? modelRow : -1);

    // Configure only; the port is opened by Start or the port scan.
    Comm1.SetDeviceName(CmbComPort->currentText().toLocal8Bit());
    Comm1.SetBaudRate(CmbBaudRate->currentIndex());

    if (CbAutoDevSearch->isChecked())
        StartDeviceSearch();

    // Saved for the next start or the update command; not read now.
    if (RbWebFile->isChecked())
        FetchMissingImageList();

    SetDefaultCursor();
}

bool TForm1::FetchMissingImageList() {
    const QString listFile = QString::fromLocal8Bit(Upd.Info.ListFile);
    // A list already on disk is never refreshed here: the update command does that.
    if (QFileInfo::exists(listFile))
        return true;
    if (!Upd.CheckServer(Upd.BaseUrl)) {
        AddLog(QStringLiteral("[장애]서버에 연결 할 수 없습니다."));
        return false;
    }
    Upd.DownloadFile(Upd.UpdateUrl, listFile);
    return true;
}
