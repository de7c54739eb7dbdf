#include "app/ZubBootLoadMain.h"

#include <QPushButton>
#include <QTimer>

void TForm1::ConnectUpdate() {
    connect(BtnWebUpdate, &QPushButton::clicked, this, [this] { BtnWebUpdateClick(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}
