#include "app/ZubBootLoadMain.h"

// STUB: replaced by the download engine.
void TForm1::TmMainProTimer() { RunDownloadStep(); }
void TForm1::RunDownloadStep() {}
void TForm1::BtnStartClick() {}
void TForm1::BtnStopClick() {}
void TForm1::BtnResetClick() {}
