// The image source controls: the local file, the model list and its presets.
#include "app/ZubBootLoadMain.h"

#include "engine/Progress.h"
#include "image/ImageList.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <optional>

namespace {

// A download is running from Start until it ends in Idle or parks waiting for the next Start.
bool DownloadRunning(int32_t state) {
    return state != DownloadStep::Idle && state != DownloadStep::WaitNext;
}

} // namespace

void TForm1::ConnectImage() {
    connect(BtnLocalFile, &QPushButton::clicked, this, [this] { BtnLocalFileClick(); });
    connect(RbLocalFile, &QRadioButton::clicked, this, [this] { RbLocalFileClick(); });
    // Operator picks and typing only: programmatic changes of rows or selection raise neither.
    connect(CmbModel, &QComboBox::activated, this, [this] { CmbModelChange(); });
    connect(CmbModel->lineEdit(), &QLineEdit::textEdited, this, [this] { CmbModelChange(); });
    connect(&Engine, &DownloadEngine::ModelListRead, this, &TForm1::ShowModelList);
}

void TForm1::BtnLocalFileClick() {
    // A new image must never replace the one a running download is sending page by page.
    if (DownloadRunning(Engine.State())) {
        AddLog(QStringLiteral("[Error] Press Stop before choosing another file."));
        return;
    }
    const QString path = RunOpenDialog();
    if (path.isEmpty())
        return;
    if (DownloadRunning(Engine.State())) {
        AddLog(QStringLiteral("[Error] Press Stop before choosing another file."));
        return;
    }
    EdFileName->setText(path);
    // Start sends this image without loading it again while the file stays as it was.
    Engine.LoadLocalFile(EdFileName->text());
}

void TForm1::RbLocalFileClick() {
    Engine.ForgetImage();
    ProgressBar2->setValue(0);
}

void TForm1::ReadImageList(const QString& fileName) {
    Engine.ReadImageList(fileName);
}

void TForm1::ShowModelList(const QStringList& models) {
    // Programmatic changes raise no CmbModelChange (it listens to operator signals only).
    CmbModel->clear();
    CmbModel->addItems(models);
    CmbModel->setCurrentIndex(0);
}

void TForm1::CmbModelChange() {
    Engine.ForgetImage();
    if (const std::optional<ModelPreset> preset = ModelPresetOf(CmbModel->currentText())) {
        CbAutoReset->setChecked(preset->AutoReset);
        CbBlankSkip->setChecked(preset->BlankSkip);
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
