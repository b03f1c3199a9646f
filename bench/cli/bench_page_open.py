#!/usr/bin/env python3
"""bench_page_open.py PAGE: how long headless Chromium takes to open the
line manager's page (from its start until --dump-dom has written the whole
DOM) against a blank page of the same kind, alternating, in one profile;
medians of BENCH_ROUNDS (default 5) after one warm-up of each. bench_report
leaves the page of its 1,000,000-unit report beside itself. Prints figures
and never fails (exit 1 only when it cannot measure)."""
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from headless_chromium import Chromium, Failure, find_chromium  # noqa: E402

BLANK = ('<!DOCTYPE html><html><head><meta charset="utf-8"><meta http-equiv='
         '"Content-Security-Policy" content="default-src \'none\'; style-src \'unsafe-inline\'">'
         '<title>blank</title></head><body></body></html>\n')


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    page = Path(sys.argv[1]).resolve()
    if not page.is_file():
        print(f"bench_page_open: no page at {page} (bench_report makes it)")
        return 1
    rounds = int(os.environ.get("BENCH_ROUNDS", "0") or 0) or 5
    folder = page.parent
    blank = folder / "blank.html"
    blank.write_text(BLANK)
    chromium = Chromium(find_chromium(), folder / "chromium-profile", seconds=120)

    def opened(p):
        t0 = time.monotonic()
        dom, _ = chromium.open(p, "--dump-dom", folder=folder)
        return (time.monotonic() - t0) * 1000, len(dom.encode())

    try:
        opened(blank)
        opened(page)
        blank_ms, page_ms = [], []
        for _ in range(rounds):
            blank_ms.append(opened(blank)[0])
            ms, dom_bytes = opened(page)
            page_ms.append(ms)
    except Failure as e:
        print(f"bench_page_open: {e}")
        return 1
    median = lambda v: sorted(v)[len(v) // 2]
    b, p = median(blank_ms), median(page_ms)
    print(f"headless Chromium (--dump-dom, to its end), medians of {rounds} alternating runs")
    print(f"  the page: {page} ({page.stat().st_size} bytes; its DOM {dom_bytes} bytes)")
    print(f"  blank page:                 {b:8.1f} ms")
    print(f"  the page:                   {p:8.1f} ms")
    print(f"  the page - blank:           {p - b:8.1f} ms  (goal <= 1000)")
    print(f"  each round, page - blank:   {' '.join(f'{x - y:.0f}' for x, y in zip(page_ms, blank_ms))} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
