#include "app/ZubBootLoadMain.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTimer>

void TForm1::ConnectLink() {
    connect(&Comm1, &TComm::RxChar, this, [this](int count) { Comm1RxChar(count); });
    connect(TmDevCtrl, &QTimer::timeout, this, [this] { TmDevCtrlTimer(); });
    // Operator picks and typing only: the scan's own list changes must not close the port.
    connect(CmbComPort, &QComboBox::activated, this, [this] { CmbComPortChange(); });
    connect(CmbComPort->lineEdit(), &QLineEdit::textEdited, this, [this] { CmbComPortChange(); });
}
