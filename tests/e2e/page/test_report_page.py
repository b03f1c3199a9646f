#!/usr/bin/env python3
"""The line manager's page in a real browser.

test_report_page.py --cli QVM_CLI_EXE --wine-run WINE_RUN_SH --out DIR

For each case of CASES it writes station reports into DIR/CASE, runs
`qvm_cli report FILES --html page.html`, `--json` and `--verify --json` on
them (under Wine, in the test session's prefix), opens the page in headless
Chromium (--dump-dom, --screenshot at 1280 px wide, --print-to-pdf) and
checks that every figure the page carries in its data-figure / data-value
attributes equals what `--json` and `--verify --json` say, that the page
fetches and runs nothing (no console message at all) and that the
screenshot was taken. The screenshot and the PDF stay in DIR/CASE for a
person to look at. Standard library only; every child has a time limit.
"""
import argparse
import datetime
import hashlib
import json
import shutil
import sys
from html.parser import HTMLParser
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "scripts"))
import headless_chromium  # noqa: E402
from headless_chromium import Chromium, Failure, console_faults  # noqa: E402

# Every call to a child ends within this (Wine and Chromium start in ~1 s).
CHILD_SECONDS = 90
SCALARS = ("units", "updated", "current", "failed", "interrupted", "rejected",
           "unidentified_failed",
           "first_pass_yield", "units_per_hour", "running_s", "halts", "skipped_lines", "files")
GROUP_FIGURES = ("units", "updated", "current", "failed", "interrupted", "first_pass_yield")
TIMELINE_FIGURES = ("units", "first_pass_yield", "units_per_hour", "running_s")
SERIALS_LISTED = 500
CSP = "default-src 'none'; style-src 'unsafe-inline'"

# ---------------------------------------------------------------- reports

IMAGE_SHA = "5d" * 32
OLD, NEW = "3.41", "3.62"
# The detail code each failure kind carries, as the station writes it.
DETAIL = {"refused": 0xE004, "no_answer": 0xFFFFFFFE, "deadline": 0xFFFFFFFB,
          "unplugged": 0xFFFFFFFE, "unverified": 0xFFFFFFFD, "other": 0xFFFFFFFF}
WHAT = {"refused": "block at 0x5400 refused by the device (error 0xE004)",
        "no_answer": "no valid answer to the version read",
        "deadline": "block at 0x6000 got no answer within 5 s",
        "unplugged": "unplugged at block 0x4C00",
        "unverified": "did not report 3.62 after the end",
        "other": "out of memory"}


def iso(t):
    """UTC ISO 8601 with milliseconds, as the station writes times."""
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


def utc(text):
    return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M").replace(
        tzinfo=datetime.timezone.utc)


def dumps(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


class Report:
    """One report file, written as a station writes it (optionally chained:
    every line ends with its seq and the SHA-256 of the line before)."""

    def __init__(self, name, station, offset, chained, begins="2026-01-05 21:00"):
        self.name, self.station, self.offset, self.chained = name, station, offset, chained
        self.begins = utc(begins)
        self.lines = []       # whole lines, without LF
        self.tail = b""       # a torn last line (no LF)
        self.unit_times = []  # UTC times of the unit lines
        self.changed = False  # a byte changed after it was written
        self.next_id = 1

    def m(self, minutes):
        """The time that many minutes after the report begins."""
        return self.begins + datetime.timedelta(minutes=minutes)

    def _add(self, obj):
        text = dumps(obj)
        if self.chained:
            prev = self.lines[-1].encode() if self.lines else b""
            text = text[:-1] + (f',"seq":{len(self.lines) + 1},'
                                f'"prev":"{hashlib.sha256(prev).hexdigest()}"}}')
        self.lines.append(text)

    def run(self, event, t):
        self._add({"type": "run", "time": iso(t), "event": event, "station": self.station,
                   "utc_offset": self.offset or None, "version": "3.50"})

    def start(self, t, index, serial, who):
        uid = self.next_id
        self.next_id += 1
        self._add({"type": "start", "time": iso(t), "id": uid, "index": index, "serial": serial,
                   "mcu_version": 288, "old_version": OLD, "image_sha256": IMAGE_SHA, **who})
        return uid

    def unit(self, t, index, serial, result, who, failure=None, started=True):
        """A unit's start (unless it failed before its serial was read) and
        its unit line 2.2 s later."""
        uid = self.start(t, index, serial, who) if started else self.next_id
        if not started:
            self.next_id += 1
        ms = 2210 if result != "failed" else 310
        line = {"type": "unit", "time": iso(t + datetime.timedelta(milliseconds=ms)), "id": uid,
                "index": index, "serial": serial, "mcu_version": 288 if serial else None,
                "old_version": OLD if serial else None,
                "new_version": NEW if result == "updated" else None, "result": result,
                "detail": DETAIL[failure] if failure else 0}
        if failure:
            dev = f"device {index}" + (f" (serial {serial})" if serial else "")
            line["failure"] = failure
            line["message"] = f"{dev}: {WHAT[failure]} ({ms} ms)"
        line.update({"ms": ms, "image_sha256": IMAGE_SHA, **who})
        self._add(line)
        self.unit_times.append(t + datetime.timedelta(milliseconds=ms))

    def recovered(self, t, uid, index, serial, who):
        """The unit line a later start writes for a start left open."""
        self._add({"type": "unit", "time": iso(t), "id": uid, "index": index, "serial": serial,
                   "mcu_version": 288, "old_version": OLD, "new_version": None,
                   "result": "interrupted", "detail": 0, "recovered": True,
                   "image_sha256": IMAGE_SHA, **who})
        self.unit_times.append(t)

    def halt(self, t, index, serial):
        self._add({"type": "halt", "time": iso(t), "count": 3, "index": None,
                   "failures": [{"index": index, "serial": serial, "failure": "refused",
                                 "detail": DETAIL["refused"]}]})

    def foreign(self, text):
        """A line that is no record (pasted in by hand); never chained."""
        self.lines.append(text)

    def change_byte(self, needle, old, new):
        """One byte of the first line holding needle changed after it was
        written: the chain breaks at the line after it."""
        i = next(i for i, l in enumerate(self.lines) if needle in l and old in l)
        self.changed = True
        self.lines[i] = self.lines[i].replace(old, new, 1)

    def write(self, folder):
        data = "".join(l + "\n" for l in self.lines).encode() + self.tail
        (folder / self.name).write_bytes(data)


def who(operator, order, station):
    return {"operator": operator, "order": order, "station": station}


# An order name with the characters a page must escape, and a station with
# characters beyond ASCII.
ORDER_A = "WO-17"
ORDER_B = 'WO-18 <Prüf & "Q">'
ORDER_C = "WO-19"


def shift_reports():
    """Two stations over local midnight (+01:00), several work orders and
    failure kinds, a serial failed then updated, a kill with its recovered
    unit, a line stop, a torn last line; line-a.jsonl chained and whole,
    line-b.jsonl chained with a changed byte and a foreign line."""
    a = Report("line-a.jsonl", "LINE-A", "+01:00", chained=True)
    wa, wb = who("Anna", ORDER_A, "LINE-A"), who("Jürgen", ORDER_B, "LINE-A")
    m = a.m
    a.run("open", m(0))
    a.unit(m(2), 0, 84600001, "updated", wa)
    a.unit(m(9), 1, 84600002, "updated", wa)
    a.unit(m(17), 2, 84600005, "failed", wa, failure="refused")
    a.unit(m(24), 3, 84600006, "current", wa)
    a.unit(m(31), 2, 84600005, "updated", wa)          # the same serial, now at the image
    a.unit(m(38), 0, None, "failed", wa, failure="no_answer", started=False)
    a.unit(m(46), 1, 84600007, "failed", wa, failure="deadline")
    a.unit(m(52), 1, 84600008, "failed", wa, failure="refused")
    a.unit(m(55), 1, 84600009, "failed", wa, failure="refused")
    a.halt(m(56), 1, 84600009)
    a.unit(m(70), 0, 84600010, "updated", wb)
    a.unit(m(95), 1, 84600011, "updated", wb)
    open_id = a.start(m(112), 2, 84600012, wb)          # killed while it wrote this one
    a.run("open", m(125))                               # 23:05Z: 00:05 local, the next day
    a.recovered(m(125) + datetime.timedelta(seconds=1), open_id, 2, 84600012, wb)
    a.unit(m(131), 0, 84600013, "updated", wb)
    a.unit(m(148), 3, 84600014, "failed", wb, failure="unplugged")
    a.unit(m(166), 3, 84600014, "updated", wb)
    a.unit(m(185), 0, 84600015, "updated", wb)
    a.run("stop", m(220))
    a.tail = b'{"type":"unit","time":"2026-01-06T00:41:02.210Z","id":99,"index":0,"ser'

    b = Report("line-b.jsonl", "LINE-B", "+01:00", chained=True, begins="2026-01-05 22:30")
    wc, wd = who("Chen", ORDER_B, "LINE-B"), who("Chen", ORDER_C, "LINE-B")
    m = b.m
    b.run("open", m(0))
    b.unit(m(4), 0, 84700001, "updated", wc)
    b.unit(m(11), 1, 84700002, "failed", wc, failure="unverified")
    b.unit(m(19), 0, 84700003, "updated", wc)
    b.unit(m(41), 0, 84700004, "updated", wd)
    b.foreign("-- handover: night shift --")
    b.unit(m(58), 1, 84700005, "failed", wd, failure="other")
    b.unit(m(77), 0, 84700006, "updated", wd)
    b.unit(m(96), 1, 84700007, "current", wd)
    b.run("stop", m(120))
    b.change_byte('"serial":84700003,', '"ms":2210', '"ms":2219')
    return [a, b]


def empty_reports():
    return [Report("empty.jsonl", "", "", chained=False)]


# name, the reports, the UTC offset the page must say.
CASES = (
    ("shift", shift_reports, "+01:00"),
    ("empty", empty_reports, ""),
)

# ---------------------------------------------------------------- children


def run(cmd, cwd, what):
    return headless_chromium.run(cmd, cwd, what, CHILD_SECONDS)


# ---------------------------------------------------------------- the page


class PageDom(HTMLParser):
    """What the DOM says: scalar figures (no data-group ancestor), rows by
    (data-group, data-name) with their cells' figures, the serials listed
    under not_at_image, and what could load or run something."""
    VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
            "track", "wbr"}

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.stack = []          # (tag, row key or None, inside not_at_image)
        self.scalars = {}        # name -> [values]
        self.rows = {}           # (group, name) -> {figure: [values]}
        self.duplicate_rows = []
        self.listed = None       # not_at_image's <li> values
        self.metas = []
        self.active = []         # scripts, and references to anything outside the page
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        row, in_list = self.stack[-1][1:] if self.stack else (None, False)
        if tag == "meta":
            self.metas.append(a)
        if tag in ("script", "iframe", "object", "embed", "link", "base"):
            self.active.append(f"<{tag}>")
        for k in ("src", "href", "xlink:href", "action", "srcset"):
            if a.get(k) and not a[k].startswith("#"):
                self.active.append(f"<{tag} {k}={a[k]!r}>")
        if "data-group" in a:
            row = (a["data-group"], a.get("data-name"))
            if row in self.rows:
                self.duplicate_rows.append(row)
            self.rows[row] = {}
        elif "data-figure" in a and "data-value" in a:
            into = self.rows[row] if row else self.scalars
            into.setdefault(a["data-figure"], []).append(a["data-value"])
            if a["data-figure"] == "not_at_image" and not row:
                in_list = True
                self.listed = [] if self.listed is None else self.listed
        if tag == "li" and in_list and "data-value" in a:
            self.listed.append(a["data-value"])
        if tag not in self.VOID:
            self.stack.append((tag, row, in_list))

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in self.VOID:
            self.stack.pop()

    def handle_endtag(self, tag):
        for i in range(len(self.stack) - 1, -1, -1):
            if self.stack[i][0] == tag:
                del self.stack[i:]
                return


def raw_json(line):
    """A JSON line with every number and literal kept as its text."""
    obj = json.loads(line, parse_int=str, parse_float=str)

    def text(v):
        if v is None:
            return "null"
        if isinstance(v, bool):
            return "true" if v else "false"
        if isinstance(v, dict):
            return {k: text(x) for k, x in v.items()}
        if isinstance(v, list):
            return [text(x) for x in v]
        return v
    return text(obj)


def fixed(value, decimals):
    return f"{value:.{decimals}f}"


class Checks:
    """Collects what differs, so one run names every fault."""

    def __init__(self, case):
        self.case, self.faults = case, []

    def equal(self, what, got, want):
        if got != want:
            self.faults.append(f"{what}: page has {got!r}, want {want!r}")

    def rows(self, group, got, want):
        """Rows by name: each missing, extra or differing one named."""
        for name in sorted(set(got) | set(want)):
            if name not in got:
                self.faults.append(f"{group}: no row {name!r} (want {want[name]})")
            elif name not in want:
                self.faults.append(f"{group}: a row {name!r} it should not have ({got[name]})")
            else:
                self.equal(f"{group} {name!r}", got[name], want[name])

    def true(self, what, ok):
        if not ok:
            self.faults.append(what)


def check_page(c, dom, report, verifies, reports, offset):
    metas = dom.metas
    c.true("no <meta charset=\"utf-8\">", any(m.get("charset", "").lower() == "utf-8"
                                              for m in metas))
    c.equal("Content-Security-Policy", [m.get("content") for m in metas
                                        if m.get("http-equiv", "").lower()
                                        == "content-security-policy"], [CSP])
    c.equal("scripts and outside references", dom.active, [])
    c.equal("rows given twice", dom.duplicate_rows, [])

    # Scalars: every member, every place it is shown.
    for name in SCALARS:
        c.equal(f"figure {name}", dom.scalars.get(name), [report[name]] * max(
            1, len(dom.scalars.get(name, []))))
    c.equal("figure utc_offset", set(dom.scalars.get("utc_offset", [None])), {offset})
    missing = report["not_at_image"]
    c.equal("not_at_image count", dom.scalars.get("not_at_image"), [str(len(missing))])
    c.equal("serials listed", dom.listed, missing[:SERIALS_LISTED])

    rows = {}
    for (group, name), figures in dom.rows.items():
        rows.setdefault(group, {})[name] = {f: v[0] if len(v) == 1 else v
                                            for f, v in figures.items()}
    # Failures: a row for each kind that occurred, none for a kind the JSON lacks.
    failed = int(report["failed"])
    want = {}
    for kind, count in report["failures"].items():
        share = fixed(int(count) / failed, 4) if failed else "null"
        if int(count) or kind in rows.get("failures", {}):
            want[kind] = {"count": count, "share": share}
    c.rows("failures", rows.get("failures", {}), want)

    for group in ("orders", "stations"):
        want = {g["name"]: {f: g[f] for f in GROUP_FIGURES} for g in report[group]}
        c.rows(group, rows.get(group, {}), want)

    want = {v["file"]: {"intact": v["intact"], "lines": v["lines"]} for v in verifies}
    c.rows("chains", rows.get("chains", {}), want)

    check_timeline(c, rows.get("timeline", {}), report, reports, offset)
    unknown = sorted(set(rows) - {"failures", "orders", "stations", "chains", "timeline"})
    if unknown:
        print(f"  (further row groups on the page: {', '.join(unknown)})")


def check_timeline(c, rows, report, reports, offset):
    """Rows in local time; their units add up, and each hour holds the unit
    lines written in it."""
    figures_ok = all(set(f) == set(TIMELINE_FIGURES) for f in rows.values())
    c.true(f"timeline rows lack figures: {rows}", figures_ok)
    if not figures_ok:
        return
    c.equal("timeline units, summed", sum(int(f["units"]) for f in rows.values()),
            int(report["units"]))
    sign = -1 if offset.startswith("-") else 1
    shift = datetime.timedelta(hours=int(offset[1:3]), minutes=int(offset[4:6])) * sign \
        if offset else datetime.timedelta()
    days = any(" " not in name for name in rows)
    want = {}
    for r in reports:
        for t in r.unit_times:
            label = (t + shift).strftime("%Y-%m-%d" if days else "%Y-%m-%d %H:00")
            want[label] = want.get(label, 0) + 1
    c.equal("timeline units by local time",
            {n: int(f["units"]) for n, f in rows.items() if f["units"] != "0"}, want)

# ---------------------------------------------------------------- a case


def run_case(name, make_reports, offset, args, chromium):
    folder = args.out / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    reports = make_reports()
    for r in reports:
        r.write(folder)
    files = [r.name for r in reports]
    cli = [str(args.wine_run), str(args.cli), "report", *files]

    code, _, err = run(cli + ["--html", "page.html"], folder, "report --html")
    if code != 0 or not (folder / "page.html").is_file():
        raise Failure(f"report --html exited {code}: {err.strip()}")
    code, out, err = run(cli + ["--json"], folder, "report --json")
    if code != 0:
        raise Failure(f"report --json exited {code}: {err.strip()}")
    (folder / "report.json").write_text(out)
    report = raw_json(next(l for l in out.splitlines() if '"type":"report"' in l))
    code, out, err = run(cli[:3] + ["--verify", "--json", *files], folder, "report --verify")
    broken = any(not r.chained or r.changed for r in reports)
    if code != (8 if broken else 0):
        raise Failure(f"report --verify exited {code}: {err.strip()}")
    (folder / "verify.json").write_text(out)
    verifies = [raw_json(l) for l in out.splitlines() if '"type":"verify"' in l]

    page = folder / "page.html"
    dom, log = chromium.open(page, "--dump-dom", folder=folder)
    (folder / "dom.html").write_text(dom)
    _, log2 = chromium.open(page, "--screenshot=page.png", "--window-size=1280,3200",
                            "--hide-scrollbars", folder=folder)
    _, log3 = chromium.open(page, "--print-to-pdf=page.pdf", "--no-pdf-header-footer",
                            folder=folder)
    (folder / "chromium.log").write_text(log + log2 + log3)

    c = Checks(name)
    c.equal("console messages", console_faults(log + log2 + log3), [])
    shot = folder / "page.png"
    c.true("no screenshot", shot.is_file() and shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n")
    pdf = folder / "page.pdf"
    c.true("no PDF", pdf.is_file() and pdf.read_bytes()[:5] == b"%PDF-")
    parsed = PageDom(dom)
    check_page(c, parsed, report, verifies, reports, offset)
    extra = sorted(set(parsed.scalars) - set(SCALARS) - {"utc_offset", "not_at_image"})
    if extra:
        print(f"  ({name}: further figures on the page: {', '.join(extra)})")
    return c.faults, page.stat().st_size


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--cli", type=Path, required=True)
    p.add_argument("--wine-run", type=Path, required=True)
    p.add_argument("--out", type=Path, required=True)
    p.add_argument("--chromium", default=headless_chromium.find_chromium())
    p.add_argument("--case", action="append", help="only these cases")
    args = p.parse_args()
    args.out = args.out.resolve()
    try:
        chromium = Chromium(args.chromium, args.out / "chromium-profile", CHILD_SECONDS)
    except Failure as e:
        sys.exit(f"test_report_page: {e}")
    passed = failed = 0
    for name, make_reports, offset in CASES:
        if args.case and name not in args.case:
            continue
        try:
            faults, size = run_case(name, make_reports, offset, args, chromium)
        except Failure as e:
            faults, size = [str(e)], 0
        if faults:
            failed += 1
            print(f"FAILED {name}:")
            for f in faults:
                print(f"  {f}")
        else:
            passed += 1
            print(f"ok {name}: page {size} bytes, screenshot {args.out / name / 'page.png'}")
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed or not passed else 0)


if __name__ == "__main__":
    main()
