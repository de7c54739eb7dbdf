// The window's controls to and from "default.ini".
#include "app/ZubBootLoadMain.h"
#include "settings/SettingsText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

namespace {

// An index outside the list leaves it with no selected row, as save writes -1 for one.
void selectRow(QComboBox* box, int index) {
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

} // namespace

void TForm1::SaveSettings(const QString& path) {
    SettingsValues v;
    v.CmbComPort = CmbComPort->currentText();
    v.CmbProtocol = CmbProtocol->currentIndex();
    v.CmbBaudRate = CmbBaudRate->currentIndex();
    v.EdFileName = EdFileName->text();
    v.CmbModel = CmbModel->currentIndex();
    v.CbBlankSkip = CbBlankSkip->isChecked();
    v.CbAutoReset = CbAutoReset->isChecked();
    v.CbAutoDevSearch = CbAutoDevSearch->isChecked();
    v.RbLocalFile = RbLocalFile->isChecked();
    // A file that cannot be written is passed over without a word; the old one stays as it was.
    (void)WriteSettingsFile(path, FormatSettings(v));
}

void TForm1::LoadSettings(const QString& path) {
    // Found or not, the operator has now had the chance to see their choices restored, so
    // closing may write the file from here on.
    SettingsLoaded = true;
    ParsedSettings p;
    if (LoadSettingsFile(path, p) != SettingsError::None) {
        ShowMessage(QStringLiteral("[Warnning]Cannot Read a Initial File!!!"));
        return;
    }
    if (p.CmbComPort) {
        // Typed names (a /dev/serial/by-id path) are shown as text; a listed name also
        // selects its row so the drop-down agrees with the text.
        const int row =
            CmbComPort->findText(*p.CmbComPort, Qt::MatchFixedString | Qt::MatchCaseSensitive);
        if (row >= 0)
            CmbComPort->setCurrentIndex(row);
        CmbComPort->setEditText(*p.CmbComPort);
    }
    if (p.CmbProtocol)
        selectRow(CmbProtocol, *p.CmbProtocol);
    if (p.CmbBaudRate)
        selectRow(CmbBaudRate, *p.CmbBaudRate);
    if (p.EdFileName)
        EdFileName->setText(*p.EdFileName);
    if (p.CmbModel)
        selectRow(CmbModel, *p.CmbModel);
    if (p.CbBlankSkip)
        CbBlankSkip->setChecked(*p.CbBlankSkip);
    if (p.CbAutoReset)
        CbAutoReset->setChecked(*p.CbAutoReset);
    if (p.CbAutoDevSearch)
        CbAutoDevSearch->setChecked(*p.CbAutoDevSearch);
    if (p.RbLocalFile) {
        if (*p.RbLocalFile)
            RbLocalFile->setChecked(true);
        else
            RbWebFile->setChecked(true);
    }
}
