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

SettingsValues TForm1::SettingsOfControls() const {
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
    return v;
}

void TForm1::SaveSettings(const QString& path) {
    // A file that cannot be written is passed over without a word; the old one stays as it was.
    (void)WriteSettingsFile(path, FormatSettings(SettingsOfControls()));
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
    SettingsValues v = SettingsOfControls();
    ApplySettings(p, &v);
    if (p.CmbComPort) {
        // Typed names (a /dev/serial/by-id path) are shown as text; a listed name also
        // selects its row so the drop-down agrees with the text.
        const int row =
            CmbComPort->findText(v.CmbComPort, Qt::MatchFixedString | Qt::MatchCaseSensitive);
        if (row >= 0)
            CmbComPort->setCurrentIndex(row);
        CmbComPort->setEditText(v.CmbComPort);
    }
    // A control the file does not name keeps its state: only the named ones are touched.
    if (p.CmbProtocol)
        selectRow(CmbProtocol, v.CmbProtocol);
    if (p.CmbBaudRate)
        selectRow(CmbBaudRate, v.CmbBaudRate);
    if (p.EdFileName)
        EdFileName->setText(v.EdFileName);
    if (p.CmbModel)
        selectRow(CmbModel, v.CmbModel);
    CbBlankSkip->setChecked(v.CbBlankSkip);
    CbAutoReset->setChecked(v.CbAutoReset);
    CbAutoDevSearch->setChecked(v.CbAutoDevSearch);
    if (v.RbLocalFile)
        RbLocalFile->setChecked(true);
    else
        RbWebFile->setChecked(true);
}
