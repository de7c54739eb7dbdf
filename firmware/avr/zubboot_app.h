/*
 * zubboot_app.h: the application's half of ZubLoader's auto reset, for boards with the zubboot
 * boot loader (BOOTRST programmed, so every reset starts the loader).
 *
 * Hand every byte your program reads from the serial port ZubLoader uses to zubboot_feed().
 * When the bytes end a frame ZubLoader sends to reset a board, the chip restarts through the
 * watchdog into the boot loader, which then hears ZubLoader's wake word:
 *   02 30 01 00 33 03      jig reset (protocol NORMAL, "Auto Reset(YDR JIG)" checked)
 *   02 03 FE 01 00 04 03   mode switch of ZUB16T1
 *   02 03 FE 02 00 05 03   mode switch of ZUB16T2
 * The mode-switch frames come at 256000 baud: the application hears them only when its port
 * runs at that rate (from a crystal that makes it within 2 %, such as 12.288 MHz with U2X).
 *
 *     #include "zubboot_app.h"
 *     ...
 *     if (UCSR0A & _BV(RXC0))
 *         zubboot_feed(UDR0);
 *
 * The state is kept per translation unit: feed from one place only. Interrupts may be on;
 * zubboot_feed() may be called from a receive interrupt.
 */
#ifndef ZUBBOOT_APP_H
#define ZUBBOOT_APP_H

#include <avr/interrupt.h>
#include <avr/wdt.h>
#include <stdint.h>

/* Restarts the chip into the boot loader: the watchdog's shortest time, then a full reset. */
static inline void zubboot_restart(void) __attribute__((noreturn));
static inline void zubboot_restart(void) {
    cli();
    wdt_enable(WDTO_15MS);
    for (;;)
        ;
}

/* Looks at one received byte; does not return when it ends a reset frame. */
static inline void zubboot_feed(uint8_t c) {
    static const uint8_t jig[6] = {0x02, 0x30, 0x01, 0x00, 0x33, 0x03};
    static uint8_t last[7]; /* the last seven bytes, oldest first */
    uint8_t i;
    for (i = 0; i < 6; ++i)
        last[i] = last[i + 1];
    last[6] = c;
    if (c != 0x03)
        return;
    for (i = 0; i < 6 && last[1 + i] == jig[i]; ++i)
        ;
    if (i == 6)
        zubboot_restart();
    /* 02 03 FE 0n 00 sum 03 with n 1 or 2: ZUB16T1 or ZUB16T2 */
    if (last[0] == 0x02 && last[1] == 0x03 && last[2] == 0xFE && (last[3] == 1 || last[3] == 2) &&
        last[4] == 0x00 && last[5] == (uint8_t)(0x02 + 0x03 + 0xFE + last[3]))
        zubboot_restart();
}

#endif
