#include "app/ZubBootLoadMain.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

void TForm1::ConnectImage() {
    connect(BtnLocalFile, &QPushButton::clicked, this, [this] { BtnLocalFileClick(); });
    connect(RbLocalFile, &QRadioButton::clicked, this, [this] { RbLocalFileClick(); });
    // Operator picks and typing only: programmatic changes of rows or selection raise neither.
    connect(CmbModel, &QComboBox::activated, this, [this] { CmbModelChange(); });
    connect(CmbModel->lineEdit(), &QLineEdit::textEdited, this, [this] { CmbModelChange(); });
}
