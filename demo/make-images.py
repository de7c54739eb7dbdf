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


def image_bytes(size, seed, gaps):
    """Pseudo-random program bytes; with gaps, every third KiB stays erased (0xFF)."""
    out = bytearray()
    state = seed & 0xFFFFFFFF
    for addr in range(size):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        if gaps and (addr // 1024) % 3 == 2:
            out.append(0xFF)
        else:
            out.append((state >> 16) & 0xFF)
    return bytes(out)


def record(rtype, addr, data):
    body = bytes([len(data), (addr >> 8) & 0xFF, addr & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def to_hex(data, kind):
    """Intel HEX of data placed at address 0; fully erased 16-byte rows are left out."""
    lines = []
    if kind == "04":
        lines.append(record(4, 0, b"\x00\x00"))
    upper = 0
    for addr in range(0, len(data), 16):
        row = data[addr:addr + 16]
        if row == b"\xff" * len(row):
            continue
        if addr >> 16 != upper:
            upper = addr >> 16
            if kind == "02":
                lines.append(record(2, 0, (upper << 12).to_bytes(2, "big")))
            elif kind == "04":
                lines.append(record(4, 0, upper.to_bytes(2, "big")))
            else:
                raise ValueError("image above 64 KiB needs extended address records")
        lines.append(record(0, addr & 0xFFFF, row))
    lines.append(":00000001FF\r\n")
    return "".join(lines).encode("ascii")


def scramble(text):
    return bytes(b ^ LOD_KEY[i % len(LOD_KEY)] for i, b in enumerate(text))


def write(path, body):
    with open(path, "wb") as f:
        f.write(body)


def hex_bytes(text):
    """{address: byte} of Intel HEX text (data, end, segment and linear address records)."""
    memory = {}
    base = 0
    for number, line in enumerate(text.decode("ascii").splitlines(), start=1):
        line = line.strip()
        if not line:
            continue
        body = bytes.fromhex(line[1:]) if line.startswith(":") else b""
        if len(body) < 5 or len(body) != body[0] + 5 or sum(body) & 0xFF:
            raise ValueError(f"line {number} is not a valid Intel HEX record")
        rtype, data = body[3], body[4:-1]
        if rtype == 0:
            addr = base + (body[1] << 8 | body[2])
            for i, b in enumerate(data):
                memory[addr + i] = b
        elif rtype == 1:
            break
        elif rtype == 2:
            base = int.from_bytes(data, "big") << 4
        elif rtype == 4:
            base = int.from_bytes(data, "big") << 16
    return memory


def compare(image_path, flash_path):
    with open(image_path, "rb") as f:
        text = f.read()
    if image_path.lower().endswith(".lod"):
        text = scramble(text)
    memory = hex_bytes(text)
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
