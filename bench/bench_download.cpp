// Download speed through the real window and engine into the board simulator.
//  1. A 64 KiB image at 115200 baud with 256-byte pages over the paced simulator (the wire's
//     time is simulated byte by byte): wall time of the page phase against the wire limit,
//     frame bytes x 10 / baud.
//  2. The same paced download with each board reply held 16 ms, as a USB serial adapter does
//     when the driver is not asked for low latency: what that request saves per page.
//  3. The same image over an unpaced pty: engine ticks per page (the design's floor is two, one
//     to send and one to see the answer).
// Prints figures; asserts nothing.
#include "tst_engine_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kImageBytes = 64 * 1024;
constexpr int kPageSize = 256;
constexpr int kPages = kImageBytes / kPageSize;
constexpr int kBaud = 115200;

struct Run {
    double pageMs = 0; // from the go byte's tick to the end frame's tick
    int pageTicks = 0; // SendPage and WaitAck ticks
    double meanTickMs = 0;
    bool ok = false;
};

Run download(const QStringList& simOptions) {
    Run run;
    BoardSim sim;
    if (!sim.Start(simOptions))
        return run;
    FormRig rig;
    const QMap<int, QByteArray> image = {{0, Code(kImageBytes, 1)}};
    WriteFile(rig.Dir() + "/fw.hex", HexText(image));
    rig.SetLocal(QStringLiteral("fw.hex"));
    rig.SetPort(sim.Pty());
    rig.F().CmbBaudRate->setCurrentIndex(12); // br115200
    rig.F().CbAutoReset->setChecked(false);

    QElapsedTimer clock;
    clock.start();
    qint64 idAt = -1, endAt = -1;
    QObject::connect(&rig.F().Engine, &DownloadEngine::StateChanged, &rig.F(), [&](int32_t s) {
        if (s == 110 && idAt < 0)
            idAt = clock.nsecsElapsed();
        if (s == 114 && endAt < 0)
            endAt = clock.nsecsElapsed();
    });
    rig.Start();
    if (!rig.WaitIdle(120000))
        return run;
    QTest::qWait(100);
    run.ok = sim.Flash() == Flashed(image, 131072);
    for (const FormRig::Tick& t : rig.Ticks)
        run.pageTicks += (t.State == 111 || t.State == 112 || t.State == 113) ? 1 : 0;
    run.pageMs = (endAt - idAt) / 1e6;
    run.meanTickMs = run.pageMs / std::max(1, run.pageTicks);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const double frameBytes = kPages * (kPageSize + 3.0) + 2; // page frames and the end frame
    const double wireMs = frameBytes * 10.0 / kBaud * 1000.0;
    // The board's one-byte answers cross the wire too, one per page, in turn with the frames.
    const double turnMs = kPages * 10.0 / kBaud * 1000.0;

    const Run paced = download({QStringLiteral("--pace"), QString::number(kBaud)});
    std::printf("paced 115200 baud, %d pages of %d bytes: %s\n", kPages, kPageSize,
                paced.ok ? "flash matches" : "FLASH DIFFERS");
    std::printf("  page phase %.0f ms, wire limit %.0f ms (+%.0f ms of answers): ratio %.2f\n",
                paced.pageMs, wireMs, turnMs, paced.pageMs / wireMs);
    std::printf("  %d ticks, %.2f ticks/page, %.2f ms/tick\n", paced.pageTicks,
                double(paced.pageTicks) / kPages, paced.meanTickMs);

    const Run held = download({QStringLiteral("--pace"), QString::number(kBaud),
                               QStringLiteral("--reply-latency"), QStringLiteral("16")});
    std::printf("paced 115200 baud, replies held 16 ms (USB adapter without low latency): %s\n",
                held.ok ? "flash matches" : "FLASH DIFFERS");
    std::printf("  page phase %.0f ms, %d ticks, %.2f ticks/page, %.2f ms/tick\n", held.pageMs,
                held.pageTicks, double(held.pageTicks) / kPages, held.meanTickMs);
    std::printf("  reply latency 0 ms: %.2f ticks/page, 16 ms: %.2f ticks/page; low latency "
                "saves %.1f ms/page, %.0f%% of the page phase\n",
                double(paced.pageTicks) / kPages, double(held.pageTicks) / kPages,
                (held.pageMs - paced.pageMs) / kPages,
                held.pageMs > 0 ? 100.0 * (held.pageMs - paced.pageMs) / held.pageMs : 0.0);

    const Run unpaced = download({});
    std::printf("unpaced pty, %d pages: %s\n", kPages,
                unpaced.ok ? "flash matches" : "FLASH DIFFERS");
    std::printf("  page phase %.0f ms, %d ticks: %.2f ticks/page (floor 2), %.2f ms/tick\n",
                unpaced.pageMs, unpaced.pageTicks, double(unpaced.pageTicks) / kPages,
                unpaced.meanTickMs);
    return paced.ok && held.ok && unpaced.ok ? 0 : 1;
}
