#include "app/ZubBootLoadMain.h"

// STUB: replaced by the update command.
void TForm1::BtnWebUpdateClick() {}
