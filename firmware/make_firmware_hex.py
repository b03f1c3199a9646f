#!/usr/bin/env python3
"""One-time tool: wrote the first qvm_83firm.hex.

The committed qvm_83firm.hex is the firmware's source of truth; this script is
kept only to show how that file's first version was made. It is not part of
the build. A real firmware release replaces qvm_83firm.hex with the file that
the firmware's own tool chain produces.

The content is synthetic but shaped like a microcontroller image: a code
area at 0x4000, USB descriptors and the version fields below 0x7F06, the
product name at 0x7FF0, start-up code at 0xFE0000 and the nine fixed vectors
at 0xFFFFDC. Bytes come from a fixed-seed generator, so a rerun writes the
same file.

    python3 make_firmware_hex.py > qvm_83firm.hex
"""
import struct
import sys

FIRMWARE_VERSION = 362      # 3.62, no suffix characters
MCU_VERSION = 0x0102
PRODUCT = b"R846-QVM2K"
STARTUP = 0xFE0000
DEFAULT_HANDLER = 0xFE00E8


class Lcg:
    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return self.state >> 16

    def byte(self):
        return self.next() & 0xFF


def code(rng, length, ret_op=0xF3):
    """Instruction-like bytes: opcodes from a small set, operands, returns."""
    ops = [(0x7C, 2), (0x74, 3), (0xB0, 1), (0xA6, 3), (0xC8, 2), (0x73, 2), (0x6A, 1),
           (0xF5, 3), (0xFD, 4), (0x04, 0), (0x68, 1), (0x93, 2), (0xEB, 3), (0x72, 2)]
    out = bytearray()
    since_ret = 0
    while len(out) < length:
        if since_ret > 24 and rng.next() % 11 == 0:
            out.append(ret_op)
            since_ret = 0
            continue
        op, n = ops[rng.next() % len(ops)]
        out.append(op)
        for _ in range(n):
            out.append(rng.byte() & 0xFE)  # never 0xFF: erased flash stays recognisable
        since_ret += 1 + n
    return bytes(out[:length])


def app_area():
    rng = Lcg(0x846)
    length = 14113
    head = bytes([0xFC, 0x40, 0x40, 0x00])            # jump to 0x004040
    ident = b"R846-QVM2K application 3.62\x00"
    head += ident + bytes(0x40 - len(head) - len(ident))
    body = bytearray(code(rng, length - len(head)))
    msg = b"boot data error\x00flash verify error\x00"
    body[0x2A00:0x2A00 + len(msg)] = msg
    return head + bytes(body)


def descriptors():
    dev = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0xFF, 0x00, 0x00, 64,
                      0x3E8A, 0x0846, 0x0362, 1, 2, 3, 1)
    iface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, 0)
    ep_out = struct.pack("<BBBBHB", 7, 5, 0x01, 0x02, 64, 0)
    ep_in = struct.pack("<BBBBHB", 7, 5, 0x82, 0x02, 64, 0)
    cfg_body = iface + ep_out + ep_in
    cfg = struct.pack("<BBHBBBBB", 9, 2, 9 + len(cfg_body), 1, 1, 0, 0x80, 50) + cfg_body

    def string(text):
        data = text.encode("utf-16-le")
        return bytes([2 + len(data), 3]) + data

    table = dev + cfg + bytes([4, 3, 0x09, 0x04]) + string("R846") + string("R846-QVM2K") \
        + string("0000000001")
    table += bytes(256 - len(table))
    return table + struct.pack("<IH", FIRMWARE_VERSION, MCU_VERSION)


def startup():
    rng = Lcg(0xFE)
    body = code(rng, DEFAULT_HANDLER - STARTUP - 4, ret_op=0xFC)
    # the default handler: REIT, then padding NOPs
    return body + bytes([0xDE, 0xDE, 0xDE, 0x9E]) + bytes([0xDE] * 4)


def vectors():
    # undefined instruction, overflow, BRK, address match, reserved,
    # watchdog, reserved, NMI, reset
    v = [DEFAULT_HANDLER] * 8 + [STARTUP]
    return b"".join(struct.pack("<I", a) for a in v)


SEGMENTS = [
    (0x004000, app_area()),
    (0x007E00, descriptors()),
    (0x007FF0, PRODUCT + b"\x00"),
    (0xFE0000, startup()),
    (0xFFFFDC, vectors()),
]


def record(rtype, offset, data):
    raw = bytes([len(data), (offset >> 8) & 0xFF, offset & 0xFF, rtype]) + data
    return ":" + (raw + bytes([(-sum(raw)) & 0xFF])).hex().upper()


def main():
    expected = [14113, 262, 11, 236, 36]
    lines = []
    upper = None
    for (addr, data), n in zip(SEGMENTS, expected):
        assert len(data) == n, (hex(addr), len(data), n)
        for off in range(0, len(data), 16):
            a = addr + off
            if a >> 16 != upper:
                upper = a >> 16
                lines.append(record(4, 0, struct.pack(">H", upper)))
            chunk = data[off:off + 16]
            assert (a & 0xFFFF) + len(chunk) <= 0x10000
            lines.append(record(0, a & 0xFFFF, chunk))
    lines.append(record(5, 0, struct.pack(">I", STARTUP)))
    lines.append(record(1, 0, b""))
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
