#!/usr/bin/env python3
"""The zubboot boot loader's real machine code in simulated chips (zub-avrsim), written to by
the built `zubload` through the chip's pseudo-terminal, as an operator's script does:

atmega328p  an empty chip, no auto reset: the demo application and a page aimed at the boot
            section go in with one byte of a page frame damaged on the line (answered with
            resend: `resends` 1); the flash equals the image, the boot section still holds the
            loader, the application starts and prints its line.
atmega644   the application already in the flash starts by itself when no wake word comes; auto
            reset then restarts it into the loader and a second image goes in without a power
            cycle (64 KiB, 256-byte pages, 115200 baud).
atmega128   an application whose table lies above 64 KiB (far writes): flash equal, and the
            application's sum over that table is right.
"""
import argparse
import json
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import zlib

TIME = r"\[\d\d:\d\d:\d\d\] "
DOWNLOAD_LINES = ["다운로드 준비가 되었습니다.", "장치의 전원스위치를 OFF/ON하십시오.",
                  TIME + "다운로드 시작 : 0", TIME + "다운로드 완료", "장치와 연결을 해제하였습니다."]
BOOT_SIZE = 1024
CUTS = 20


class Fail(Exception):
    pass


class Chip:
    """One zub-avrsim run; its standard output lines are collected as they come."""

    def __init__(self, args, work, mcu, hz, tag, app=None, flip=None, extra=(), name=None):
        self.name = name or f"{mcu}-{tag}"
        self.link = os.path.join(work, self.name + "-tty")
        self.flash = os.path.join(work, self.name + "-flash.bin")
        argv = [args.avrsim, "--mcu", mcu, "--freq", str(hz), "--loader",
                loader_hex(args, mcu, tag), "--link", self.link, "--flash-out", self.flash]
        if app:
            argv += ["--app", app]
        if flip:
            argv += ["--flip", str(flip)]
        argv += list(extra)
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        first = self.proc.stdout.readline().decode()
        if not first.startswith("PTY /dev/"):
            self.stop()
            raise Fail(f"{self.name}: zub-avrsim did not start: {first!r} "
                       f"{self.proc.stderr.read().decode()!r}")
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode(errors="replace").rstrip("\r\n"))

    def wait_line(self, text, count=1, timeout=10.0):
        end = time.monotonic() + timeout
        while self.lines.count(text) < count:
            if time.monotonic() > end:
                raise Fail(f"{self.name}: the chip printed {self.lines}, "
                           f"not {count} x {text!r}")
            time.sleep(0.05)

    def ended(self, timeout):
        """Waits for a run that ends by itself (a power cut, --run-for); returns its flash."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Fail(f"{self.name}: zub-avrsim still running after {timeout} s") from None
        return self.stop()

    def stop(self):
        """Ends the run; returns the flash it wrote."""
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        if self.proc.returncode != 0:
            raise Fail(f"{self.name}: zub-avrsim exit {self.proc.returncode}: "
                       f"{self.proc.stderr.read().decode()!r}")
        with open(self.flash, "rb") as f:
            return f.read()


def loader_hex(args, mcu, tag):
    return os.path.join(args.firmware, f"zubboot-{mcu}-{tag}.hex")


def demo_hex(args, mcu, tag):
    return os.path.join(args.firmware, f"zubdemo-{mcu}-{tag}.hex")


def binary(args, hex_path, work):
    """The bytes of an Intel HEX file from its lowest address, gaps 0xFF (avr-objcopy)."""
    out = os.path.join(work, "objcopy.bin")
    subprocess.run([args.objcopy, "-I", "ihex", "-O", "binary", "--gap-fill", "0xff",
                    hex_path, out], check=True)
    with open(out, "rb") as f:
        return f.read()


def with_block(args, work, app_hex, address, name, length=128):
    """The application's HEX file with `length` more bytes at `address`, as avr-objcopy writes a
    raw block there; the two files joined as one (the first one's end record dropped)."""
    block = os.path.join(work, name + ".bin")
    with open(block, "wb") as f:
        f.write(bytes((i * 3 + 1 + i // 251) & 0xFF for i in range(length)))
    block_hex = os.path.join(work, name + "-block.hex")
    subprocess.run([args.objcopy, "-I", "binary", "-O", "ihex", "--change-addresses",
                    hex(address), block, block_hex], check=True)
    with open(app_hex) as f:
        app = [line for line in f.read().splitlines() if line != ":00000001FF"]
    with open(block_hex) as f:
        extra = f.read().splitlines()
    path = os.path.join(work, name + ".hex")
    with open(path, "w") as f:
        f.write("\n".join(app + extra) + "\n")
    return path


def expected_flash(args, work, size, image_hex, mcu, tag):
    """An erased chip, the image below the boot section, the loader in it."""
    flash = bytearray(b"\xff" * size)
    image = binary(args, image_hex, work)[:size - BOOT_SIZE] if image_hex else b""
    flash[:len(image)] = image
    loader = binary(args, loader_hex(args, mcu, tag), work)
    if len(loader) > BOOT_SIZE:
        raise Fail(f"{mcu}: the loader is {len(loader)} bytes")
    flash[size - BOOT_SIZE:size - BOOT_SIZE + len(loader)] = loader
    return bytes(flash)


def check_flash(got, want, what):
    if len(got) != len(want):
        raise Fail(f"{what}: flash of {len(got)} bytes, expected {len(want)}")
    if got != want:
        first = next(i for i in range(len(want)) if got[i] != want[i])
        raise Fail(f"{what}: flash differs first at 0x{first:X}: "
                   f"0x{got[first]:02X}, expected 0x{want[first]:02X}")


def zubload(args, work, chip, rate, image, *options, want=0):
    start = os.path.join(work, chip.name + "-start")
    os.makedirs(start, exist_ok=True)
    p = subprocess.run([args.zubload, "-C", start, "-p", chip.link, "-b", str(rate), "--json",
                        *options, image], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=90)
    out, err = p.stdout.decode(), p.stderr.decode()
    if p.returncode != want:
        raise Fail(f"{chip.name}: zubload exit {p.returncode}, expected {want}\n"
                   f"stdout:\n{out}\nstderr:\n{err}")
    events = [json.loads(line) for line in out.splitlines()]
    logs = [e["text"] for e in events if e["event"] == "log"]
    result = [e for e in events if e["event"] == "result"][-1]
    return logs, result


def check_lines(got, patterns, what):
    if len(got) != len(patterns) or not all(re.fullmatch(p, g) for p, g in zip(patterns, got)):
        raise Fail(f"{what}: log lines\n  got      {got}\n  expected {patterns}")


def check_result(result, chip_text, resends, what):
    if result["result"] != "ok" or result["chip"] != chip_text or result["resends"] != resends:
        raise Fail(f"{what}: result {result}, expected ok, chip {chip_text!r}, "
                   f"resends {resends}")


def case_atmega328p(args, work):
    mcu, tag, size = "atmega328p", "16mhz-57600", 32768
    demo = demo_hex(args, mcu, tag)
    into_boot = with_block(args, work, demo, size - BOOT_SIZE, "into-boot")
    # Byte 1 after the ready byte is the go byte, 2 and 3 the first page's index: 20 is data.
    chip = Chip(args, work, mcu, 16000000, tag, flip=20)
    try:
        logs, result = zubload(args, work, chip, 57600, into_boot, "--no-auto-reset",
                               "--skip-blank")
        check_lines(logs, DOWNLOAD_LINES, mcu)
        check_result(result, "Mega328 0x8B", 1, mcu)
        # Every page holding data goes out, the one aimed at the boot section too.
        image = binary(args, into_boot, work)
        pages = sum(1 for i in range(0, len(image), 128) if image[i:i + 128].strip(b"\xff"))
        if result["pages_sent"] != pages:
            raise Fail(f"{mcu}: {result['pages_sent']} pages sent, expected {pages}")
        chip.wait_line("zubdemo ATmega328P running")
    finally:
        flash = chip.stop()
    check_flash(flash, expected_flash(args, work, size, into_boot, mcu, tag), mcu)


def case_atmega644(args, work):
    mcu, tag, size = "atmega644", "14.7456mhz-115200", 65536
    demo = demo_hex(args, mcu, tag)
    second = with_block(args, work, demo, 0x8000, "second")
    chip = Chip(args, work, mcu, 14745600, tag, app=demo)
    try:
        # Nobody sends the wake word: the loader starts the application after its window.
        chip.wait_line("zubdemo ATmega644 running")
        logs, result = zubload(args, work, chip, 115200, second, "--auto-reset")
        check_lines(logs, DOWNLOAD_LINES, mcu)
        check_result(result, "Mega644 0x8E", 0, mcu)
        chip.wait_line("zubdemo ATmega644 running", count=2)
    finally:
        flash = chip.stop()
    check_flash(flash, expected_flash(args, work, size, second, mcu, tag), mcu)


def case_atmega128(args, work):
    mcu, tag, size = "atmega128", "14.7456mhz-115200", 131072
    demo = demo_hex(args, mcu, tag)
    if len(binary(args, demo, work)) <= 65536:
        raise Fail(f"{mcu}: the demo application does not reach above 64 KiB")
    chip = Chip(args, work, mcu, 14745600, tag)
    try:
        # The check reads the far half back too: the board's CRC must equal the image's.
        logs, result = zubload(args, work, chip, 115200, demo, "--no-auto-reset", "--skip-blank",
                               "--verify")
        check_lines(logs, DOWNLOAD_LINES, mcu)
        check_result(result, "Mega128 0x44", 0, mcu)
        if result["verified"] is not True:
            raise Fail(f"{mcu}: verified {result['verified']!r}, expected true")
        # The sum of k * 7 + k / 256 (mod 256) over the 8192 bytes from 0x10000.
        chip.wait_line("zubdemo ATmega128 running, far table sum F000")
    finally:
        flash = chip.stop()
    check_flash(flash, expected_flash(args, work, size, demo, mcu, tag), mcu)


class Line:
    """The host's end of a chip's terminal, spoken to byte by byte as a loader's peer."""

    def __init__(self, chip):
        self.fd = os.open(chip.link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.name = chip.name

    def read(self, count, timeout=3.0):
        got = b""
        end = time.monotonic() + timeout
        while len(got) < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise Fail(f"{self.name}: {got.hex()} of {count} bytes within {timeout} s")
            got += os.read(self.fd, count - len(got))
        return got

    def wake(self):
        """Wake word until ready, go, the identification."""
        for _ in range(50):
            os.write(self.fd, b"ZUB")
            if select.select([self.fd], [], [], 0.06)[0] and os.read(self.fd, 64).endswith(b">"):
                os.write(self.fd, b"<")
                return self.read(5)
        raise Fail(f"{self.name}: no ready byte")

    def page(self, index, data):
        """One page frame; the answer byte."""
        termios.tcflush(self.fd, termios.TCIFLUSH)
        os.write(self.fd, bytes([index >> 8, index & 0xFF]) + data + bytes([sum(data) & 0xFF]))
        return self.read(1)

    def close(self):
        os.close(self.fd)


def case_page_order(args, work):
    """Backward indices refused, a resend of the page just taken accepted, forward skips taken;
    the check request answered with zlib's CRC-32 of the pages written, page 0 from RAM; page 0
    still erased in the flash until the end frame."""
    mcu, tag, size = "atmega328p", "16mhz-57600", 32768
    pages = {k: bytes((k * 37 + i * 11) & 0xFF for i in range(128)) for k in range(6)}
    again = bytes(reversed(pages[2]))
    chip = Chip(args, work, mcu, 16000000, tag, name="order")
    try:
        line = Line(chip)
        if line.wake() != bytes.fromhex("8B6E645332"):
            raise Fail("order: identification is not Mega328 n d S 2")
        steps = [(0, pages[0], 0x21, "page 0"), (2, pages[2], 0x21, "a forward skip"),
                 (1, pages[1], 0x40, "a backward index"), (2, again, 0x21, "a resend of page 2"),
                 (0, pages[0], 0x40, "page 0 after page 2"), (5, pages[5], 0x21, "page 5"),
                 (300, pages[3], 0x40, "a page beyond the flash"),
                 (252, pages[4], 0x21, "a page of the boot section")]
        for index, data, want, what in steps:
            got = line.page(index, data)
            if got != bytes([want]):
                raise Fail(f"order: {what} answered {got.hex()}, expected {want:02x}")
        # A boot-section page is acknowledged and never written: the check leaves it out.
        got = line.page(0xFFFE, bytes(128))
        crc = zlib.crc32(pages[0] + again + pages[5])
        if got != b"!" or line.read(4) != crc.to_bytes(4, "big"):
            raise Fail(f"order: the check request's answer is not ! and {crc:08X}")
        line.close()
    finally:
        flash = chip.stop()
    want = bytearray(expected_flash(args, work, size, None, mcu, tag))
    want[2 * 128:3 * 128] = again
    want[5 * 128:6 * 128] = pages[5]
    check_flash(flash, bytes(want), "order (page 0 still erased, page 1 never written)")


def power_cut_image(args, work):
    """The demo application and 3 KiB more behind it: a download of 27 pages."""
    demo = demo_hex(args, "atmega328p", "14.7456mhz-115200")
    path = with_block(args, work, demo, 0x400, "cut", 3072)
    return path


def case_power_cuts(args, work):
    """Power cut at random moments of downloads (seeded; the seed is printed): at each power-on
    without a host the loader keeps the chip (the half-written application never starts), and a
    fresh download afterwards is byte-exact and starts the application."""
    mcu, tag, hz, rate, size = "atmega328p", "14.7456mhz-115200", 14745600, 115200, 32768
    seed = int(os.environ.get("ZUB_CUT_SEED", time.time_ns() % 100000))
    rng = random.Random(seed)
    image = power_cut_image(args, work)
    want = expected_flash(args, work, size, image, mcu, tag)
    frames = sum(1 for i in range(0, size - BOOT_SIZE, 128)
                 if want[i:i + 128].strip(b"\xff"))
    # Bytes after the ready byte: the go byte, then the page frames (--skip-blank).
    total = 1 + 131 * frames
    running = "zubdemo ATmega328P running"
    flash_in = None
    for cut in range(CUTS):
        # From the second frame's first byte on, the first was taken and page 0 erased.
        byte, us = rng.randint(1 + 131 + 1, total), rng.randint(0, 3000)
        what = f"cut {cut + 1} (seed {seed}: byte {byte} + {us} us)"
        extra = ["--power-cut", f"{byte}+{us}"] + (["--flash-in", flash_in] if flash_in else [])
        chip = Chip(args, work, mcu, hz, tag, extra=extra, name=f"cut{cut}")
        if flash_in:
            # The application of the last download runs before the jig reset goes out: a reset
            # frame that met the loader's last moments would be lost on both.
            chip.wait_line(running)
        start = os.path.join(work, "cut-start")
        os.makedirs(start, exist_ok=True)
        host = subprocess.Popen([args.zubload, "-C", start, "-p", chip.link, "-b", str(rate),
                                 "--auto-reset", "--skip-blank", "--timeout", "20", image],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            cut_flash = chip.ended(30)
            if host.wait(30) == 0:
                raise Fail(f"{what}: zubload reported a board cut off as written")
        finally:
            if host.poll() is None:
                host.kill()
                host.wait()
        cut_path = os.path.join(work, "cut.bin")
        with open(cut_path, "wb") as f:
            f.write(cut_flash)
        # Power on, nobody on the line: the wake window passes, the loader must keep the chip.
        alone = Chip(args, work, mcu, hz, tag, extra=["--flash-in", cut_path, "--run-for", "600"],
                     name=f"alone{cut}")
        alone.ended(30)
        if running in alone.lines:
            raise Fail(f"{what}: the half-written application started")
        fresh = Chip(args, work, mcu, hz, tag, extra=["--flash-in", cut_path], name=f"fresh{cut}")
        try:
            zubload(args, work, fresh, rate, image, "--no-auto-reset", "--skip-blank")
            fresh.wait_line(running)
        finally:
            flash = fresh.stop()
        check_flash(flash, want, f"{what}, downloaded again")
        flash_in = fresh.flash


def case_index_flip(args, work):
    """One inverted byte in the last page's index puts the page into the boot section, where
    the loader acknowledges it without writing it. Without --verify the run is ok and the page
    is missing from the flash; with --verify the board fails, gets no end frame, and its
    application does not start. A damaged check request is asked again."""
    mcu, tag, size = "atmega328p", "16mhz-57600", 32768
    demo = demo_hex(args, mcu, tag)
    image = binary(args, demo, work)
    frames = sum(1 for i in range(0, len(image), 128) if image[i:i + 128].strip(b"\xff"))
    if frames > 8:
        raise Fail(f"{mcu}: the demo has {frames} pages; its last index no longer flips into "
                   "the boot section")
    # After the ready byte: the go byte, then frames of 131 bytes; +2 is the index's low byte.
    flip = 1 + 131 * (frames - 1) + 2
    want = expected_flash(args, work, size, demo, mcu, tag)
    chip = Chip(args, work, mcu, 16000000, tag, flip=flip, name="flip-plain")
    try:
        logs, result = zubload(args, work, chip, 57600, demo, "--no-auto-reset", "--skip-blank")
        check_result(result, "Mega328 0x8B", 0, "flip without --verify")
        if result["verified"] is not None:
            raise Fail(f"flip without --verify: verified {result['verified']!r}, expected null")
    finally:
        flash = chip.stop()
    last = (frames - 1) * 128
    if flash[last:last + 128] != b"\xff" * 128 or flash == want:
        raise Fail("flip without --verify: the last page should be missing from the flash")

    chip = Chip(args, work, mcu, 16000000, tag, flip=flip, name="flip-verify")
    try:
        logs, result = zubload(args, work, chip, 57600, demo, "--no-auto-reset", "--skip-blank",
                               "--verify", want=1)
        padded = image + b"\xff" * (-len(image) % 128)  # the last page as its frame sends it
        board, image_crc = zlib.crc32(padded[:last]), zlib.crc32(padded)
        line = f"[Error] Verify Fail: board CRC {board:08X}, image CRC {image_crc:08X}"
        # The line names the cause: it stands alone, the reason is the result's.
        check_lines(logs, DOWNLOAD_LINES[:3] + [re.escape(line)], "flip with --verify")
        reason = f"the board holds other data than the image (CRC {board:08X}, image {image_crc:08X})"
        if (result["result"], result["kind"], result["verified"], result["reason"]) != \
                ("failed", "board", False, reason):
            raise Fail(f"flip with --verify: result {result}")
        time.sleep(0.6)  # past the wake window: an application would have started
        if any(text.startswith("zubdemo") for text in chip.lines):
            raise Fail("flip with --verify: the application started without an end frame")
    finally:
        flash = chip.stop()
    if flash[:128] != b"\xff" * 128:
        raise Fail("flip with --verify: page 0 was written without an end frame")

    # A byte of the check request itself damaged: the loader answers resend, the request goes
    # again, and the board is verified (a lost request must not pass as a loader without one).
    chip = Chip(args, work, mcu, 16000000, tag, flip=1 + 131 * frames + 5, name="flip-check")
    try:
        logs, result = zubload(args, work, chip, 57600, demo, "--no-auto-reset", "--skip-blank",
                               "--verify")
        check_result(result, "Mega328 0x8B", 0, "check request damaged")
        if result["verified"] is not True:
            raise Fail(f"check request damaged: verified {result['verified']!r}, expected true")
        chip.wait_line("zubdemo ATmega328P running")
    finally:
        flash = chip.stop()
    check_flash(flash, want, "check request damaged")


def case_boardsim_cannot_verify(args, work):
    """A board whose loader has no check answers the request with resend: --verify writes it
    as without, says so once for the whole run on standard error, and leaves verified empty."""
    link = os.path.join(work, "boardsim-tty")
    flash = os.path.join(work, "boardsim-flash.bin")
    sim = subprocess.Popen([args.boardsim, "--link", link, "--id", "8B6E645332",
                            "--flash-out", flash], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    try:
        if not sim.stdout.readline().decode().startswith("PTY /dev/"):
            raise Fail("zub-boardsim did not start")
        start = os.path.join(work, "boardsim-start")
        os.makedirs(start, exist_ok=True)
        demo = demo_hex(args, "atmega328p", "16mhz-57600")
        p = subprocess.run([args.zubload, "-C", start, "-p", link, "-b", "57600", "--json",
                            "--no-auto-reset", "--skip-blank", "--verify", "--repeat", "2",
                            demo], stdin=subprocess.DEVNULL, capture_output=True, timeout=90)
        out, err = p.stdout.decode(), p.stderr.decode()
        results = [json.loads(x) for x in out.splitlines() if '"result"' in x]
        results = [r for r in results if r.get("event") == "result"]
        if p.returncode != 0 or len(results) != 2:
            raise Fail(f"boardsim: zubload exit {p.returncode}, {len(results)} results\n{out}\n"
                       f"{err}")
        if any(r["result"] != "ok" or r["verified"] is not None for r in results):
            raise Fail(f"boardsim: results {results}, expected ok with verified null")
        said = [x for x in err.splitlines() if "cannot verify" in x]
        if len(said) != 1 or not said[0].startswith("zubload: "):
            raise Fail(f"boardsim: standard error should say once that the board cannot "
                       f"verify:\n{err}")
    finally:
        sim.terminate()
        sim.wait(10)
    with open(flash, "rb") as f:
        got = f.read()
    image = binary(args, demo, work)
    if got[:len(image)] != image:
        raise Fail("boardsim: the flash it received differs from the image")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zubload", required=True)
    ap.add_argument("--avrsim", required=True)
    ap.add_argument("--firmware", required=True, help="folder of the built zubboot/zubdemo")
    ap.add_argument("--objcopy", required=True, help="avr-objcopy")
    ap.add_argument("--boardsim", required=True, help="zub-boardsim")
    ap.add_argument("--only", action="append", help="run only this case (repeatable)")
    args = ap.parse_args()
    cases = [case_atmega328p, case_atmega644, case_atmega128, case_page_order, case_index_flip,
             case_boardsim_cannot_verify, case_power_cuts]
    if args.only:
        cases = [c for c in cases if c.__name__ in args.only]
    failed = 0
    with tempfile.TemporaryDirectory(prefix="zub-avr-") as work:
        for case in cases:
            t = time.monotonic()
            try:
                case(args, work)
                print(f"PASS {case.__name__} ({time.monotonic() - t:.1f} s)", flush=True)
            except Exception as e:  # noqa: BLE001 - every case reports and the next runs
                failed += 1
                print(f"FAIL {case.__name__}: {e}", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
