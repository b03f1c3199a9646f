#!/usr/bin/env python3
"""zip-reproducible.py ARCHIVE DIR: packs the files of DIR (flat) into ARCHIVE
so that the same files always give the same bytes: entries in name order,
every entry dated SOURCE_DATE_EPOCH (UTC), fixed permissions (0755 for .exe,
0644 otherwise), no extra fields, one compression level."""
import os
import sys
import time
import zipfile


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: zip-reproducible.py ARCHIVE DIR")
    archive, folder = sys.argv[1], sys.argv[2]
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch or not epoch.isdigit():
        sys.exit("zip-reproducible: SOURCE_DATE_EPOCH must be set (seconds)")
    # A zip entry's date has two-second steps and starts in 1980.
    date = time.gmtime(max(int(epoch), 315532800))[:6]

    names = sorted(os.listdir(folder))
    for name in names:
        if not os.path.isfile(os.path.join(folder, name)):
            sys.exit(f"zip-reproducible: {name} in {folder} is not a plain file")
    partial = archive + ".partial"
    with zipfile.ZipFile(partial, "w") as out:
        for name in names:
            info = zipfile.ZipInfo(name, date_time=date)
            info.create_system = 3  # Unix, so that the mode below is read
            mode = 0o755 if name.lower().endswith(".exe") else 0o644
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as f:
                out.writestr(info, f.read(), compresslevel=9)
    os.replace(partial, archive)


if __name__ == "__main__":
    main()
