#include "app/ZubBootLoadMain.h"

#include <QPushButton>
#include <QTimer>

void TForm1::ConnectEngine() {
    connect(TmMainPro, &QTimer::timeout, this, [this] { TmMainProTimer(); });
    connect(BtnStart, &QPushButton::clicked, this, [this] { BtnStartClick(); });
    connect(BtnStop, &QPushButton::clicked, this, [this] { BtnStopClick(); });
    connect(BtnReset, &QPushButton::clicked, this, [this] { BtnResetClick(); });
}
