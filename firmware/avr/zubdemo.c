/*
 * zubdemo: an application for boards with the zubboot loader. It prints one line when it
 * starts and hands the chip back to the loader when ZubLoader's auto reset asks.
 *
 * On chips with more than 64 KiB of flash it carries a table placed above 64 KiB and prints
 * the sum of its bytes, so the line shows that the far half of the flash was written right.
 */
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>

#define BAUD ZUB_BAUD
#include <util/setbaud.h>

#include "zubboot_app.h"

#if defined(UCSR0A)
#define DEMO_UCSRA UCSR0A
#define DEMO_UCSRB UCSR0B
#define DEMO_UBRRH UBRR0H
#define DEMO_UBRRL UBRR0L
#define DEMO_UDR UDR0
#define DEMO_RXC RXC0
#define DEMO_UDRE UDRE0
#define DEMO_U2X U2X0
#define DEMO_RXEN RXEN0
#define DEMO_TXEN TXEN0
#else
#define DEMO_UCSRA UCSRA
#define DEMO_UCSRB UCSRB
#define DEMO_UBRRH UBRRH
#define DEMO_UBRRL UBRRL
#define DEMO_UDR UDR
#define DEMO_RXC RXC
#define DEMO_UDRE UDRE
#define DEMO_U2X U2X
#define DEMO_RXEN RXEN
#define DEMO_TXEN TXEN
#endif

#if FLASHEND > 0xFFFFUL
/* 8 KiB from 0x10000 up, byte k = (k * 7 + k / 256) mod 256, put there by the link. */
#define FAR_BYTES 8192UL
__asm__(".section .fartable,\"a\",@progbits\n"
        ".global fartable\n"
        "fartable:\n"
        ".set k, 0\n"
        ".rept 8192\n"
        ".byte (k * 7 + k / 256) & 0xFF\n"
        ".set k, k + 1\n"
        ".endr\n"
        ".text\n");
extern const uint8_t fartable[];
#endif

static void put(char c) {
    while (!(DEMO_UCSRA & _BV(DEMO_UDRE)))
        ;
    DEMO_UDR = c;
}

static void put_text(const char* p) {
    char c;
    while ((c = pgm_read_byte(p++)) != 0)
        put(c);
}

#if FLASHEND > 0xFFFFUL
static void put_hex(uint16_t v) {
    for (int8_t shift = 12; shift >= 0; shift -= 4) {
        uint8_t d = (v >> shift) & 0xF;
        put(d < 10 ? '0' + d : 'A' + d - 10);
    }
}
#endif

int main(void) {
    DEMO_UBRRH = UBRRH_VALUE;
    DEMO_UBRRL = UBRRL_VALUE;
#if USE_2X
    DEMO_UCSRA = _BV(DEMO_U2X);
#else
    DEMO_UCSRA = 0;
#endif
    DEMO_UCSRB = _BV(DEMO_RXEN) | _BV(DEMO_TXEN);

    put_text(PSTR("zubdemo " ZUB_CHIP " running"));
#if FLASHEND > 0xFFFFUL
    uint16_t sum = 0;
    for (uint32_t k = 0; k < FAR_BYTES; ++k)
        sum += pgm_read_byte_far(pgm_get_far_address(fartable) + k);
    put_text(PSTR(", far table sum "));
    put_hex(sum);
#endif
    put('\r');
    put('\n');

    for (;;) {
        if (DEMO_UCSRA & _BV(DEMO_RXC))
            zubboot_feed(DEMO_UDR);
    }
}
