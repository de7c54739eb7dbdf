#include "app/ZubBootLoadMain.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

void TForm1::ConnectUpdate() {
    connect(BtnWebUpdate, &QPushButton::clicked, this, [this] { BtnWebUpdateClick(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    Upd.Progress = [this](const UpdWork& work) { ShowFetchProgress(work); };
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
