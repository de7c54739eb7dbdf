#include "app/ZubBootLoadMain.h"

#include <QTimer>

// STUB: replaced by the start-up sequence.
void TForm1::Timer1Timer() { Timer1->stop(); }
