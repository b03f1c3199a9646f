#!/usr/bin/env python3
"""Many stations delivering to one database at once.

Runs inside scripts/test-session.sh (its PostgreSQL: QVM_PG_SOCKET,
QVM_PG_DIR), in a database of its own (qvm_fleet, made anew from
dist/sql/ at every run, so that no run mixes with another or with the
tests'). Steps:

1. The curve: N = 1, 2, 4, 16 fleet_station.exe processes under Wine at
   once, each appending units to its own report as fast as the station's
   report writer goes while the station's delivery (StnDelivery over
   ODBC, psqlODBC) takes them: the rows per second of all of them
   together. Then the load: the largest N, --units in all, each station at
   --rate units a second: the lag from a line's "time" to its row's
   "received" (median, 99th percentile). After every run each report is
   checked against the table (each line once, at its number: count,
   min/max seq, the keys in seq order), and the CPU seconds of the
   stations, wineserver and the PostgreSQL server are shown.
2. One psql session inserting the same rows with the stations' statement
   (INSERT ... SELECT ... WHERE NOT EXISTS, prepared) in transactions of
   500, before the curve and after it: the database's own limit;
   fleet(16) / psql.
3. Two qvm_cli ship --database of the same report at once.
4. qvm_cli report --database --json and --html against report --json over
   the same reports' files: medians of alternating runs, peak memory.

Prints figures; exit 1 only when a line is lost or doubled, or a step
cannot run at all.

  bench_fleet.py [--units 1000000] [--rate R | --minutes 12] [--counts 1,2,4,16]
                 [--curve-units 50000] [--psql-rows 100000]
                 [--ship-units 20000] [--rounds 3] [--build build/windows]
"""
import argparse
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DB = "qvm_fleet"
INSERT = ("INSERT INTO qvm_report_line (line_sha256, station, report_id, seq, line_type, "
          "line_text) SELECT $1, $2, $3, CAST($4 AS BIGINT), $5, $6 "
          "WHERE NOT EXISTS (SELECT 1 FROM qvm_report_line WHERE line_sha256 = $1)")


def psql_bin():
    base = "/usr/lib/postgresql"
    versions = sorted((d for d in os.listdir(base) if d.replace(".", "").isdigit()),
                      key=lambda v: [int(x) for x in v.split(".")])
    return os.path.join(base, versions[-1], "bin", "psql")


class Pg:
    def __init__(self, sock):
        self.sock = sock
        self.env = dict(os.environ, PGPASSWORD="admin-pw")
        self.psql = psql_bin()

    def cmd(self, db):
        return [self.psql, "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1",
                "-h", self.sock, "-U", "qvm_admin", "-d", db]

    def sql(self, text, db=DB):
        r = subprocess.run(self.cmd(db), input=text, env=self.env, capture_output=True,
                           text=True, check=False)
        if r.returncode != 0:
            raise RuntimeError("psql: " + r.stderr.strip())
        return [line.split("\t") for line in r.stdout.splitlines() if line]

    def file(self, path, db=DB):
        subprocess.run(self.cmd(db) + ["-f", path], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)

    def make_database(self):
        self.sql("DROP DATABASE IF EXISTS %s" % DB, db="postgres")
        self.sql("CREATE DATABASE %s ENCODING 'UTF8'" % DB, db="postgres")
        self.file(os.path.join(ROOT, "dist/sql/schema-postgresql.sql"))
        self.file(os.path.join(ROOT, "dist/sql/upgrade-postgresql.sql"))
        self.sql("GRANT SELECT, INSERT ON qvm_report_line TO qvm_station;")

    def empty(self):
        self.sql("TRUNCATE qvm_report_line;")

    def cs(self, user="qvm_station", pw="station-pw"):
        return ("Driver={PostgreSQL Unicode};Server=%s;Port=5432;Database=%s;Uid=%s;Pwd=%s;"
                % (self.sock, DB, user, pw))


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_cmd(exe, *args):
    return [os.path.join(ROOT, "scripts/wine-run.sh"), exe] + list(args)


# ---- CPU: jiffies of the machine, of wineserver and of the server ----

TICK = os.sysconf("SC_CLK_TCK")


def proc_cpu(pid, children=False):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    n = int(fields[11]) + int(fields[12])  # utime, stime
    if children:
        n += int(fields[13]) + int(fields[14])  # waited-for children: the backends
    return n / TICK


def machine_cpu():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + v[4]
    return (sum(v) - idle) / TICK, sum(v) / TICK


def wineserver_pid():
    prefix = os.environ.get("WINEPREFIX", "")
    for p in os.listdir("/proc"):
        if not p.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % p) as f:
                if not f.read().strip().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % p, "rb") as f:
                env = f.read().split(b"\0")
            if ("WINEPREFIX=" + prefix).encode() in env:
                return int(p)
        except OSError:
            continue
    return None


def postmaster_pid():
    with open(os.path.join(os.environ["QVM_PG_DIR"], "data", "postmaster.pid")) as f:
        return int(f.readline())


class CpuMeter:
    def __init__(self):
        self.ws = wineserver_pid()
        self.pm = postmaster_pid()

    def take(self):
        busy, total = machine_cpu()
        return (busy, total, proc_cpu(self.ws) if self.ws else 0.0, proc_cpu(self.pm, True))


# ---- Reports: their lines' keys ----

def file_keys(path):
    """The keys (SHA-256 of each whole line) in order."""
    keys = []
    with open(path, "rb") as f:
        for line in f:
            if not line.endswith(b"\n"):
                break
            keys.append(hashlib.sha256(line.rstrip(b"\r\n")).hexdigest())
    return keys


def check_reports(pg, paths):
    """Every whole line of each file in the table once, at its number; and
    nothing else in the table. Returns (ok, rows, words)."""
    held = {}
    for rid, n, lo, hi, distinct, digest in pg.sql(
            "SELECT report_id, count(*), min(seq), max(seq), count(DISTINCT seq), "
            "md5(string_agg(line_sha256, '' ORDER BY seq)) FROM qvm_report_line "
            "GROUP BY report_id;"):
        held[rid] = (int(n), int(lo), int(hi), int(distinct), digest)
    ok, words, rows = True, [], 0
    for path in paths:
        keys = file_keys(path)
        rid = keys[0] if keys else ""
        h = held.pop(rid, None)
        want = hashlib.md5("".join(keys).encode()).hexdigest()
        name = os.path.basename(path)
        if h is None:
            ok = False
            words.append("%s: no rows" % name)
            continue
        n, lo, hi, distinct, digest = h
        rows += n
        if (n, lo, hi, distinct) != (len(keys), 1, len(keys), len(keys)) or digest != want:
            ok = False
            words.append("%s: %d lines, %d rows, seq %d..%d, %d distinct, keys %s" %
                         (name, len(keys), n, lo, hi, distinct,
                          "same" if digest == want else "differ"))
    for rid, h in held.items():
        ok = False
        words.append("report %s...: %d rows of no file" % (rid[:12], h[0]))
    return ok, rows, words


def lag_and_span(pg):
    """Median and 99th percentile of received - the line's time (s), and
    the last row's received (epoch s)."""
    r = pg.sql(
        "SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY lag), "
        "percentile_cont(0.99) WITHIN GROUP (ORDER BY lag), max(lag), "
        "extract(epoch FROM max(received)) FROM (SELECT received, extract(epoch FROM received - "
        "(line_text::jsonb ->> 'time')::timestamptz) AS lag FROM qvm_report_line) AS l;")[0]
    return float(r[0]), float(r[1]), float(r[2]), float(r[3])


# ---- 1. The fleet ----

def run_fleet(args, pg, n, units, rate, work):
    pg.empty()
    folder = os.path.join(work, "n%d" % n)
    os.makedirs(folder, exist_ok=True)
    go = os.path.join(folder, "go")
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    exe = os.path.join(args.build, "bench/fleet/fleet_station.exe")
    procs, reports, outs = [], [], []
    for i in range(n):
        report = os.path.join(folder, "station-%02d.jsonl" % (i + 1))
        out = open(os.path.join(folder, "station-%02d.out" % (i + 1)), "w+")
        reports.append(report)
        outs.append(out)
        procs.append(subprocess.Popen(
            wine_cmd(exe, win(report), "--station", "FLEET-%02d" % (i + 1), "--units",
                     str(units), "--rate", str(rate), "--database", pg.cs(), "--go", win(go),
                     "--first-serial", str(10000000 * (i + 1))),
            stdout=out, stderr=subprocess.STDOUT))
    deadline = time.time() + 300
    while not all(os.path.exists(r + ".ready") for r in reports):
        if time.time() > deadline or any(p.poll() is not None for p in procs):
            for p in procs:
                p.kill()
            raise RuntimeError("fleet: the stations did not get ready")
        time.sleep(0.05)
    meter = CpuMeter()
    cpu0 = meter.take()
    t_go = time.time()
    open(go, "w").close()
    station_cpu = 0.0
    for p in procs:
        _, status, ru = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        station_cpu += ru.ru_utime + ru.ru_stime
    t_end = time.time()
    time.sleep(0.5)  # the server reaps the stations' backends
    cpu1 = meter.take()
    failed = []
    for p, out, report in zip(procs, outs, reports):
        out.seek(0)
        text = out.read().strip()
        if p.returncode != 0:
            failed.append("%s: exit %d: %s" % (os.path.basename(report), p.returncode,
                                                text[-300:]))
        out.close()
    ok, rows, words = check_reports(pg, reports)
    p50, p99, worst, last = lag_and_span(pg)
    span = last - t_go
    busy, total = cpu1[0] - cpu0[0], cpu1[1] - cpu0[1]
    return {
        "n": n, "units": units * n, "rows": rows, "offered": 2 * n * rate, "rows_s": rows / span if span > 0 else 0, "span": span,
        "wall": t_end - t_go, "p50": p50, "p99": p99, "max": worst, "ok": ok and not failed,
        "words": words + failed, "cpu_stations": station_cpu, "cpu_wineserver": cpu1[2] - cpu0[2],
        "cpu_server": cpu1[3] - cpu0[3], "cpu_busy": busy, "cpu_total": total,
        "reports": reports, "ws_found": meter.ws is not None,
    }


def print_fleet(r):
    cores = r["cpu_total"] / max(r["wall"], 1e-9)
    offered = "offered %6.0f" % r["offered"] if r["offered"] else "unpaced      "
    print("  N=%2d  %9d rows  %8.0f rows/s (%s)  lag p50 %6.3f s  p99 %6.3f s  "
          "max %6.2f s  %s" % (r["n"], r["rows"], r["rows_s"], offered, r["p50"],
                                r["p99"], r["max"], "ok" if r["ok"] else "LOST, DOUBLED OR FAILED (below)"))
    print("        CPU over %.1f s on %.0f cores: stations %.1f s, wineserver%s %.1f s, "
          "PostgreSQL %.1f s, machine busy %.0f%% (of which others' %.1f s)" %
          (r["wall"], cores, r["cpu_stations"], "" if r["ws_found"] else " (not found)",
           r["cpu_wineserver"], r["cpu_server"],
           100 * r["cpu_busy"] / max(r["cpu_total"], 1e-9),
           max(0.0, r["cpu_busy"] - r["cpu_stations"] - r["cpu_wineserver"] - r["cpu_server"])))
    rows = max(r["rows"], 1)
    print("        CPU per row: stations %.3f ms, wineserver %.3f ms, PostgreSQL %.3f ms%s" %
          (1e3 * r["cpu_stations"] / rows, 1e3 * r["cpu_wineserver"] / rows,
           1e3 * r["cpu_server"] / rows,
           "" if r["offered"] else "; the lag of a run flat out is its backlog"))
    for w in r["words"]:
        print("        " + w)
    sys.stdout.flush()


# ---- 2. psql alone ----

def sql_text(v):
    return "NULL" if v is None else "'" + v.replace("'", "''") + "'"


def psql_limit(args, pg, units, work):
    """A report of units written by fleet_station, its rows (as delivery
    makes them: the line's key, station, report, number, type and text)
    inserted by one psql session with the stations' statement, 500 a
    transaction, into the empty table. (rows, rows held, seconds)."""
    import json
    report = os.path.join(work, "psql.jsonl")
    if os.path.exists(report):
        os.remove(report)
    exe = os.path.join(args.build, "bench/fleet/fleet_station.exe")
    subprocess.run(wine_cmd(exe, win(report), "--station", "FLEET-PSQL", "--units", str(units),
                            "--first-serial", "210000000"), stdout=subprocess.DEVNULL, check=True)
    script = os.path.join(work, "insert.sql")
    n, report_id = 0, None
    with open(report, "rb") as src, open(script, "w") as out:
        # Typed as the columns: a text key would be compared as text, past
        # the key's index.
        out.write("PREPARE ins(bpchar, varchar, bpchar, text, varchar, text) AS %s;\n" % INSERT)
        for raw in src:
            line = raw.rstrip(b"\r\n")
            key = hashlib.sha256(line).hexdigest()
            report_id = report_id or key
            text = line.decode("utf-8")
            body = json.loads(text)
            if n % 500 == 0:
                out.write("BEGIN;\n")
            n += 1
            out.write("EXECUTE ins(%s, %s, %s, %s, %s, %s);\n" % (
                sql_text(key), sql_text(body.get("station")), sql_text(report_id),
                sql_text(str(n)), sql_text(body.get("type", "")), sql_text(text)))
            if n % 500 == 0:
                out.write("COMMIT;\n")
        if n % 500 != 0:
            out.write("COMMIT;\n")
    pg.empty()
    t0 = time.time()
    pg.file(script)
    took = time.time() - t0
    ok, held, _ = check_reports(pg, [report])
    pg.empty()
    os.remove(script)
    os.remove(report)
    return n, held if ok else -1, took


# ---- 3. The same report shipped twice at once ----

def ship_twice(args, pg, work):
    folder = os.path.join(work, "ship")
    os.makedirs(folder, exist_ok=True)
    report = os.path.join(folder, "shipped.jsonl")
    for f in (report, report + ".dbcursor"):
        if os.path.exists(f):
            os.remove(f)
    exe = os.path.join(args.build, "bench/fleet/fleet_station.exe")
    subprocess.run(wine_cmd(exe, win(report), "--station", "FLEET-SHIP", "--units",
                            str(args.ship_units), "--first-serial", "200000000"),
                   stdout=subprocess.DEVNULL, check=True)
    cli = os.path.join(args.build, "bin/qvm_cli.exe")
    if not os.path.exists(cli):
        cli = find_exe(args.build, "qvm_cli.exe")
    cs = pg.cs()
    t0 = time.time()
    procs = [subprocess.Popen(wine_cmd(cli, "ship", win(report), "--database", cs),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
             for _ in range(2)]
    outs = [p.communicate()[0].strip() for p in procs]
    took = time.time() - t0
    return report, took, [p.returncode for p in procs], outs


def find_exe(build, name):
    for d, _, files in os.walk(build):
        if name in files:
            return os.path.join(d, name)
    raise RuntimeError("%s not built" % name)


# ---- 4. report from the database against report from files ----

def timed(cmd, out_path):
    """Wall seconds, peak resident KiB of the process (Wine runs the
    Windows program in the process it starts), exit code, stderr."""
    with open(out_path, "w") as out:
        t0 = time.time()
        p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.PIPE)
        err = p.stderr.read().decode("utf-8", "replace")
        _, status, ru = os.wait4(p.pid, 0)
        took = time.time() - t0
    return took, ru.ru_maxrss, os.waitstatus_to_exitcode(status), err


def rows_read(out_path, err):
    with open(out_path, "rb") as f:
        m = re.search(rb'"rows_read"\s*:\s*(\d+)', f.read())
    if m:
        return int(m.group(1))
    lines = [line.strip() for line in err.splitlines() if re.search(r"\d+ rows?\b", line)]
    return "; ".join(lines) if lines else None


def report_times(args, pg, files, work):
    cli = find_exe(args.build, "qvm_cli.exe")
    cs = pg.cs("qvm_admin", "admin-pw")
    out = os.path.join(work, "report.out")
    page = os.path.join(work, "report.html")
    ways = [
        ("report --json (files)", wine_cmd(cli, "report", "--json", *[win(f) for f in files])),
        ("report --database --json", wine_cmd(cli, "report", "--database", cs, "--json")),
        ("report --database --html", wine_cmd(cli, "report", "--database", cs, "--html",
                                              win(page))),
    ]
    # What Wine and the program hold on their own: report --json of a
    # report of three lines.
    small = os.path.join(work, "small.jsonl")
    with open(files[0], "rb") as src, open(small, "wb") as dst:
        dst.write(b"".join(src.readline() for _ in range(3)))
    base = timed(wine_cmd(cli, "report", "--json", win(small)), out)
    print("  report --json of 3 lines: %.2f s, peak resident %.0f MiB (Wine and the program)" %
          (base[0], base[1] / 1024))
    probe = timed(ways[1][1], out)
    if probe[2] != 0:
        if probe[2] == 1:
            print("  report --database: not available in this build")
        else:
            print("  report --database: exit %d: %s" % (probe[2], probe[3].strip()[-300:]))
        ways = ways[:1]
    else:
        print("  rows the database handed back: %s" % (rows_read(out, probe[3]) or "not said"))
    times = {name: [] for name, _ in ways}
    peaks = {name: [] for name, _ in ways}
    for _ in range(args.rounds):
        for name, cmd in ways:
            took, peak, code, err = timed(cmd, out)
            if code not in (0, 2):  # 2: units failed, which these reports hold
                print("  %s: exit %d: %s" % (name, code, err.strip()[-300:]))
                continue
            times[name].append(took)
            peaks[name].append(peak)
    for name, _ in ways:
        if times[name]:
            print("  %-28s median %7.2f s of %d, peak resident %6.0f MiB" %
                  (name, statistics.median(times[name]), len(times[name]),
                   max(peaks[name]) / 1024))
    if len(ways) > 1 and times[ways[0][0]] and times[ways[1][0]]:
        print("  --database --json / files --json: %.2f (goal <= 0.5)" %
              (statistics.median(times[ways[1][0]]) / statistics.median(times[ways[0][0]])))
    for f in (out, page):
        if os.path.exists(f):
            os.remove(f)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build/windows"))
    ap.add_argument("--units", type=int, default=1000000, help="units in all at 16 stations")
    ap.add_argument("--rate", type=float, default=0,
                    help="units a second per station (0: derived from --minutes)")
    ap.add_argument("--minutes", type=float, default=12.0,
                    help="the largest run's writing time, when --rate is not given")
    ap.add_argument("--counts", default="1,2,4,16")
    ap.add_argument("--curve-units", type=int, default=50000,
                    help="units in all at each count of the curve")
    ap.add_argument("--psql-rows", type=int, default=100000)
    ap.add_argument("--ship-units", type=int, default=20000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--work", default=default_work(),
                    help="where the reports are written (default: /dev/shm when it has room)")
    args = ap.parse_args()
    sock = os.environ.get("QVM_PG_SOCKET")
    if not sock:
        print("bench_fleet: no PostgreSQL server (run in scripts/test-session.sh); skipped")
        return 0
    if not os.path.exists(os.path.join(args.build, "bench/fleet/fleet_station.exe")):
        print("bench_fleet: fleet_station.exe not built; skipped")
        return 0
    counts = [int(c) for c in args.counts.split(",")]
    big = max(counts)
    rate = args.rate or args.units / big / (args.minutes * 60)
    pg = Pg(sock)
    pg.make_database()
    work = tempfile.mkdtemp(prefix="qvm-fleet.", dir=args.work)
    try:
        return measure(args, pg, work, counts, big, rate)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def default_work():
    """tmpfs when it has room: every line is flushed, as a station flushes
    it, and at hundreds of units a second the disk's flushes would set the
    pace rather than the database."""
    try:
        st = os.statvfs("/dev/shm")
        if st.f_bavail * st.f_frsize > (4 << 30):
            return "/dev/shm"
    except OSError:
        pass
    return os.environ.get("QVM_BUILD_ROOT", os.path.join(ROOT, "build"))


def measure(args, pg, work, counts, big, rate):
    print("bench_fleet: fleet_station processes under Wine, each writing its report at %.1f "
          "units/s (2 lines a unit) while the station's delivery (ODBC, psqlODBC) takes "
          "them; %d units in all at N=%d; load now: %s; reports in %s" %
          (rate, args.units, big, open("/proc/loadavg").read().strip(), work))
    # psql alone before the curve and again right after it, beside the
    # largest count flat out (a machine shared with others drifts).
    def psql_alone(when):
        n, held, took = psql_limit(args, pg, args.psql_rows // 2, work)
        rows_s = n / took if took > 0 else 0
        print("psql alone (%s): %d rows in %.1f s, %.0f rows/s (one session, the stations' "
              "statement prepared, 500 a transaction); %s" %
              (when, n, took, rows_s, "ok" if held == n else "LOST/DOUBLED"))
        sys.stdout.flush()
        return rows_s, held == n
    limits = []
    limit, all_ok = psql_alone("before the curve")
    limits.append(limit)
    # The curve: each count's stations write as fast as the report's
    # writer goes, so delivery runs flat out beside them.
    print("the curve: %d units in all at each count, every station writing unpaced" %
          args.curve_units)
    curve = {}
    for n in counts:
        r = run_fleet(args, pg, n, max(1, args.curve_units // n), 0, work)
        curve[n] = r
        print_fleet(r)
        all_ok = all_ok and r["ok"]
    limit, ok = psql_alone("after the curve")
    limits.append(limit)
    all_ok = all_ok and ok
    limit = statistics.mean(limits)
    # The load: the largest count at a set rate for its lag; its rows stay
    # in the table for the steps below.
    print("the load: %d stations at %.1f units/s each, %d units in all" %
          (big, rate, args.units))
    big_r = run_fleet(args, pg, big, args.units // big, rate, work)
    print_fleet(big_r)
    all_ok = all_ok and big_r["ok"]
    if limit > 0:
        print("fleet(%d) / psql (the mean of both): %.2f flat out, %.2f at the set rate (goal "
              ">= 0.5); p99 lag "
              "%.2f s at the set rate (goal < 5 s)" %
              (big, curve[big]["rows_s"] / limit, big_r["rows_s"] / limit, big_r["p99"]))
    sys.stdout.flush()
    try:
        find_exe(args.build, "qvm_cli.exe")
    except RuntimeError:
        print("qvm_cli.exe not built: steps 3 and 4 skipped")
        return 0 if all_ok else 1
    keep = big_r["reports"]
    report, took, codes, outs = ship_twice(args, pg, work)
    ok, rows, words = check_reports(pg, keep + [report])
    print("two qvm_cli ship of one report (%d lines) at once: %.1f s, exits %s, %s" %
          (len(file_keys(report)), took, codes, "each line once" if ok and codes == [0, 0]
           else "LOST/DOUBLED or failed"))
    for w in words + ([o for o in outs] if codes != [0, 0] else []):
        print("  " + w)
    all_ok = all_ok and ok and codes == [0, 0]
    units = int(pg.sql("SELECT count(*) FROM qvm_report_line WHERE line_type = 'unit';")[0][0])
    print("report over %d units (%d files), %d alternating rounds:" %
          (units, len(keep) + 1, args.rounds))
    report_times(args, pg, keep + [report], work)
    print("bench_fleet: %s" % ("every line once, at its number" if all_ok
                               else "LINES LOST OR DOUBLED"))
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
