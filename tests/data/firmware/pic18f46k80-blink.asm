; Tiny PIC18F46K80 program: toggles RD0 for ever. Like production firmware it also carries
; ID locations, configuration words and a table in data EEPROM.
        #include <p18f46k80.inc>
        errorlevel -220, -302

        config  FOSC = INTIO2, XINST = OFF, WDTEN = OFF, PLLCFG = OFF

        org     0x200000
        db      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08

        org     0x000000
        goto    start

        org     0x000100
start:  clrf    TRISD, ACCESS
loop:   btg     LATD, 0, ACCESS
        bra     loop

        org     0xF00000
        de      0x11, 0x22, 0x33, 0x44

        end
