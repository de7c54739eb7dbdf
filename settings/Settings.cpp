#include "app/ZubBootLoadMain.h"

// STUB: replaced by the settings implementation.
void TForm1::SaveSettings(const QString&) {}
void TForm1::LoadSettings(const QString&) { SettingsLoaded = true; }
