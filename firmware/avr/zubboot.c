/*
 * zubboot: the serial boot loader ZubLoader talks to, for megaAVR chips.
 *
 * Linked without start-up files at the start of the boot section (BOOTRST programmed), so it
 * owns the chip from reset: no vector table, no .data, no .bss, interrupts never enabled.
 *
 * On the line, after reset:
 *   host "ZUB"            -> ">"  (again for every wake word until the go byte)
 *   host "<"              -> five identification bytes: signature, flash, boot, page, EEPROM codes
 *   host page frame       -> "!" written (or skipped: boot section), "@" send again
 *        (index hi, index lo, SPM_PAGESIZE data bytes, 8-bit sum of the data)
 *   host page frame FF FE, all data 0 -> "!" and the CRC-32 (zlib's, big-endian) of every
 *        page written since the go byte, in page order
 *   host FF FF            -> page 0 written, the application starts
 * Without a wake word within ZUB_WAKE_MS the application starts, unless its first word is erased.
 *
 * Page 0 is erased when the first page frame is accepted and kept in RAM until the end frame,
 * so a download cut at any moment leaves the loader in charge at the next reset. Pages come
 * in ascending order: a frame whose index is below the last acknowledged one (a resend of
 * that page aside) is a damaged one and answered with "@".
 *
 * Build settings (-D): F_CPU, ZUB_BAUD, ZUB_BOOT_SIZE (bytes), ZUB_WAKE_MS, ZUB_BYTE_MS.
 */
#include <avr/boot.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/wdt.h>
#include <stdint.h>

#ifndef F_CPU
#error "F_CPU (the crystal in Hz) must be given"
#endif
#ifndef ZUB_BAUD
#define ZUB_BAUD 57600
#endif
#ifndef ZUB_BOOT_SIZE
#define ZUB_BOOT_SIZE 1024
#endif
#ifndef ZUB_WAKE_MS
#define ZUB_WAKE_MS 300
#endif
#ifndef ZUB_BYTE_MS
#define ZUB_BYTE_MS 50
#endif

/* ---- identification reply: the code table's letters for this chip's real sizes ---- */

#if defined(__AVR_ATmega328P__)
#define ZB_SIGNATURE 0x8B /* "Mega328" */
#elif defined(__AVR_ATmega128__)
#define ZB_SIGNATURE 0x44 /* "Mega128" */
#elif defined(__AVR_ATmega644__)
#define ZB_SIGNATURE 0x8E /* "Mega644" */
#elif defined(__AVR_ATmega32__)
#define ZB_SIGNATURE 0x45 /* "Mega32" */
#else
#error "no signature code for this chip: add it from the host's code table"
#endif

#define ZB_FLASH_BYTES (FLASHEND + 1UL)
#if ZB_FLASH_BYTES == 1024UL
#define ZB_FLASH_CODE 'g'
#elif ZB_FLASH_BYTES == 2048UL
#define ZB_FLASH_CODE 'h'
#elif ZB_FLASH_BYTES == 4096UL
#define ZB_FLASH_CODE 'i'
#elif ZB_FLASH_BYTES == 8192UL
#define ZB_FLASH_CODE 'l'
#elif ZB_FLASH_BYTES == 16384UL
#define ZB_FLASH_CODE 'm'
#elif ZB_FLASH_BYTES == 32768UL
#define ZB_FLASH_CODE 'n'
#elif ZB_FLASH_BYTES == 65536UL
#define ZB_FLASH_CODE 'o'
#elif ZB_FLASH_BYTES == 131072UL
#define ZB_FLASH_CODE 'p'
#else
#error "the host has no flash size code for this chip"
#endif

#if ZUB_BOOT_SIZE == 128
#define ZB_BOOT_CODE 'a'
#elif ZUB_BOOT_SIZE == 256
#define ZB_BOOT_CODE 'b'
#elif ZUB_BOOT_SIZE == 512
#define ZB_BOOT_CODE 'c'
#elif ZUB_BOOT_SIZE == 1024
#define ZB_BOOT_CODE 'd'
#elif ZUB_BOOT_SIZE == 2048
#define ZB_BOOT_CODE 'e'
#elif ZUB_BOOT_SIZE == 4096
#define ZB_BOOT_CODE 'f'
#else
#error "ZUB_BOOT_SIZE must be 128, 256, 512, 1024, 2048 or 4096 bytes"
#endif

#if SPM_PAGESIZE == 32
#define ZB_PAGE_CODE 'Q'
#elif SPM_PAGESIZE == 64
#define ZB_PAGE_CODE 'R'
#elif SPM_PAGESIZE == 128
#define ZB_PAGE_CODE 'S'
#elif SPM_PAGESIZE == 256
#define ZB_PAGE_CODE 'T'
#elif SPM_PAGESIZE == 512
#define ZB_PAGE_CODE 'V'
#else
#error "the host has no page size code for this chip"
#endif

#if E2END + 1 == 64
#define ZB_EEPROM_CODE '.'
#elif E2END + 1 == 128
#define ZB_EEPROM_CODE '/'
#elif E2END + 1 == 256
#define ZB_EEPROM_CODE '0'
#elif E2END + 1 == 512
#define ZB_EEPROM_CODE '1'
#elif E2END + 1 == 1024
#define ZB_EEPROM_CODE '2'
#elif E2END + 1 == 2048
#define ZB_EEPROM_CODE '3'
#elif E2END + 1 == 4096
#define ZB_EEPROM_CODE '4'
#else
#error "the host has no EEPROM size code for this chip"
#endif

#define ZB_PAGES ((uint16_t)(ZB_FLASH_BYTES / SPM_PAGESIZE))
#define ZB_BOOT_FIRST_PAGE ((uint16_t)((ZB_FLASH_BYTES - ZUB_BOOT_SIZE) / SPM_PAGESIZE))

/* ---- the serial rate: the divisor with the smaller error, U2X where it is smaller ---- */

#define ZB_DIV16 ((F_CPU + 8UL * ZUB_BAUD) / (16UL * ZUB_BAUD)) /* UBRR + 1, normal speed */
#define ZB_DIV8 ((F_CPU + 4UL * ZUB_BAUD) / (8UL * ZUB_BAUD))   /* UBRR + 1, double speed */
/* Rate error in 1/10000 (basis points) of a divisor and its clocks per bit. */
#define ZB_RATE100(div, clk) ((F_CPU * 100UL) / ((clk) * (div)))
#define ZB_ABSDIFF(a, b) ((a) > (b) ? (a) - (b) : (b) - (a))
#define ZB_ERR(div, clk) (ZB_ABSDIFF(ZB_RATE100(div, clk), ZUB_BAUD * 100UL) * 100UL / ZUB_BAUD)

#if ZB_DIV16 >= 1 && ZB_DIV16 <= 4096 &&                                                           \
    (ZB_DIV8 > 4096 || ZB_ERR(ZB_DIV16, 16UL) <= ZB_ERR(ZB_DIV8, 8UL))
#define ZB_U2X 0
#define ZB_UBRR (ZB_DIV16 - 1)
#define ZB_RATE_ERR ZB_ERR(ZB_DIV16, 16UL)
#elif ZB_DIV8 >= 1 && ZB_DIV8 <= 4096
#define ZB_U2X 1
#define ZB_UBRR (ZB_DIV8 - 1)
#define ZB_RATE_ERR ZB_ERR(ZB_DIV8, 8UL)
#else
#error "ZUB_BAUD cannot be made from F_CPU at all"
#endif
#if ZB_RATE_ERR > 200
#error "ZUB_BAUD is more than 2 % off at this F_CPU: choose another rate or crystal"
#endif

/* ---- UART0 under either register naming ---- */

#if defined(UCSR0A)
#define ZB_UCSRA UCSR0A
#define ZB_UCSRB UCSR0B
#define ZB_UBRRH UBRR0H
#define ZB_UBRRL UBRR0L
#define ZB_UDR UDR0
#define ZB_RXC RXC0
#define ZB_UDRE UDRE0
#define ZB_U2XBIT U2X0
#define ZB_RXEN RXEN0
#define ZB_TXEN TXEN0
#else
#define ZB_UCSRA UCSRA
#define ZB_UCSRB UCSRB
#define ZB_UBRRH UBRRH /* URSEL clear: this is UBRRH, not UCSRC (8N1 already from reset) */
#define ZB_UBRRL UBRRL
#define ZB_UDR UDR
#define ZB_RXC RXC
#define ZB_UDRE UDRE
#define ZB_U2XBIT U2X
#define ZB_RXEN RXEN
#define ZB_TXEN TXEN
#endif

/* Older chips call it MCUCSR (and avr-libc poisons the newer name there). */
#if defined(MCUCSR)
#define ZB_MCUSR MCUCSR
#else
#define ZB_MCUSR MCUSR
#endif

/* ---- time: Timer1 at F_CPU / 1024, polled ---- */

/* In 64 bits: 300 ms of a 16 MHz clock's ticks times a million overflows 32. */
#define ZB_TICKS(us) ((uint16_t)(((F_CPU / 1024ULL) * (us) + 999999ULL) / 1000000ULL + 1))
#define ZB_WAKE_TICKS ZB_TICKS(ZUB_WAKE_MS * 1000UL)
/* Between the bytes of a frame: ZUB_BYTE_MS, but never under four characters at slow rates. */
#define ZB_CHAR_US (10000000UL / ZUB_BAUD + 1)
#if ZUB_BYTE_MS * 1000UL < 4 * ZB_CHAR_US
#define ZB_BYTE_TICKS ZB_TICKS(4 * ZB_CHAR_US)
#else
#define ZB_BYTE_TICKS ZB_TICKS(ZUB_BYTE_MS * 1000UL)
#endif
/* Three character times: a byte this soon after a frame's last one means the frame was longer. */
#define ZB_TRAIL_TICKS ZB_TICKS(3 * ZB_CHAR_US)
#if (F_CPU / 1024UL) * ZUB_WAKE_MS / 1000UL > 60000UL ||                                           \
    (F_CPU / 1024UL) * ZUB_BYTE_MS / 1000UL > 60000UL
#error "ZUB_WAKE_MS or ZUB_BYTE_MS too long for Timer1"
#endif

/* The page counter of the check: whichever type gives avr-gcc the smaller code (measured). */
#if (ZB_FLASH_BYTES - ZUB_BOOT_SIZE) / SPM_PAGESIZE < 256 && SPM_PAGESIZE == 256
typedef uint8_t zb_page;
#else
typedef uint16_t zb_page;
#endif
#if FLASHEND > 0xFFFFUL
typedef uint32_t zb_addr;
#define ZB_READ(a) pgm_read_byte_far(a)
#else
typedef uint16_t zb_addr;
#define ZB_READ(a) pgm_read_byte(a)
#endif

/* Fewer bytes than this before the line goes quiet are no page frame (the longest command
 * frame, the mode switch, is 7 bytes; the shortest page frame 35). */
#define ZB_SHORT_FRAME 8

#define ZB_READY 0x3E
#define ZB_GO 0x3C
#define ZB_ACK 0x21
#define ZB_RESEND 0x40

/* The session's buffers. Statics, not the stack: fixed addresses keep the code small. Nothing
 * clears them at reset (no start-up files); each session sets what it reads. */
static uint8_t zb_buf[SPM_PAGESIZE];
/* Page 0 as received: written at the end frame only. */
static uint8_t zb_first[SPM_PAGESIZE];
/* The application pages written in this session, for the check request: a byte per page, as
 * bit masks cost more code than a boot section has room for. */
static uint8_t zb_done[ZB_BOOT_FIRST_PAGE];

static void zb_main(void) __attribute__((noreturn, used));

/* The first instruction of the boot section: what crt would do that this loader needs. */
void __vectors(void) __attribute__((naked, noreturn, section(".vectors"), used));
void __vectors(void) {
    __asm__ volatile("clr __zero_reg__");
    SREG = 0;
    SP = RAMEND;
    zb_main();
}

/* The next byte, or -1 when TCNT1 reaches `limit` first (0: no limit). */
static int16_t zb_rx(uint16_t limit) {
    for (;;) {
        if (ZB_UCSRA & _BV(ZB_RXC))
            return ZB_UDR;
        if (limit && TCNT1 >= limit)
            return -1;
    }
}

static void zb_tx(uint8_t c) {
    while (!(ZB_UCSRA & _BV(ZB_UDRE)))
        ;
    ZB_UDR = c;
}

/* How much of the wake word "ZUB" ends at this byte (3: all of it). */
static __attribute__((noinline)) uint8_t zb_wake(uint8_t matched, uint8_t c) {
    if (c == 'Z')
        return 1;
    if ((matched == 1 && c == 'U') || (matched == 2 && c == 'B'))
        return matched + 1;
    return 0;
}

static uint8_t zb_app_present(void) {
    return pgm_read_word(0) != 0xFFFF;
}

/* The application gets Timer1 as reset left it. UART0 stays on at the loader's rate, as other
 * serial loaders leave it: the application sets its own (and simavr's UART never says it is
 * ready to send again after its transmitter was switched off and on). */
static void zb_start_app(void) {
    TCCR1B = 0;
    TCNT1 = 0;
#if defined(RAMPZ)
    RAMPZ = 0;
#endif
    ((void (*)(void))0)();
}

static void zb_erase(zb_addr addr) {
    boot_page_erase(addr);
    boot_spm_busy_wait();
    boot_rww_enable();
}

/* Erase, fill, write, re-enable the application section, read back: 1 when the page holds buf. */
static uint8_t zb_write_page(zb_addr addr, const uint8_t* buf) {
    /* Byte counters: a page of 256 ends where the counter wraps to 0. */
    uint8_t i = 0;
    zb_erase(addr);
    do
        boot_page_fill(addr + i, buf[i] | (uint16_t)buf[i + 1] << 8);
    while ((i += 2) != (uint8_t)SPM_PAGESIZE);
    boot_page_write(addr);
    boot_spm_busy_wait();
    boot_rww_enable();
    i = 0;
    do {
        if (ZB_READ(addr + i) != buf[i])
            return 0;
    } while (++i != (uint8_t)SPM_PAGESIZE);
    return 1;
}

/* zlib's CRC-32 register after one more byte (reflected 0xEDB88320); in assembly, as the
 * compiler's takes twice the room. */
static uint32_t zb_crc(uint32_t crc, uint8_t b) {
    uint8_t k;
    __asm__("eor %A0, %2\n\t"
            "ldi %1, 8\n"
            "1:\n\t"
            "lsr %D0\n\t"
            "ror %C0\n\t"
            "ror %B0\n\t"
            "ror %A0\n\t"
            "brcc 2f\n\t"
            "ldi %2, 0x20\n\t"
            "eor %A0, %2\n\t"
            "ldi %2, 0x83\n\t"
            "eor %B0, %2\n\t"
            "ldi %2, 0xB8\n\t"
            "eor %C0, %2\n\t"
            "ldi %2, 0xED\n\t"
            "eor %D0, %2\n"
            "2:\n\t"
            "dec %1\n\t"
            "brne 1b"
            : "+r"(crc), "=&d"(k), "+d"(b));
    return crc;
}

/* The answer to the check request: the CRC of the pages in zb_done, page 0 from its RAM copy. */
static void zb_check(void) {
    uint32_t crc = 0xFFFFFFFFUL;
    zb_addr a = 0;
    zb_page p = 0;
    do {
        uint8_t i = 0;
        do {
            if (zb_done[p])
                crc = zb_crc(crc, p ? ZB_READ(a) : zb_first[i]);
            ++a;
        } while (++i != (uint8_t)SPM_PAGESIZE);
    } while (++p != ZB_BOOT_FIRST_PAGE);
    crc = ~crc;
    zb_tx(ZB_ACK);
    zb_tx((uint8_t)(crc >> 24));
    zb_tx((uint8_t)(crc >> 16));
    zb_tx((uint8_t)(crc >> 8));
    zb_tx((uint8_t)crc);
}

/* Page frames until the end frame (returns 1) or a wake word in place of a frame (returns 0,
 * ready already answered): the host started over without resetting the board. */
static uint8_t zb_pages(void) {
    uint16_t n, index = 0, last = 0;
    uint8_t sum = 0, wake = 0, started = 0;
    for (n = 0; n < sizeof zb_done; ++n)
        zb_done[n] = 0;
    n = 0;
    for (;;) {
        TCNT1 = 0;
        int16_t c = zb_rx(n ? ZB_BYTE_TICKS : 0);
        if (c < 0) {
            /* The bytes stopped inside a frame. A wake word: the host started over. A few
             * bytes: the jig reset or a mode-switch frame, or noise, dropped. More: a frame
             * that lost bytes on the line, asked for again. */
            if (wake == 3) {
                zb_tx(ZB_READY);
                return 0;
            }
            if (n >= ZB_SHORT_FRAME)
                zb_tx(ZB_RESEND);
            n = index = sum = wake = 0;
            continue;
        }
        wake = zb_wake(wake, (uint8_t)c);
        if (n < 2) {
            index = index << 8 | (uint8_t)c;
            if (++n == 2 && index == 0xFFFF) {
                /* No chip has a page 65535: this is the end frame. A page 0 that cannot be
                 * written is erased again, so the loader keeps the chip. */
                if (zb_done[0] && !zb_write_page(0, zb_first))
                    zb_erase(0);
                return 1;
            }
            continue;
        }
        if (n < 2 + SPM_PAGESIZE) {
            zb_buf[n - 2] = (uint8_t)c;
            sum += (uint8_t)c;
            ++n;
            continue;
        }
        /* c is the frame's sum. A byte right behind it means the frame began with a stray
         * byte and is cut in the wrong place: let the line go quiet and ask again. */
        TCNT1 = 0;
        uint8_t answer = ZB_RESEND;
        if (zb_rx(ZB_TRAIL_TICKS) >= 0) {
            do
                TCNT1 = 0;
            while (zb_rx(ZB_BYTE_TICKS) >= 0);
        } else if ((uint8_t)c != sum) {
        } else if (index == 0xFFFE) {
            zb_check();
            answer = 0;
        } else if (index < ZB_PAGES && index >= last) {
            /* From the first page on, the old application no longer starts. */
            if (!started)
                zb_erase(0);
            started = 1;
            answer = ZB_ACK;
            if (index == 0) {
                uint8_t i = 0;
                do
                    zb_first[i] = zb_buf[i];
                while (++i != (uint8_t)SPM_PAGESIZE);
            } else if (index < ZB_BOOT_FIRST_PAGE) {
                if (!zb_write_page((zb_addr)index * SPM_PAGESIZE, zb_buf))
                    answer = ZB_RESEND;
            }
            /* A page of the boot section is passed over so the host goes on; this loader
             * never overwrites itself. */
            if (answer == ZB_ACK) {
                last = index;
                if (index < ZB_BOOT_FIRST_PAGE)
                    zb_done[index] = 1;
            }
        }
        if (answer)
            zb_tx(answer);
        n = index = sum = wake = 0;
    }
}

static void zb_main(void) {
    /* After a watchdog reset (the application's way here) the watchdog stays on until
     * WDRF is cleared. */
    ZB_MCUSR = 0;
    wdt_disable();

    ZB_UBRRH = (uint8_t)(ZB_UBRR >> 8);
    ZB_UBRRL = (uint8_t)ZB_UBRR;
    ZB_UCSRA = ZB_U2X ? _BV(ZB_U2XBIT) : 0;
    ZB_UCSRB = _BV(ZB_RXEN) | _BV(ZB_TXEN);
    TCCR1B = _BV(CS12) | _BV(CS10);
    TCNT1 = 0;

    uint8_t window = zb_app_present(), woke = 0, wake = 0;
    for (;;) {
        int16_t c = zb_rx(window ? ZB_WAKE_TICKS : 0);
        if (c < 0)
            zb_start_app();
        wake = zb_wake(wake, (uint8_t)c);
        if (wake == 3) {
            zb_tx(ZB_READY);
            window = 0;
            woke = 1;
        } else if (c == ZB_GO && woke) {
            zb_tx(ZB_SIGNATURE);
            zb_tx(ZB_FLASH_CODE);
            zb_tx(ZB_BOOT_CODE);
            zb_tx(ZB_PAGE_CODE);
            zb_tx(ZB_EEPROM_CODE);
            /* Back here after a new wake word (ready already sent), or after the end frame
             * when there is no application to start. */
            woke = !zb_pages();
            if (!woke && zb_app_present())
                zb_start_app();
        }
    }
}
