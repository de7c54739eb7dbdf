#!/usr/bin/env python3
"""A 32 KiB download with zubload into the zubboot loader of a simulated ATmega328P at
14.7456 MHz, paced to the wall clock (zub-avrsim), at 115200 baud: the page phase's time (from
the start line to the end line as zubload prints them) against the wire time of its frames at
10 and at 11 bits a byte (simavr's UART takes 11 bit times a character). Prints figures;
asserts nothing but a finished download."""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

FLASH, PAGE, BAUD, HZ = 32768, 128, 115200, 14745600


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zubload", required=True)
    ap.add_argument("--avrsim", required=True)
    ap.add_argument("--firmware", required=True)
    ap.add_argument("--objcopy", required=True)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    tag = "atmega328p-14.7456mhz-115200"
    with tempfile.TemporaryDirectory(prefix="zub-avr-bench-") as work:
        raw = os.path.join(work, "image.bin")
        rng = random.Random(328)
        # No blank page, so all 256 pages go out; the first word erased, so the loader does
        # not start it as a program but waits for the next run.
        with open(raw, "wb") as f:
            f.write(b"\xff\xff" + bytes(rng.randrange(0, 255) for _ in range(FLASH - 2)))
        image = os.path.join(work, "image.hex")
        subprocess.run([args.objcopy, "-I", "binary", "-O", "ihex", raw, image], check=True)
        link = os.path.join(work, "tty")
        sim = subprocess.Popen([args.avrsim, "--mcu", "atmega328p", "--freq", str(HZ),
                                "--loader", os.path.join(args.firmware, f"zubboot-{tag}.hex"),
                                "--link", link], stdout=subprocess.PIPE)
        sim.stdout.readline()
        times = []
        try:
            for _ in range(args.runs):
                p = subprocess.Popen([args.zubload, "-C", work, "-p", link, "-b", str(BAUD),
                                      "--no-auto-reset", image], stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
                start = end = None
                for line in p.stdout:
                    text = line.decode()
                    if "다운로드 시작" in text:
                        start = time.monotonic()
                    elif "다운로드 완료" in text:
                        end = time.monotonic()
                if p.wait() != 0 or start is None or end is None:
                    print("download failed", file=sys.stderr)
                    return 1
                times.append(end - start)
                time.sleep(0.5)  # the loader starts the written image; the next run wakes it
        finally:
            sim.terminate()
            sim.wait()
    pages = FLASH // PAGE
    wire10 = pages * (PAGE + 3) * 10 / BAUD
    wire11 = pages * (PAGE + 3) * 11 / BAUD
    best = min(times)
    print(f"32 KiB ({pages} pages of {PAGE}) into a paced simulated ATmega328P at {BAUD} baud")
    print(f"  page phase: best {best:.2f} s, runs " + ", ".join(f"{t:.2f}" for t in times))
    print(f"  wire time:  {wire10:.2f} s at 10 bits a byte ({best / wire10:.2f}x), "
          f"{wire11:.2f} s at simavr's 11 ({best / wire11:.2f}x)")
    print(f"  per page:   {best / pages * 1000:.1f} ms, of which "
          f"{wire11 / pages * 1000:.1f} ms on the simulated wire")
    return 0


if __name__ == "__main__":
    sys.exit(main())
