// The update command, the start-up sequence and the fetch bar.
#include "app/ZubBootLoadMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <algorithm>

void TForm1::ConnectUpdate() {
    connect(BtnWebUpdate, &QPushButton::clicked, this, [this] { BtnWebUpdateClick(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(&Engine, &DownloadEngine::FetchProgress, this, &TForm1::ShowFetchProgress);
    connect(&Engine, &DownloadEngine::FetchBarSet, this,
            [this](bool full) { ProgressBar2->setValue(full ? ProgressBar2->maximum() : 0); });
}

void TForm1::ShowFetchProgress(const UpdWork& work) {
    // Low 32 bits, as the bar's range is 32-bit. While a body has no declared length the range is
    // 0..0, which the bar shows as busy.
    const auto low32 = [](int64_t v) { return static_cast<int>(static_cast<uint32_t>(v)); };
    if (!work.Over) {
        ProgressBar2->setMaximum(low32(work.DeclaredTotal));
        ProgressBar2->setValue(low32(work.WorkCount));
    } else if (work.Saved) {
        // Full, whether or not a length was declared (an empty file too, hence at least 1).
        const int end = std::max(1, low32(work.WorkCount));
        ProgressBar2->setRange(0, end);
        ProgressBar2->setValue(end);
    } else if (ProgressBar2->maximum() == 0) {
        // Failed before any length was known: empty. With a length it stays where it stopped.
        ProgressBar2->setRange(0, 1);
        ProgressBar2->setValue(0);
    }
    // The thread is blocked inside the download: no event loop would paint the change.
    ProgressBar2->repaint();
}

// The one-shot start-up sequence: about a second after the window appears it restores the
// operator's choices, fills the model list, configures the port, and fetches a missing image list.
void TForm1::Timer1Timer() {
    // Stop first: the sequence must never run twice, even if a nested event loop (a message box)
    // lets the timer fire again while it runs.
    Timer1->stop();
    SetHourglass();

    LoadSettings(Engine.StartDirectory() + QStringLiteral("/default.ini"));

    // Reading the list selects row 0; the row restored from the settings must survive it.
    const int modelRow = CmbModel->currentIndex();
    // Bare name on purpose: the working directory is still the start directory here.
    ReadImageList(QStringLiteral("hexlist.txt"));
    // An index past the new list's end leaves no row selected.
    CmbModel->setCurrentIndex(modelRow < CmbModel->count() ? modelRow : -1);

    // Configure only; the port is opened by Start or the port scan.
    Engine.ConfigurePort(CmbComPort->currentText(), CmbBaudRate->currentIndex());

    if (CbAutoDevSearch->isChecked())
        Engine.StartDeviceSearch();

    // Saved for the next start or the update command; not read now.
    if (RbWebFile->isChecked())
        Engine.FetchMissingImageList();

    SetDefaultCursor();
}
