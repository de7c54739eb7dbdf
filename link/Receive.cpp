#include "app/ZubBootLoadMain.h"

// STUB: replaced by serial receive.
void TForm1::Comm1RxChar(int) {}
void TForm1::FlushInput() { RxCount = 0; }
