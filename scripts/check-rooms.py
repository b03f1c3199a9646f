#!/usr/bin/env python3
"""check-rooms.py ROOT PREFIX ROOM=LINKS...: every file of a module built in
rooms (ROOT/<room>/inc and ROOT/<room>/src) includes only headers of its
own room and of the rooms it links, directly or through them. LINKS is the
room library's link list, comma-separated ("qvm_station_record,qvm_cmc");
PREFIX<room> names a room's library; other names are not rooms and are
left alone, as are headers no room holds. Every folder of
ROOT with an inc/ or src/ must be a room given. Prints each include across
a forbidden line (file, include, the rule) and exits 1 then. Standard
library only."""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    root, prefix = sys.argv[1], sys.argv[2]
    links = {}
    for arg in sys.argv[3:]:
        room, _, names = arg.partition("=")
        links[room] = [n for n in names.split(",") if n]
    # Direct links between rooms, then all they may use (links carry on).
    below = {r: {n[len(prefix):] for n in ls if n[len(prefix):] in links and n.startswith(prefix)}
             for r, ls in links.items()}
    may = {}
    for r in links:
        seen, todo = set(), [r]
        while todo:
            for o in below[todo.pop()]:
                if o not in seen:
                    seen.add(o)
                    todo.append(o)
        may[r] = seen

    problems = []
    for entry in sorted(os.listdir(root)):
        path = os.path.join(root, entry)
        if entry not in links and any(os.path.isdir(os.path.join(path, d)) for d in ("inc", "src")):
            problems.append(f"error: {path}: a folder with inc/ or src/ that is not a room given")
    owner = {}
    for r in links:
        inc = os.path.join(root, r, "inc")
        for name in sorted(os.listdir(inc)) if os.path.isdir(inc) else []:
            if name in owner:
                problems.append(f"error: {name}: in the rooms {owner[name]} and {r}")
            owner[name] = r

    files = 0
    for r in links:
        for sub in ("inc", "src"):
            folder = os.path.join(root, r, sub)
            for dirpath, _, names in os.walk(folder):
                for name in sorted(names):
                    path = os.path.join(dirpath, name)
                    files += 1
                    with open(path, encoding="utf-8", errors="replace") as f:
                        text = f.read()
                    for header in INCLUDE.findall(text):
                        other = owner.get(os.path.basename(header))
                        if other is None or other == r or other in may[r]:
                            continue
                        allowed = ", ".join(sorted(may[r])) or "no other room"
                        problems.append(f'forbidden: {path}: #include "{header}" is in {other}/; '
                                        f"{r} may use {allowed}")
    print(f"{len(links)} rooms, {files} files, {len(problems)} problems")
    for p in problems:
        print(p)
    sys.exit(1 if problems or files == 0 else 0)


main()
