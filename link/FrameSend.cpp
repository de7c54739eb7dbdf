#include "app/ZubBootLoadMain.h"

// STUB: replaced by the frame writers.
void TForm1::SendCommandFrame(uint8_t, uint8_t, uint8_t) {}
bool TForm1::SendPageFrame(const uint8_t*, int32_t, int32_t, bool) { return false; }
void TForm1::SendModeSwitchFrame(int) {}
void TForm1::SendWakeWord() {}
void TForm1::SendGoByte() {}
void TForm1::SendEndFrame() {}
