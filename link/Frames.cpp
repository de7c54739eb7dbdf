#include "link/Frames.h"

// STUB: replaced by the code tables.
QString ChipNameFromCode(uint8_t) { return QStringLiteral("UnKnown"); }
int32_t FlashSizeFromCode(uint8_t) { return 0; }
int32_t BootSizeFromCode(uint8_t) { return 0; }
int32_t PageSizeFromCode(uint8_t) { return 0; }
int32_t EepromSizeFromCode(uint8_t) { return 0; }
_CPU DecodeIdReply(const uint8_t*) { return {}; }
