#include "app/ZubBootLoadMain.h"

#include "image/ImageList.h"

#include <QCheckBox>
#include <QComboBox>

#include <algorithm>

void TForm1::ReadImageList(const QString& fileName) {
    ImageListText list;
    if (!ReadImageListFile(fileName, list)) {
        ShowMessage(QStringLiteral("[ERROR] Cannot a Hex_List File!"));
        return;
    }

    // Programmatic changes raise no CmbModelChange (it listens to operator signals only).
    CmbModel->clear();
    for (size_t i = 0; i < list.Rows.size(); ++i) {
        CmbModel->addItem(list.Rows[i].ModelName);
        ModelFiles[i] = list.Rows[i].FileName;
    }
    CmbModel->setCurrentIndex(0);
    if (list.MoreRows)
        AddLog(QStringLiteral("[WARNING] Hex_List File has more than 20 models: only the first 20 "
                              "are listed."));
}

void TForm1::CmbModelChange() {
    ImageEnd = 0;
    ServerImageAccepted = false;
    const QString text = CmbModel->currentText();
    if (text.startsWith(QLatin1Char('P'))) {
        CbAutoReset->setChecked(true);
        CbBlankSkip->setChecked(true);
    } else if (text.startsWith(QLatin1Char('A'))) {
        CbAutoReset->setChecked(true);
        CbBlankSkip->setChecked(false);
    }
}

int TForm1::SelectedModelRow() const {
    // The row whose text stands in the box: typing leaves Qt's current index on the row picked
    // before, which must not silently stand for a model the operator typed over.
    const int rows = std::min(CmbModel->count(), ImageListCapacity);
    const QString text = CmbModel->currentText();
    const int current = CmbModel->currentIndex();
    if (current >= 0 && current < rows && CmbModel->itemText(current) == text)
        return current;
    for (int i = 0; i < rows; ++i) {
        if (CmbModel->itemText(i) == text)
            return i;
    }
    return -1;
}
