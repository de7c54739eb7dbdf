"""Intel HEX test images as common toolchains write them, and their bytes read back.

One writer for every Python user: the demo's image maker, the end-to-end tests' helpers and
the package check. Records carry 16 data bytes, lines end in CR LF, and an image past 64 KiB
gets extended address records: segment records (type 02) as AVR toolchains write them, or
linear records (type 04) as most others do.
"""

# The pseudo-random generator's constants (the C library's classic rand()), so that an image
# made from a seed is the same on every machine and in every run.
_MUL, _ADD = 1103515245, 12345


def image_bytes(size, seed, gaps=False):
    """Pseudo-random program bytes; with gaps, every third KiB stays erased (0xFF)."""
    out = bytearray()
    state = seed & 0xFFFFFFFF
    for addr in range(size):
        state = (state * _MUL + _ADD) & 0xFFFFFFFF
        if gaps and (addr // 1024) % 3 == 2:
            out.append(0xFF)
        else:
            out.append((state >> 16) & 0xFF)
    return bytes(out)


def record(rtype, addr, data):
    """One record line, CR LF included."""
    body = bytes([len(data), (addr >> 8) & 0xFF, addr & 0xFF, rtype]) + data
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\r\n"


def to_hex(data, kind=None):
    """Intel HEX of data placed at address 0, as bytes; fully erased 16-byte rows are left out.

    kind: None for an image within 64 KiB, "02" for segment records, "04" for linear records
    (a linear image also starts with a record for its upper address 0, as such tools do)."""
    if kind not in (None, "02", "04"):
        raise ValueError(f"unknown extended address record kind {kind!r}")
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
                raise ValueError("an image above 64 KiB needs extended address records")
        lines.append(record(0, addr & 0xFFFF, row))
    lines.append(record(1, 0, b""))
    return "".join(lines).encode("ascii")


def hex_bytes(text):
    """{address: byte} of Intel HEX text (data, end, segment and linear address records).

    Raises ValueError naming the first line that is not a whole record with a right sum."""
    memory = {}
    base = 0
    for number, line in enumerate(text.decode("ascii", errors="replace").splitlines(), start=1):
        line = line.strip()
        if not line:
            continue
        try:
            body = bytes.fromhex(line[1:]) if line.startswith(":") else b""
        except ValueError:
            body = b""
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
