#include "app/ZubBootLoadMain.h"

#include <QEvent>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

// Sees the window's close event before its handler runs, so the engine learns that FormClose
// is under way even when it happens inside the event processing at the start of a tick.
class CloseWatch : public QObject {
public:
    CloseWatch(QObject* parent, std::function<void()> onClose)
        : QObject(parent), onClose_(std::move(onClose)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close)
            onClose_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> onClose_;
};

} // namespace

void TForm1::ConnectEngine() {
    connect(TmMainPro, &QTimer::timeout, this, [this] { TmMainProTimer(); });
    connect(BtnStart, &QPushButton::clicked, this, [this] { BtnStartClick(); });
    connect(BtnStop, &QPushButton::clicked, this, [this] { BtnStopClick(); });
    connect(BtnReset, &QPushButton::clicked, this, [this] { BtnResetClick(); });
    installEventFilter(new CloseWatch(this, [this] { CloseRequested = true; }));

    // The local-file button loads an image of its own (connected before this, so it has run
    // when "clicked" arrives here). Remember what it loaded, so that Start sends that image
    // without loading it again; a cancelled dialog loads nothing and re-stamps nothing.
    auto loadsBefore = std::make_shared<uint32_t>(0);
    connect(BtnLocalFile, &QPushButton::pressed, this,
            [this, loadsBefore] { *loadsBefore = FirmwareLoads; });
    connect(BtnLocalFile, &QPushButton::clicked, this, [this, loadsBefore] {
        if (FirmwareLoads != *loadsBefore)
            RememberLocalImage();
    });
}
