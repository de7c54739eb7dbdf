// The port box: the operator's picks reach the engine, the port scan's findings fill the list.
#include "app/ZubBootLoadMain.h"

#include <QComboBox>
#include <QLineEdit>

void TForm1::ConnectLink() {
    DownloadEngine* e = &Engine;
    // Operator picks and typing only: the scan's own list changes must not close the port.
    connect(CmbComPort, &QComboBox::activated, e, [e] { e->CmbComPortChange(); });
    connect(CmbComPort->lineEdit(), &QLineEdit::textEdited, e, [e] { e->CmbComPortChange(); });
    connect(e, &DownloadEngine::PortListCleared, this, &TForm1::ClearPortList);
    connect(e, &DownloadEngine::PortFound, this, &TForm1::AddFoundPort);
}

void TForm1::ClearPortList() {
    // clear() on an editable box also empties its text: the operator's text stays.
    const QString shown = CmbComPort->currentText();
    CmbComPort->clear();
    CmbComPort->setEditText(shown);
}

void TForm1::AddFoundPort(const QString& name) {
    // The first row added to an empty editable box becomes its text: keep the text.
    const QString shown = CmbComPort->currentText();
    CmbComPort->addItem(name);
    if (CmbComPort->currentText() != shown)
        CmbComPort->setEditText(shown);
}
