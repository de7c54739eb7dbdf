#!/usr/bin/env python3
"""Writes the demo update server's folder: "hexlist.txt" and the model images it names.

The images are Intel HEX text laid out as common toolchains write it (16 data bytes a record,
CR LF line ends, extended address records where the image passes 64 KiB), and the same text
XOR-scrambled with the loader's key for the ".lod" models. Contents are deterministic, so a
flash dump can be compared with the file run after run.

usage: make-images.py OUTDIR                  models, hexlist.txt and a local file "demo-local.hex"
       make-images.py --compare IMAGE FLASH   does the flash dump hold the image (.hex or .lod)?
                                              Writes nothing; exit status 0 when it does.
"""
import os
import sys

# The HEX writer is shared: installed beside this file, in the source tree under tools/. No
# byte code is written: neither a system folder nor the checkout gets a __pycache__.
sys.dont_write_bytecode = True
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [_HERE, os.path.join(_HERE, os.pardir, "tools")]
from hexfile import hex_bytes, image_bytes, to_hex  # noqa: E402

LOD_KEY = b"Kq7Wd2Lp9"

# (model name, file name, image size in bytes, extended record kind, blank gaps)
# The kind: None for a plain 16-bit image, "02" for segment records (what AVR toolchains write
# past 64 KiB), "04" for linear records (what most other toolchains write).
MODELS = [
    ("A-Demo blinker 2 KiB", "demo-blink.hex", 2 * 1024, None, False),
    ("A-Demo logger 96 KiB (scrambled)", "demo-logger.lod", 96 * 1024, "02", False),
    ("P-Demo sensor 12 KiB, blank pages skipped", "demo-sensor.hex", 12 * 1024, "04", True),
    ("데모 보드 40 KiB", "demo-board.lod", 40 * 1024, None, False),
]
LOCAL = ("demo-local.hex", 20 * 1024, "04", False)


def scramble(text):
    return bytes(b ^ LOD_KEY[i % len(LOD_KEY)] for i, b in enumerate(text))


def write(path, body):
    with open(path, "wb") as f:
        f.write(body)


def compare(image_path, flash_path):
    with open(image_path, "rb") as f:
        text = f.read()
    if image_path.lower().endswith(".lod"):
        text = scramble(text)
    try:
        memory = hex_bytes(text)
    except ValueError as e:
        print(f"{image_path}: {e}")
        return 1
    with open(flash_path, "rb") as f:
        flash = f.read()
    for addr in sorted(memory):
        got = flash[addr] if addr < len(flash) else None
        if got != memory[addr]:
            shown = "nothing (past its end)" if got is None else f"0x{got:02X}"
            print(f"{flash_path} differs from {image_path} at 0x{addr:05X}: "
                  f"image 0x{memory[addr]:02X}, flash {shown}")
            return 1
    print(f"{flash_path} holds {image_path}: all {len(memory)} image bytes identical")
    return 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--compare":
        sys.exit(compare(sys.argv[2], sys.argv[3]))
    if len(sys.argv) != 2 or sys.argv[1].startswith("-"):
        sys.exit(__doc__.strip())
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    listing = []
    for seed, (model, name, size, kind, gaps) in enumerate(MODELS, start=1):
        text = to_hex(image_bytes(size, seed, gaps), kind)
        write(os.path.join(out, name), scramble(text) if name.endswith(".lod") else text)
        listing.append(f"{model}={name}\r\n")
    write(os.path.join(out, "hexlist.txt"), "".join(listing).encode("utf-8"))
    name, size, kind, gaps = LOCAL
    write(os.path.join(out, name), to_hex(image_bytes(size, 99, gaps), kind))


if __name__ == "__main__":
    main()
