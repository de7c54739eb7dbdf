/* Tiny ATmega128 program: copies a table kept at the top of flash to PORTA. The table sits
 * past 64 KiB, so its HEX records need an extended address. */
#include <avr/eeprom.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>

#define TABLE_SIZE 1024

/* Placed at 0x1FC00 by the link line, so its last byte is the last byte of flash (0x1FFFF). */
const uint8_t far_table[TABLE_SIZE] __attribute__((section(".fartable"), used)) = {
#define R4(n) (uint8_t)(n), (uint8_t)((n) + 1), (uint8_t)((n) + 2), (uint8_t)((n) + 3)
#define R16(n) R4(n), R4((n) + 4), R4((n) + 8), R4((n) + 12)
#define R64(n) R16(n), R16((n) + 16), R16((n) + 32), R16((n) + 48)
#define R256(n) R64(n), R64((n) + 64), R64((n) + 128), R64((n) + 192)
    R256(0x10), R256(0x37), R256(0x5B), R256(0xA1)};

uint8_t EEMEM settings[4] = {0xDE, 0xAD, 0xBE, 0xEF};

FUSES = {.low = 0xE4, .high = 0x99, .extended = 0xFF};
LOCKBITS = 0xFC;

int main(void) {
    DDRA = 0xFF;
    for (;;) {
        for (uint16_t i = 0; i < TABLE_SIZE; ++i)
            PORTA = pgm_read_byte_far(pgm_get_far_address(far_table) + i);
        PORTB = eeprom_read_byte(&settings[0]);
    }
}
