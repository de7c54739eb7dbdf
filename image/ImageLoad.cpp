#include "app/ZubBootLoadMain.h"

// STUB: replaced by the firmware loader.
int32_t TForm1::LoadFirmwareFile(const QString&) { return 0; }
void TForm1::DecodeLodFile(const QString&, const QString&, const QString&) {}
int32_t TForm1::ParseHexRecord(const QByteArray&) { return 0; }
void TForm1::BtnLocalFileClick() {}
void TForm1::RbLocalFileClick() {}
