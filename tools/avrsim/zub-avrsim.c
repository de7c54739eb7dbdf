/*
 * zub-avrsim: an AVR chip under simavr running a boot loader's real machine code, its UART0
 * on a pseudo-terminal that ZubLoader opens like a serial port.
 *
 * simavr ignores the BOOTRST fuse, so the chip starts (and restarts, watchdog included) at the
 * loader's lowest address. Host bytes go in only while the UART says its input FIFO has room
 * (XON/XOFF), or simavr drops them. Output bytes go to the terminal, and lines of text the chip
 * prints (the application's) to standard output.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <sim_irq.h>

#define READY_BYTE 0x3E

typedef struct {
    const char* mcu;
    unsigned long freq;
    const char* loader;
    const char* app;
    const char* link;
    const char* flashOut;
    int pace;
    long flip; /* 0: none */
    const char* flashIn;
    long cutByte;        /* 0: no power cut */
    unsigned long cutUs; /* simulated time from that byte to the cut */
    unsigned long runMs; /* 0: until stopped */
} options_t;

static volatile sig_atomic_t g_stop = 0;
static volatile sig_atomic_t g_powerCycle = 0;

static void on_stop(int sig) {
    (void)sig;
    g_stop = 1;
}

static void on_power_cycle(int sig) {
    (void)sig;
    g_powerCycle = 1;
}

/* ---- the host side: the pseudo-terminal ---- */

static int g_master = -1;
static char g_slavePath[PATH_MAX];
static int g_linkMade = 0;
static int g_connected = 0;

/* Bytes from the host not yet taken by the UART. */
static uint8_t g_in[8192];
static size_t g_inHead = 0, g_inTail = 0;
/* Bytes from the chip not yet taken by the terminal. */
static uint8_t g_out[8192];
static size_t g_outLen = 0;
/* The line of text the chip is printing. */
static char g_line[256];
static size_t g_lineLen = 0;

static int g_xon = 1;
static int g_readySeen = 0;
static long g_received = 0; /* bytes the chip got after its first ready byte */
static const options_t* g_opt;

static void out_byte(struct avr_irq_t* irq, uint32_t value, void* param) {
    (void)irq;
    (void)param;
    const uint8_t c = (uint8_t)value;
    if (c == READY_BYTE)
        g_readySeen = 1;
    if (g_connected && g_outLen < sizeof g_out)
        g_out[g_outLen++] = c;
    if (c == '\n') {
        if (g_lineLen) {
            fwrite(g_line, 1, g_lineLen, stdout);
            fputc('\n', stdout);
            fflush(stdout);
        }
        g_lineLen = 0;
    } else if (c >= 0x20 && c < 0x7F && g_lineLen < sizeof g_line) {
        g_line[g_lineLen++] = (char)c;
    } else if (c != '\r') {
        g_lineLen = 0; /* protocol bytes are not text */
    }
}

static void xon(struct avr_irq_t* irq, uint32_t value, void* param) {
    (void)irq;
    (void)value;
    (void)param;
    g_xon = 1;
}

static void xoff(struct avr_irq_t* irq, uint32_t value, void* param) {
    (void)irq;
    (void)value;
    (void)param;
    g_xon = 0;
}

static int open_terminal(const options_t* opt) {
    g_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (g_master < 0 || grantpt(g_master) != 0 || unlockpt(g_master) != 0 ||
        ptsname_r(g_master, g_slavePath, sizeof g_slavePath) != 0) {
        fprintf(stderr, "zub-avrsim: cannot make a pseudo-terminal: %s\n", strerror(errno));
        return 0;
    }
    /* Raw from the start, so nothing the host writes before it sets its own mode is echoed
     * or translated. Only the host keeps the slave open afterwards: its close then shows. */
    int slave = open(g_slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) {
        struct termios t;
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
        close(slave);
    }
    if (opt->link) {
        struct stat st;
        if (lstat(opt->link, &st) == 0) {
            /* A link left by an earlier run is ours to replace; anything else is not. */
            if (!S_ISLNK(st.st_mode)) {
                fprintf(stderr, "zub-avrsim: %s exists and is not a symbolic link\n", opt->link);
                return 0;
            }
            unlink(opt->link);
        }
        if (symlink(g_slavePath, opt->link) != 0) {
            fprintf(stderr, "zub-avrsim: cannot create %s: %s\n", opt->link, strerror(errno));
            return 0;
        }
        g_linkMade = 1;
    }
    printf("PTY %s\n", g_slavePath);
    fflush(stdout);
    return 1;
}

static void close_terminal(const options_t* opt) {
    if (g_linkMade) {
        char target[PATH_MAX];
        ssize_t n = readlink(opt->link, target, sizeof target - 1);
        if (n > 0) {
            target[n] = 0;
            if (strcmp(target, g_slavePath) == 0)
                unlink(opt->link);
        }
    }
    if (g_master >= 0)
        close(g_master);
}

/* Reads what the host wrote; a read error means no process holds the slave open. */
static void read_host(void) {
    for (;;) {
        size_t room = sizeof g_in - g_inTail;
        if (room == 0) {
            if (g_inHead == 0)
                return; /* full: the chip takes it first */
            memmove(g_in, g_in + g_inHead, g_inTail - g_inHead);
            g_inTail -= g_inHead;
            g_inHead = 0;
            continue;
        }
        ssize_t n = read(g_master, g_in + g_inTail, room);
        if (n > 0) {
            g_connected = 1;
            g_inTail += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            g_connected = 1;
            return;
        }
        /* EIO: the host closed the port. What it had not yet sent is gone with it. */
        g_connected = 0;
        g_outLen = 0;
        return;
    }
}

static void write_host(void) {
    if (!g_outLen)
        return;
    ssize_t n = write(g_master, g_out, g_outLen);
    if (n > 0) {
        memmove(g_out, g_out + n, g_outLen - (size_t)n);
        g_outLen -= (size_t)n;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        g_outLen = 0;
    }
}

static void feed_chip(avr_irq_t* input) {
    while (g_xon && g_inHead < g_inTail) {
        uint8_t c = g_in[g_inHead++];
        if (g_readySeen && g_opt->flip && ++g_received == g_opt->flip) {
            c = (uint8_t)~c;
            fprintf(stderr, "zub-avrsim: byte %ld after ready inverted\n", g_opt->flip);
        }
        g_lineLen = 0; /* what the chip prints next answers this byte */
        avr_raise_irq(input, c);
    }
    if (g_inHead == g_inTail)
        g_inHead = g_inTail = 0;
}

/* ---- images ---- */

static int put_flash(avr_t* avr, const char* path, uint32_t base, const uint8_t* data,
                     uint32_t size, uint32_t* lowest) {
    if (base > avr->flashend || size > avr->flashend + 1 - base) {
        fprintf(stderr, "zub-avrsim: %s: bytes at 0x%X..0x%X are beyond the %s's flash\n", path,
                base, base + size - 1, g_opt->mcu);
        return 0;
    }
    memcpy(avr->flash + base, data, size);
    if (base < *lowest)
        *lowest = base;
    return 1;
}

static int hex_value(const char* p, int digits, uint32_t* out) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = p[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return 0;
        v = v << 4 | (uint32_t)d;
    }
    *out = v;
    return 1;
}

/* Intel HEX as avr-objcopy writes it (data, end, segment and linear base, start records);
 * every record's sum checked, every byte inside the flash. */
static int load_hex(avr_t* avr, const char* path, uint32_t* lowest) {
    FILE* f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "zub-avrsim: cannot open %s: %s\n", path, strerror(errno));
        return 0;
    }
    char line[600];
    uint32_t base = 0;
    int lineNo = 0, ended = 0, ok = 1;
    while (ok && !ended && fgets(line, sizeof line, f)) {
        ++lineNo;
        size_t len = strcspn(line, "\r\n");
        line[len] = 0;
        if (len == 0)
            continue;
        uint32_t count = 0, offset = 0, type = 0, v = 0;
        uint8_t data[256];
        ok = line[0] == ':' && len >= 11 && hex_value(line + 1, 2, &count) &&
             len == 11 + 2 * count && hex_value(line + 3, 4, &offset) &&
             hex_value(line + 7, 2, &type);
        uint8_t sum = (uint8_t)(count + (offset >> 8) + offset + type);
        for (uint32_t i = 0; ok && i <= count; ++i) {
            ok = hex_value(line + 9 + 2 * i, 2, &v);
            sum += (uint8_t)v;
            if (i < count)
                data[i] = (uint8_t)v;
        }
        if (!ok || sum != 0) {
            fprintf(stderr, "zub-avrsim: %s line %d: not a valid Intel HEX record\n", path, lineNo);
            ok = 0;
            break;
        }
        if (type == 0)
            ok = put_flash(avr, path, base + offset, data, count, lowest);
        else if (type == 1)
            ended = 1;
        else if ((type == 2 || type == 4) && count == 2)
            base = ((uint32_t)data[0] << 8 | data[1]) << (type == 2 ? 4 : 16);
        else if (type != 3 && type != 5) {
            fprintf(stderr, "zub-avrsim: %s line %d: record type %u unknown\n", path, lineNo,
                    (unsigned)type);
            ok = 0;
        }
    }
    fclose(f);
    if (ok && *lowest == UINT32_MAX) {
        fprintf(stderr, "zub-avrsim: %s holds no program\n", path);
        ok = 0;
    }
    return ok;
}

/* An ELF file (by its magic) or Intel HEX into the flash; *lowest gets its lowest address. */
static int load_image(avr_t* avr, const char* path, uint32_t* lowest) {
    unsigned char magic[4] = {0};
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "zub-avrsim: cannot open %s: %s\n", path, strerror(errno));
        return 0;
    }
    size_t got = fread(magic, 1, sizeof magic, f);
    fclose(f);
    *lowest = UINT32_MAX;
    if (got == 4 && memcmp(magic,
                           "\x7F"
                           "ELF",
                           4) == 0) {
        elf_firmware_t fw;
        memset(&fw, 0, sizeof fw);
        /* simavr reports what it loaded on standard output, where only our lines belong. */
        fflush(stdout);
        int saved = dup(STDOUT_FILENO), devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && devnull >= 0)
            dup2(devnull, STDOUT_FILENO);
        int bad = elf_read_firmware(path, &fw) != 0 || !fw.flash;
        fflush(stdout);
        if (saved >= 0 && devnull >= 0)
            dup2(saved, STDOUT_FILENO);
        if (saved >= 0)
            close(saved);
        if (devnull >= 0)
            close(devnull);
        if (bad) {
            fprintf(stderr, "zub-avrsim: %s: not an AVR program\n", path);
            return 0;
        }
        int ok = put_flash(avr, path, fw.flashbase, fw.flash, fw.flashsize, lowest);
        free(fw.flash);
        free(fw.eeprom);
        free(fw.fuse);
        free(fw.lockbits);
        for (uint32_t i = 0; i < fw.symbolcount; ++i)
            free(fw.symbol[i]);
        free(fw.symbol);
        return ok;
    }
    return load_hex(avr, path, lowest);
}

/* Whole or not at all, and never through a link put in its place. */
static int save_flash(const avr_t* avr, const char* path) {
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= (int)sizeof tmp) {
        fprintf(stderr, "zub-avrsim: %s: name too long\n", path);
        return 0;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ELOOP) {
        fprintf(stderr, "zub-avrsim: cannot write %s: %s is a symbolic link, not followed\n", path,
                tmp);
        return 0;
    }
    size_t left = avr->flashend + 1, done = 0;
    int ok = fd >= 0;
    while (ok && left) {
        ssize_t n = write(fd, avr->flash + done, left);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok) {
            done += (size_t)n;
            left -= (size_t)n;
        }
    }
    if (fd >= 0 && close(fd) != 0)
        ok = 0;
    if (ok && rename(tmp, path) != 0)
        ok = 0;
    if (!ok) {
        fprintf(stderr, "zub-avrsim: cannot write %s: %s\n", path, strerror(errno));
        unlink(tmp);
    }
    return ok;
}

/* ---- power: a flash kept across runs, a cut at a chosen moment, a run of fixed length ---- */

/* A whole flash as --flash-out wrote it, so a run can go on where a cut one ended. */
static int load_flash(avr_t* avr, const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "zub-avrsim: cannot open %s: %s\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return 0;
    }
    const size_t size = avr->flashend + 1;
    if (!S_ISREG(st.st_mode) || (size_t)st.st_size != size) {
        fprintf(stderr, "zub-avrsim: %s is not a flash of %zu bytes (the %s's)\n", path, size,
                g_opt->mcu);
        close(fd);
        return 0;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, avr->flash + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "zub-avrsim: cannot read %s: %s\n", path,
                    n < 0 ? strerror(errno) : "shorter than it was");
            close(fd);
            return 0;
        }
        done += (size_t)n;
    }
    close(fd);
    return 1;
}

static long g_cutCount = 0; /* bytes the chip got after its first ready byte */
static avr_cycle_count_t g_cutCycle = 0;
static int g_cutArmed = 0;

/* Counts what the UART receives, for the cut; separate from the feeding so pacing is untouched. */
static void cut_count(struct avr_irq_t* irq, uint32_t value, void* param) {
    (void)irq;
    (void)value;
    avr_t* avr = param;
    if (!g_readySeen || g_cutArmed || ++g_cutCount != g_opt->cutByte)
        return;
    g_cutArmed = 1;
    g_cutCycle = avr->cycle + (avr_cycle_count_t)((double)g_opt->cutUs * g_opt->freq / 1e6);
}

/* 1 when the power goes now: the chosen cut, or the end of a run of fixed length. */
static int power_ends(const avr_t* avr, avr_cycle_count_t start) {
    if (g_cutArmed && avr->cycle >= g_cutCycle) {
        fprintf(stderr, "zub-avrsim: power cut %lu us after byte %ld\n", g_opt->cutUs,
                g_opt->cutByte);
        return 1;
    }
    return g_opt->runMs &&
           avr->cycle - start >= (avr_cycle_count_t)g_opt->runMs * (g_opt->freq / 1000);
}

/* ---- the run ---- */

static double wall_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static void usage(FILE* to) {
    fprintf(to, "Usage: zub-avrsim --loader FILE [OPTIONS]\n"
                "Runs an AVR boot loader's machine code under simavr with UART0 on a new\n"
                "pseudo-terminal; prints \"PTY <slave path>\", then every line of text the chip\n"
                "prints. SIGTERM, SIGINT or SIGHUP end it; SIGUSR1 power-cycles the chip.\n"
                "  --loader FILE      the boot loader (ELF or Intel HEX); the chip starts at its\n"
                "                     lowest address, as BOOTRST does\n"
                "  --app FILE         an application already in the flash (ELF or Intel HEX)\n"
                "  --mcu NAME         the chip, as simavr names it (default atmega328p)\n"
                "  --freq HZ          its clock (default 16000000)\n"
                "  --link PATH        also make PATH a symbolic link to the terminal\n"
                "  --flash-out FILE   write the whole flash to FILE when it ends\n"
                "  --no-pace          run as fast as the computer can instead of in real time\n"
                "  --flip N           invert the N-th byte the chip receives after its first\n"
                "                     ready byte (0x3E), to see a damaged frame answered\n"
                "  --flash-in FILE    start from a whole flash --flash-out wrote (the loader is\n"
                "                     put over it)\n"
                "  --power-cut N[+US] cut the power US microseconds (simulated) after the N-th\n"
                "                     byte the chip receives after its first ready byte: the\n"
                "                     run ends there, --flash-out holds the flash as it was\n"
                "  --run-for MS       end the run after MS milliseconds of simulated time\n");
}

static int parse_number(const char* text, unsigned long max, unsigned long* out) {
    char* end = NULL;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (!*text || *text == '-' || *end || errno || v == 0 || v > max)
        return 0;
    *out = v;
    return 1;
}

/* N or N+US */
static int parse_cut(const char* text, options_t* opt) {
    char byte[32];
    const char* plus = strchr(text, '+');
    size_t len = plus ? (size_t)(plus - text) : strlen(text);
    unsigned long n = 0, us = 0;
    if (len >= sizeof byte)
        return 0;
    memcpy(byte, text, len);
    byte[len] = 0;
    if (!parse_number(byte, 1000000000UL, &n))
        return 0;
    if (plus && strcmp(plus + 1, "0") != 0 && !parse_number(plus + 1, 10000000UL, &us))
        return 0;
    opt->cutByte = (long)n;
    opt->cutUs = us;
    return 1;
}

static int parse_options(int argc, char** argv, options_t* opt) {
    memset(opt, 0, sizeof *opt);
    opt->mcu = "atmega328p";
    opt->freq = 16000000UL;
    opt->pace = 1;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : NULL;
        unsigned long n = 0;
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
            usage(stdout);
            exit(0);
        } else if (!strcmp(a, "--no-pace")) {
            opt->pace = 0;
            continue;
        }
        if (!v) {
            fprintf(stderr, "zub-avrsim: unknown option or missing value: %s\n", a);
            return 0;
        }
        ++i;
        if (!strcmp(a, "--loader"))
            opt->loader = v;
        else if (!strcmp(a, "--app"))
            opt->app = v;
        else if (!strcmp(a, "--mcu"))
            opt->mcu = v;
        else if (!strcmp(a, "--link"))
            opt->link = v;
        else if (!strcmp(a, "--flash-out"))
            opt->flashOut = v;
        else if (!strcmp(a, "--freq") && parse_number(v, 100000000UL, &n))
            opt->freq = n;
        else if (!strcmp(a, "--flip") && parse_number(v, 1000000000UL, &n))
            opt->flip = (long)n;
        else if (!strcmp(a, "--flash-in"))
            opt->flashIn = v;
        else if (!strcmp(a, "--power-cut") && parse_cut(v, opt))
            ;
        else if (!strcmp(a, "--run-for") && parse_number(v, 86400000UL, &n))
            opt->runMs = n;
        else {
            fprintf(stderr, "zub-avrsim: bad option: %s %s\n", a, v);
            return 0;
        }
    }
    if (!opt->loader) {
        fprintf(stderr, "zub-avrsim: --loader FILE is needed\n");
        return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    options_t opt;
    if (!parse_options(argc, argv, &opt)) {
        fprintf(stderr, "zub-avrsim: see zub-avrsim --help\n");
        return 2;
    }
    g_opt = &opt;

    avr_t* avr = avr_make_mcu_by_name(opt.mcu);
    if (!avr) {
        fprintf(stderr, "zub-avrsim: simavr has no chip %s (see simavr --list-cores)\n", opt.mcu);
        return 2;
    }
    avr_init(avr);
    avr->log = LOG_ERROR;
    avr->frequency = (uint32_t)opt.freq;
    memset(avr->flash, 0xFF, avr->flashend + 1);

    uint32_t boot = 0, appLow = 0;
    if ((opt.flashIn && !load_flash(avr, opt.flashIn)) || !load_image(avr, opt.loader, &boot) ||
        (opt.app && !load_image(avr, opt.app, &appLow))) {
        avr_terminate(avr);
        free(avr);
        return 1;
    }
    avr->reset_pc = boot;
    avr->pc = boot;

    /* Without this the UART sleeps the whole simulator whenever the program polls an empty
     * receiver, and polling loops run about a hundred times slower than real time. */
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~(uint32_t)(AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO);
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    avr_irq_t* input = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                            out_byte, NULL);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), xon,
                            NULL);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF), xoff,
                            NULL);
    if (opt.cutByte)
        avr_irq_register_notify(input, cut_count, avr);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    sa.sa_handler = on_power_cycle;
    sigaction(SIGUSR1, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    if (!open_terminal(&opt)) {
        close_terminal(&opt);
        avr_terminate(avr);
        free(avr);
        return 1;
    }

    /* The host is looked at every 100 us of simulated time: finer than a character at the
     * fastest rate the host offers. */
    const avr_cycle_count_t slice = opt.freq / 10000 ? opt.freq / 10000 : 1;
    const double usPerCycle = 1e6 / (double)opt.freq;
    double wallBase = wall_us();
    avr_cycle_count_t cycleBase = avr->cycle;
    int status = 0;
    const avr_cycle_count_t runStart = avr->cycle;

    for (;;) {
        if (g_stop || power_ends(avr, runStart))
            break;
        if (g_powerCycle) {
            g_powerCycle = 0;
            avr_reset(avr);
            avr->pc = avr->reset_pc;
            wallBase = wall_us();
            cycleBase = avr->cycle;
        }

        const avr_cycle_count_t until = avr->cycle + slice;
        int state = cpu_Running;
        while (avr->cycle < until) {
            state = avr_run(avr);
            if (state == cpu_Done || state == cpu_Crashed)
                break;
        }
        if (state == cpu_Done || state == cpu_Crashed) {
            fprintf(stderr, "zub-avrsim: the chip stopped (%s) at 0x%X\n",
                    state == cpu_Crashed ? "crashed" : "done", (unsigned)avr->pc);
            status = 1;
            break;
        }

        read_host();
        feed_chip(input);
        if (g_connected)
            write_host();
        else
            g_outLen = 0;

        if (opt.pace && avr->cycle < cycleBase)
            cycleBase = avr->cycle; /* a reset may start the count again */
        if (opt.pace) {
            const double simUs = (double)(avr->cycle - cycleBase) * usPerCycle;
            double ahead = simUs - (wall_us() - wallBase);
            if (ahead > 1000.0) {
                if (ahead > 100000.0)
                    ahead = 100000.0;
                /* Ahead of the clock: wait, but wake for the host's bytes at once. Without a
                 * host the terminal reports a hangup all the time, so only the clock wakes. */
                struct pollfd pfd = {g_master, POLLIN, 0};
                struct timespec t = {0, (long)(ahead * 1000.0)};
                ppoll(&pfd, g_connected ? 1 : 0, &t, NULL);
            } else if (ahead < -100000.0) {
                /* Too slow to keep up: go on from here rather than race to catch up. */
                wallBase = wall_us();
                cycleBase = avr->cycle;
            }
        }
    }

    if (opt.flashOut && !save_flash(avr, opt.flashOut))
        status = 1;
    close_terminal(&opt);
    if (opt.cutByte)
        avr_irq_unregister_notify(input, cut_count, avr);
    avr_irq_unregister_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                              out_byte, NULL);
    avr_irq_unregister_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), xon,
                              NULL);
    avr_irq_unregister_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                              xoff, NULL);
    avr_terminate(avr);
    free(avr);
    return status;
}
