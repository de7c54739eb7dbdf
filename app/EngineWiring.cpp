// The engine's buttons and what the engine shows: log lines, boxes, the cursor, the page bar and
// the identified chip. Every connection is direct, so a line or a box comes inside the step that
// caused it, in the order the engine gives them.
#include "app/ZubBootLoadMain.h"

#include "engine/Progress.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

void TForm1::ConnectEngine() {
    DownloadEngine* e = &Engine;
    connect(BtnStart, &QPushButton::clicked, e, [e] { e->BtnStartClick(); });
    connect(BtnStop, &QPushButton::clicked, e, [e] { e->BtnStopClick(); });
    connect(BtnReset, &QPushButton::clicked, e, [e] { e->BtnResetClick(); });

    connect(e, &DownloadEngine::LogLine, this, &TForm1::AddLog);
    connect(e, &DownloadEngine::LogCleared, Memo1, &QPlainTextEdit::clear);
    connect(e, &DownloadEngine::RepaintRequested, this, &TForm1::RepaintLog);
    connect(e, &DownloadEngine::MessageBox, this, &TForm1::ShowMessage);
    connect(e, &DownloadEngine::Cursor, this, [this](bool busy) {
        if (busy)
            SetHourglass();
        else
            SetDefaultCursor();
    });
    connect(e, &DownloadEngine::PageProgress, this, &TForm1::ShowPageProgress);
    connect(e, &DownloadEngine::DeviceIdentified, this, &TForm1::ShowDevice);
    connect(e, &DownloadEngine::DeviceReleased, this, &TForm1::ClearDeviceSizes);
    connect(e, &DownloadEngine::LocalFileLock, this,
            [this](bool locked) { BtnLocalFile->setEnabled(!locked); });
}

void TForm1::ShowPageProgress(int32_t done, int32_t pages) {
    if (pages <= 0) {
        ProgressBar1->setValue(0);
        return;
    }
    const int32_t folding = ProgressMaxOf(pages);
    // A one-page image would give the bar an empty range, which Qt draws as busy.
    ProgressBar1->setMaximum(std::max<int32_t>(folding, 1));
    ProgressBar1->setValue(ProgressValueOf(done, folding));
}

void TForm1::ShowDevice(const _CPU& device) {
    EdCpu->setText(device.Name);
    EdFlashSize->setText(FlashSizeText(device.FlashSize));
    EdBootSize->setText(QString::number(device.BootSize));
    EdPageSize->setText(QString::number(device.PageSize));
    EdEepromSize->setText(QString::number(device.EepromSize));
}

void TForm1::ClearDeviceSizes() {
    for (QLineEdit* ed : {EdFlashSize, EdBootSize, EdPageSize, EdEepromSize})
        ed->setText(QStringLiteral("-----"));
}
