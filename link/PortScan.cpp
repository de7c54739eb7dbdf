#include "app/ZubBootLoadMain.h"

// STUB: replaced by port management and the port scan.
bool TForm1::OpenPort() { return false; }
void TForm1::ClosePort() {}
void TForm1::CmbComPortChange() {}
void TForm1::StartDeviceSearch() {}
void TForm1::DevCtrlStep() {}
void TForm1::TmDevCtrlTimer() {}
