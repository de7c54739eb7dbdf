#include "app/ZubBootLoadMain.h"

// STUB: replaced by the image-list implementation.
void TForm1::ReadImageList(const QString&) {}
void TForm1::CmbModelChange() {}
