// Wire bytes of the boot-loader protocol and the chip code tables. Pure functions over fixed
// buffers: no allocation per frame.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// The identified chip. Field order as the protocol's record keeps it: flash, page, boot, EEPROM.
struct _CPU {
    uint8_t Signature = 0;
    QString Name;
    int32_t FlashSize = 0;
    int32_t PageSize = 0;
    int32_t BootSize = 0;
    int32_t EepromSize = 0;
};

QString ChipNameFromCode(uint8_t code);
int32_t FlashSizeFromCode(uint8_t code);
int32_t BootSizeFromCode(uint8_t code);
int32_t PageSizeFromCode(uint8_t code);
int32_t EepromSizeFromCode(uint8_t code);
_CPU DecodeIdReply(const uint8_t* reply); // the first five bytes of the reply
