#!/usr/bin/env python3
"""msi-summary.py MSI PACKAGE_CODE EPOCH: sets the package code (revision
number) and the created and last-saved times of an MSI file's summary
information, in place. wixl writes a random package code and the build's
clock there; these three are the only bytes in which two builds of the same
sources differ. The values keep their sizes (a braced GUID, two FILETIMEs),
so the compound file is patched where it lies and nothing else moves.
Standard library only."""
import struct
import sys

SUMMARY = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
END_OF_CHAIN = 0xFFFFFFFE


def die(msg):
    sys.exit(f"msi-summary: {msg}")


class CompoundFile:
    """Just enough of the compound file format to find one stream's bytes."""

    def __init__(self, data):
        if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
            die("not a compound file (MSI)")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
        (dir_start, _, self.cutoff, minifat_start, _, difat_start,
         difat_count) = struct.unpack_from("<7I", data, 0x30)
        fat_sectors = [s for s in struct.unpack_from("<109I", data, 0x4C) if s < 0xFFFFFFFA]
        per = self.sector // 4
        for _ in range(difat_count):
            entries = struct.unpack_from(f"<{per}I", data, self.offset(difat_start))
            fat_sectors += [s for s in entries[:-1] if s < 0xFFFFFFFA]
            difat_start = entries[-1]
        self.fat = []
        for s in fat_sectors:
            self.fat += struct.unpack_from(f"<{per}I", data, self.offset(s))
        self.minifat = []
        for s in self.chain(minifat_start):
            self.minifat += struct.unpack_from(f"<{per}I", data, self.offset(s))
        self.entries = []
        for s in self.chain(dir_start):
            for i in range(self.sector // 128):
                self.entries.append(self.offset(s) + i * 128)
        root = self.entries[0]
        self.ministream = [self.offset(s) for s in self.chain(struct.unpack_from("<I", data, root + 116)[0])]

    def offset(self, sector):
        return (sector + 1) * self.sector

    def chain(self, start, table=None):
        table = self.fat if table is None else table
        seen = set()
        while start != END_OF_CHAIN:
            if start in seen or start >= len(table):
                die("damaged sector chain")
            seen.add(start)
            yield start
            start = table[start]

    def stream_spans(self, name):
        """The (file offset, length) pieces of the named stream, in order."""
        for entry in self.entries:
            length = struct.unpack_from("<H", self.data, entry + 64)[0]
            if length < 2 or self.data[entry:entry + length - 2].decode("utf-16-le") != name:
                continue
            start, size = struct.unpack_from("<II", self.data, entry + 116)
            spans = []
            if size < self.cutoff:
                for s in self.chain(start, self.minifat):
                    pos = s * self.mini
                    spans.append((self.ministream[pos // self.sector] + pos % self.sector, self.mini))
            else:
                spans = [(self.offset(s), self.sector) for s in self.chain(start)]
            out, left = [], size
            for off, n in spans:
                out.append((off, min(n, left)))
                left -= out[-1][1]
            return out
        die(f"no stream {name!r}")


def patch_summary(stream, package_code, filetime):
    """Returns the summary stream with the three values replaced."""
    stream = bytearray(stream)
    section = struct.unpack_from("<I", stream, 28 + 16)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    done = set()
    for i in range(count):
        pid, off = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        pos = section + off
        vtype = struct.unpack_from("<I", stream, pos)[0]
        if pid == PID_REVNUMBER:
            if vtype != VT_LPSTR:
                die("the package code is not a string")
            old_len = struct.unpack_from("<I", stream, pos + 4)[0]
            new = package_code.encode("ascii") + b"\0"
            if len(new) != old_len:
                die(f"package code of {len(new)} bytes where the file holds {old_len}")
            stream[pos + 8:pos + 8 + old_len] = new
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
            if vtype != VT_FILETIME:
                die(f"property {pid} is not a time")
            struct.pack_into("<Q", stream, pos + 4, filetime)
        else:
            continue
        done.add(pid)
    if done != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
        die(f"summary information lacks properties {sorted({9, 12, 13} - done)}")
    return bytes(stream)


def main():
    if len(sys.argv) != 4:
        die("usage: msi-summary.py MSI PACKAGE_CODE EPOCH")
    path, code, epoch = sys.argv[1], sys.argv[2].upper(), int(sys.argv[3])
    if not (len(code) == 38 and code[0] == "{" and code[-1] == "}"):
        die(f"package code {code}: want a braced GUID")
    filetime = (epoch + 11644473600) * 10_000_000  # 100 ns since 1601
    with open(path, "r+b") as f:
        data = f.read()
        spans = CompoundFile(data).stream_spans(SUMMARY)
        old = b"".join(data[o:o + n] for o, n in spans)
        new = patch_summary(old, code, filetime)
        pos = 0
        for off, n in spans:
            f.seek(off)
            f.write(new[pos:pos + n])
            pos += n


if __name__ == "__main__":
    main()
