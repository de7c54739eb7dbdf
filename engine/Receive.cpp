#include "engine/DownloadEngine.h"

#include <algorithm>

void DownloadEngine::Comm1RxChar(int count) {
    if (Comm1.InQueCount() < 1)
        return;
    // Never past the end of RxBuf: what does not fit stays queued and comes with a later event.
    const int room = static_cast<int>(RxBuf.size()) - RxCount;
    const int want = std::min(count, room);
    if (want <= 0)
        return;
    const int got = Comm1.Read(RxBuf.data() + RxCount, want);
    RxCount += std::max(got, 0);
    if (RxCount > 254) {
        AddLog(QStringLiteral("Overflow : ") + QString::number(RxCount));
        RxCount = 0;
    }
}

void DownloadEngine::FlushInput() {
    // Drop everything waiting, in portions that fit RxBuf, until nothing is left. The bound only
    // guards against a device that floods without end (2 MiB: over a minute at 256000 bit/s).
    int portions = 0;
    for (int pending = Comm1.InQueCount(); pending > 0 && portions < 4096;
         pending = Comm1.InQueCount(), ++portions) {
        const int portion = std::min(pending, static_cast<int>(RxBuf.size()));
        if (Comm1.Read(RxBuf.data(), portion) <= 0)
            break;
    }
    RxCount = 0;
}
